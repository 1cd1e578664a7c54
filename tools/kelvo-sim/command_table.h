// The commands the simulated device knows: command code -> handler, with the
// status words and the shape of the device error answer of each command.
#pragma once

#include "kelvo-sim/device.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace kelvo::sim {

using Bytes = std::vector<std::uint8_t>;

// Device error code answered to a command code the device does not know.
constexpr std::uint32_t kUnknownCommandError = 0x0A000001;
// Device error code answered to a request whose payload does not fit its command.
constexpr std::uint32_t kBadRequestError = 0x0A000002;
// Device error code answered to a command that needs a login session while
// the device requires one and nobody is logged in.
constexpr std::uint32_t kLoginMissingError = 0x15000002;

// Success word: the command code with the low 4 bits of its low byte moved
// into the high 4 bits of that byte (0x300E -> 0x30E0).
constexpr std::uint16_t SuccessWord(std::uint16_t command) {
    return static_cast<std::uint16_t>((command & 0xFF00) | ((command & 0x000F) << 4));
}
constexpr std::uint16_t ErrorWord(std::uint16_t command) {
    return static_cast<std::uint16_t>(SuccessWord(command) + 1);
}

enum class LinkKind { Tcp, Tls, Serial };

const char* LinkName(LinkKind link);

// One request frame as received: node, counter, length byte, command, payload.
struct Request {
    LinkKind link = LinkKind::Tcp;
    std::uint8_t node = 0;
    std::uint16_t counter = 0;
    std::uint16_t command = 0;
    std::span<const std::uint8_t> payload;
};

// What a handler decides: the data after the success word, a device error
// code, or no answer at all.
struct Reply {
    enum class Kind { Success, DeviceError, NoAnswer };

    Kind kind = Kind::Success;
    Bytes data;
    std::uint32_t code = 0;

    static Reply Success(Bytes data = {}) { return {Kind::Success, std::move(data), 0}; }
    static Reply Error(std::uint32_t code) { return {Kind::DeviceError, {}, code}; }
    static Reply None() { return {Kind::NoAnswer, {}, 0}; }
};

// Bytes after the error word of a device error answer: `skip` bytes (the rest
// of a longer answer header), of which the first `echoed` repeat the request's
// first payload bytes and the others are zero, then the length byte 4 when
// `lengthByte` is set, then the 32-bit code.
struct ErrorForm {
    std::uint8_t skip = 0;
    bool lengthByte = true;
    std::uint8_t echoed = 0;
};

Bytes EncodeDeviceError(const ErrorForm& form, std::uint32_t code,
                        std::span<const std::uint8_t> payload);

// Handlers run under the simulator's lock and may change the state freely.
using Handler = std::function<Reply(DeviceState&, const Request&)>;

// Size of a request frame from its first bytes (always at least the 6 bytes
// up to the command code). Returns the whole frame size when the bytes given
// tell it, else a lower bound above their count; called again with more bytes.
// Needed by commands whose length byte wraps for long payloads.
using FrameSizer = std::size_t (*)(std::span<const std::uint8_t> frame);

// The usual size: 4 header bytes plus the length byte's count.
std::size_t LengthByteFrameSize(std::span<const std::uint8_t> frame);

struct Command {
    std::uint16_t code = 0;
    std::string name;
    Handler handler;
    std::uint16_t successWord = 0;
    std::uint16_t errorWord = 0;
    ErrorForm errorForm;
    FrameSizer frameSize = LengthByteFrameSize;
    // Refused with kLoginMissingError without a session when the device
    // requires a login (DeviceState::loginRequired).
    bool needsLogin = true;
};

// A command with the status words of the usual rule and the standard 5-byte
// error answer; adjust the fields for commands that differ.
Command MakeCommand(std::uint16_t code, std::string name, Handler handler);

class CommandTable {
public:
    // Adds a command; one with the same code is replaced.
    void Add(Command command);
    const Command* Find(std::uint16_t code) const;
    std::size_t size() const { return commands_.size(); }

private:
    std::map<std::uint16_t, Command> commands_;
};

} // namespace kelvo::sim
