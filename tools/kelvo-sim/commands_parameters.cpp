// Parameter read and write, in the EEPROM family (0x0201/0x0202: the stored
// value; a write also changes the working value) and the RAM family
// (0x0301/0x0302: the working value only).
#include "kelvo-sim/commands.h"

#include "protocol/bytes.h"

namespace kelvo::sim {
namespace {

constexpr std::uint16_t kReadEeprom = 0x0201;
constexpr std::uint16_t kWriteEeprom = 0x0202;
constexpr std::uint16_t kReadRam = 0x0301;
constexpr std::uint16_t kWriteRam = 0x0302;

// Both answers put three bytes before the length byte of the error code, so
// that the reader's 10-byte header and the writer's 8 error bytes line up.
constexpr ErrorForm kParameterErrorForm{3, true};

// The addressed parameter, or the device error that refuses the access.
Parameter* Find(DeviceState& state, std::span<const std::uint8_t> payload, std::uint32_t& error) {
    const std::uint16_t index = ldle_u16(payload.data());
    auto it = state.parameters.find(ParameterKey(index, payload[2]));
    if (it == state.parameters.end()) {
        error = kUnknownParameterError;
        return nullptr;
    }
    if (it->second.needsLogin && !state.LoggedIn()) {
        error = kLoginMissingError;
        return nullptr;
    }
    return &it->second;
}

// Payload: index (2), sub-index. Answer: index, sub-index, value length, value.
Reply Read(DeviceState& state, const Request& request, bool eeprom) {
    if (request.payload.size() != 3)
        return Reply::Error(kBadRequestError);
    std::uint32_t error = 0;
    const Parameter* p = Find(state, request.payload, error);
    if (!p)
        return Reply::Error(error);
    const std::vector<std::uint8_t>& value = eeprom ? p->eeprom : p->ram;
    Bytes data;
    data.reserve(4 + value.size());
    data.insert(data.end(), request.payload.begin(), request.payload.end());
    data.push_back(static_cast<std::uint8_t>(value.size()));
    data.insert(data.end(), value.begin(), value.end());
    return Reply::Success(std::move(data));
}

// Payload: index (2), sub-index, value length n, n value bytes.
Reply Write(DeviceState& state, const Request& request, bool eeprom) {
    const auto payload = request.payload;
    if (payload.size() < 4 || payload.size() != 4u + payload[3])
        return Reply::Error(kBadRequestError);
    std::uint32_t error = 0;
    Parameter* p = Find(state, payload, error);
    if (!p)
        return Reply::Error(error);
    if (!p->writable)
        return Reply::Error(kReadOnlyParameterError);
    const std::size_t size = ParameterSize(p->type);
    if (size != 0 && size != payload[3])
        return Reply::Error(kParameterLengthError);
    std::vector<std::uint8_t> value(payload.begin() + 4, payload.end());
    if (eeprom)
        p->eeprom = value;
    p->ram = std::move(value);
    return Reply::Success();
}

// Write requests carry n + 6 in their length byte, modulo 256: for values of
// 250 bytes and more it wraps, and the value length byte tells the size.
std::size_t WriteFrameSize(std::span<const std::uint8_t> frame) {
    const std::size_t rest = frame[3];
    if (rest >= 6)
        return 4 + rest;
    if (frame.size() < 10)
        return 10;
    if (frame[9] == rest + 250)
        return 10 + static_cast<std::size_t>(frame[9]);
    return 4 + rest;
}

Command ParameterCommand(std::uint16_t code, const char* name, Handler handler) {
    Command command = MakeCommand(code, name, std::move(handler));
    command.errorForm = kParameterErrorForm;
    return command;
}

} // namespace

void AddParameterCommands(CommandTable& table) {
    for (bool eeprom : {true, false}) {
        table.Add(ParameterCommand(
            eeprom ? kReadEeprom : kReadRam, eeprom ? "get_Par" : "get_Par (RAM)",
            [eeprom](DeviceState& s, const Request& r) { return Read(s, r, eeprom); }));
        Command write = ParameterCommand(
            eeprom ? kWriteEeprom : kWriteRam, eeprom ? "put_Par" : "put_Par (RAM)",
            [eeprom](DeviceState& s, const Request& r) { return Write(s, r, eeprom); });
        write.frameSize = WriteFrameSize;
        table.Add(std::move(write));
    }
}

} // namespace kelvo::sim
