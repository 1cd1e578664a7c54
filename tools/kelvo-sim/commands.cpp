#include "kelvo-sim/commands.h"

namespace kelvo::sim {

CommandTable DefaultCommands() {
    CommandTable table;
    AddDeviceCommands(table);
    AddSessionCommands(table);
    AddParameterCommands(table);
    return table;
}

} // namespace kelvo::sim
