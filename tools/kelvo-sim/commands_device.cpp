// Single-frame device commands.
#include "kelvo-sim/commands.h"

namespace kelvo::sim {
namespace {

constexpr std::uint16_t kSaveCommand = 0x300E;

Reply Save(DeviceState& state, const Request& request) {
    if (!request.payload.empty())
        return Reply::Error(kBadRequestError);
    ++state.saveCount;
    return Reply::Success();
}

} // namespace

void AddDeviceCommands(CommandTable& table) {
    table.Add(MakeCommand(kSaveCommand, "Save_Command", Save));
}

} // namespace kelvo::sim
