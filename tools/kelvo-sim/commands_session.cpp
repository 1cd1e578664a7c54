// Login sessions and push-data stream commands.
#include "kelvo-sim/commands.h"

#include <algorithm>

namespace kelvo::sim {
namespace {

constexpr std::uint16_t kLoginCommand = 0x3001;
constexpr std::uint16_t kLogoutCommand = 0x3009;
constexpr std::uint16_t kPushDataCommand = 0x1002;

// Stream command that stops a stream; on stream 0 it stops every stream.
constexpr std::uint8_t kStopStream = 1;

// Reads one counted text (a length byte, then that many bytes) at `offset`.
bool ReadCounted(std::span<const std::uint8_t> payload, std::size_t& offset, std::string& text) {
    if (offset >= payload.size())
        return false;
    const std::size_t size = payload[offset];
    if (payload.size() - offset - 1 < size)
        return false;
    text.assign(payload.begin() + static_cast<std::ptrdiff_t>(offset + 1),
                payload.begin() + static_cast<std::ptrdiff_t>(offset + 1 + size));
    offset += 1 + size;
    return true;
}

// Payload: counted user name, counted password. Answer data: the user name
// counted again (its length byte is the data length of the 7-byte header).
Reply Login(DeviceState& state, const Request& request) {
    std::size_t offset = 0;
    std::string user;
    std::string password;
    if (!ReadCounted(request.payload, offset, user) ||
        !ReadCounted(request.payload, offset, password) || offset != request.payload.size())
        return Reply::Error(kBadRequestError);
    if (state.lostLogins > 0) {
        --state.lostLogins;
        state.sessionUser.clear();
        return Reply::Error(kLostLoginError);
    }
    auto found = std::find_if(state.users.begin(), state.users.end(),
                              [&user](const DeviceState::User& u) { return u.name == user; });
    if (user.empty() || found == state.users.end() || found->password != password)
        return Reply::Error(kWrongLoginError);
    state.sessionUser = user;
    Bytes data{static_cast<std::uint8_t>(user.size())};
    data.insert(data.end(), user.begin(), user.end());
    return Reply::Success(std::move(data));
}

// Ends the session, also when none is open; the data length of the answer is 0.
Reply Logout(DeviceState& state, const Request& request) {
    if (!request.payload.empty())
        return Reply::Error(kBadRequestError);
    state.sessionUser.clear();
    return Reply::Success({0});
}

// Payload: stream id, stream command, optional 16-bit value (not used here).
// Stream command 1 stops the stream, any other starts it. The serial link
// never answers; elsewhere the result byte is 1 when the stream runs after
// the command, else 0.
Reply PushData(DeviceState& state, const Request& request) {
    const bool serial = request.link == LinkKind::Serial;
    if (request.payload.size() != 2 && request.payload.size() != 4)
        return serial ? Reply::None() : Reply::Error(kBadRequestError);
    const std::uint8_t stream = request.payload[0];
    const std::uint8_t command = request.payload[1];
    if (command == kStopStream && stream == 0)
        state.streams.reset();
    else if (command == kStopStream)
        state.streams.reset(stream);
    else
        state.streams.set(stream);
    if (serial)
        return Reply::None();
    return Reply::Success({static_cast<std::uint8_t>(state.streams.test(stream) ? 1 : 0)});
}

} // namespace

void AddSessionCommands(CommandTable& table) {
    // Both answers have a 7-byte header whose last byte is the data length;
    // on an error that byte is 4 and the 32-bit code follows, which is the
    // usual error answer.
    Command login = MakeCommand(kLoginCommand, "Login", Login);
    login.needsLogin = false;
    table.Add(std::move(login));
    Command logout = MakeCommand(kLogoutCommand, "Logout", Logout);
    logout.needsLogin = false;
    table.Add(std::move(logout));

    // 7-byte header with the result byte; an error answer puts a filler byte
    // first, then the usual 5 bytes.
    Command push = MakeCommand(kPushDataCommand, "PushDataCommand", PushData);
    push.errorForm = {1, true};
    push.needsLogin = false;
    table.Add(std::move(push));
}

} // namespace kelvo::sim
