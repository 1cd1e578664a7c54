#include "kelvo-sim/commands.h"

namespace kelvo::sim {

CommandTable DefaultCommands() {
    CommandTable table;
    AddDeviceCommands(table);
    AddSessionCommands(table);
    AddParameterCommands(table);
    AddDataCommands(table);
    AddUserCommands(table);
    AddPingCommands(table);
    return table;
}

} // namespace kelvo::sim
