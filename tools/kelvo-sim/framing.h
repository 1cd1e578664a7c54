// Cuts the incoming byte stream of a link into request frames.
//
// TCP/TLS: [node][counter(2)][length][command(2)][payload]; the frame size
// comes from the command's FrameSizer (usually 4 + length byte).
// Serial: [address][frame][CRC-16 over address and frame, little-endian].
// A frame with a length byte of 0 or 1 has no whole command code; it is
// passed on as too short (and ignored), once the two bytes after its header
// show that it is not a command whose length byte wrapped.
#pragma once

#include "kelvo-sim/command_table.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace kelvo::sim {

// Longest request frame accepted; a sizer asking for more is cut to this.
constexpr std::size_t kMaxRequestFrame = 1024;

struct IncomingFrame {
    Bytes frame;              // without address byte and CRC
    std::uint8_t address = 0; // serial only
    bool crcOk = true;        // serial only
    std::uint16_t crc = 0;    // serial only: the trailer as received
    bool tooShort = false;    // length byte 0 or 1: no command code
};

class FrameAssembler {
public:
    FrameAssembler(bool serial, const CommandTable& table) : serial_(serial), table_(table) {}

    void Feed(std::span<const std::uint8_t> bytes);
    // The next complete frame, or nothing while more bytes are needed.
    std::optional<IncomingFrame> Next();
    // Drops an incomplete frame (serial: the line went quiet in mid-frame).
    void Clear() { buffer_.clear(); }
    std::size_t Pending() const { return buffer_.size(); }

private:
    std::size_t FrameSize(std::span<const std::uint8_t> frame) const;

    bool serial_;
    const CommandTable& table_;
    Bytes buffer_;
};

} // namespace kelvo::sim
