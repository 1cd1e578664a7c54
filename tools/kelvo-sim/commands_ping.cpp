// Ping: the device takes the blink time and answers with its item list.
#include "kelvo-sim/commands.h"
#include "kelvo-sim/log.h"

#include "protocol/bytes.h"

namespace kelvo::sim {
namespace {

constexpr std::uint16_t kPingCommand = 0x0101;

// Answer data: the item count, then per item the key, the 32-bit type code,
// the value length and the value.
Reply Ping(DeviceState& state, const Request& request) {
    if (request.payload.size() != 2)
        return Reply::Error(kBadRequestError);
    NetworkState& n = state.network;
    n.lastBlink = ldle_u16(request.payload.data());
    ++n.pings;
    if (n.showBlink)
        LogLine("ping: blink " + std::to_string(n.lastBlink) + " ms");
    Bytes data{static_cast<std::uint8_t>(n.pingItems.size())};
    for (const PingItem& item : n.pingItems) {
        data.push_back(item.key);
        data.resize(data.size() + 4);
        stle_u32(&data[data.size() - 4], item.type);
        data.push_back(static_cast<std::uint8_t>(item.value.size()));
        data.insert(data.end(), item.value.begin(), item.value.end());
    }
    return Reply::Success(std::move(data));
}

} // namespace

void AddPingCommands(CommandTable& table) {
    Command ping = MakeCommand(kPingCommand, "Ping", Ping);
    ping.needsLogin = false; // a device tells who it is to anybody on the link
    table.Add(std::move(ping));
}

} // namespace kelvo::sim
