#include "kelvo-sim/framing.h"

#include "protocol/bytes.h"
#include "protocol/crc16.h"

#include <algorithm>

namespace kelvo::sim {

void FrameAssembler::Feed(std::span<const std::uint8_t> bytes) {
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::size_t FrameAssembler::FrameSize(std::span<const std::uint8_t> frame) const {
    // The command code decides even for a length byte below 2: commands with
    // their own sizer may wrap that byte for long payloads.
    if (frame.size() < 6)
        return 6;
    const Command* command = table_.Find(ldle_u16(frame.data() + 4));
    bool ownSizer = command && command->frameSize && command->frameSize != LengthByteFrameSize;
    if (!ownSizer)
        return 4 + static_cast<std::size_t>(frame[3]);
    return std::clamp<std::size_t>(command->frameSize(frame), 6, kMaxRequestFrame);
}

std::optional<IncomingFrame> FrameAssembler::Next() {
    const std::size_t head = serial_ ? 1 : 0;
    const std::size_t tail = serial_ ? 2 : 0;
    if (buffer_.size() < head)
        return std::nullopt;
    std::span<const std::uint8_t> available(buffer_.data() + head, buffer_.size() - head);
    std::size_t size = FrameSize(available);
    if (available.size() < size + tail)
        return std::nullopt;

    IncomingFrame in;
    in.frame.assign(available.begin(), available.begin() + static_cast<std::ptrdiff_t>(size));
    in.tooShort = size < 6;
    if (serial_) {
        in.address = buffer_[0];
        std::uint16_t crc = Crc16(buffer_.data(), head + size, kCrc16Start);
        in.crc = ldle_u16(buffer_.data() + head + size);
        in.crcOk = crc == in.crc;
    }
    buffer_.erase(buffer_.begin(),
                  buffer_.begin() + static_cast<std::ptrdiff_t>(head + size + tail));
    return in;
}

} // namespace kelvo::sim
