// Little-endian field access over byte buffers; frames are built and parsed
// with these, never by casting structures onto buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kelvo {

inline std::uint16_t ldle_u16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t ldle_u32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t ldle_u64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(ldle_u32(p)) |
           (static_cast<std::uint64_t>(ldle_u32(p + 4)) << 32);
}
inline void stle_u16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void stle_u32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void stle_u64(std::uint8_t* p, std::uint64_t v) {
    stle_u32(p, static_cast<std::uint32_t>(v));
    stle_u32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

// Appends little-endian fields to a growing frame.
class FrameWriter {
public:
    explicit FrameWriter(std::size_t reserve = 32) { bytes_.reserve(reserve); }

    FrameWriter& u8(std::uint8_t v) {
        bytes_.push_back(v);
        return *this;
    }
    FrameWriter& u16(std::uint16_t v) {
        u8(static_cast<std::uint8_t>(v));
        return u8(static_cast<std::uint8_t>(v >> 8));
    }
    FrameWriter& u32(std::uint32_t v) {
        u16(static_cast<std::uint16_t>(v));
        return u16(static_cast<std::uint16_t>(v >> 16));
    }
    FrameWriter& u64(std::uint64_t v) {
        u32(static_cast<std::uint32_t>(v));
        return u32(static_cast<std::uint32_t>(v >> 32));
    }
    FrameWriter& bytes(std::span<const std::uint8_t> data) {
        bytes_.insert(bytes_.end(), data.begin(), data.end());
        return *this;
    }

    std::vector<std::uint8_t>& data() { return bytes_; }
    std::size_t size() const { return bytes_.size(); }

private:
    std::vector<std::uint8_t> bytes_;
};

} // namespace kelvo
