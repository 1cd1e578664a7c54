// CRC-16/CCITT-FALSE: polynomial 0x1021, MSB first, no reflection, no final XOR.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kelvo {

constexpr std::uint16_t kCrc16Start = 0xFFFF;

// Continues a running CRC over more bytes; start each frame with kCrc16Start.
std::uint16_t Crc16(const std::uint8_t* data, std::size_t length, std::uint16_t running);

inline std::uint16_t Crc16(std::span<const std::uint8_t> data,
                           std::uint16_t running = kCrc16Start) {
    return Crc16(data.data(), data.size(), running);
}

} // namespace kelvo
