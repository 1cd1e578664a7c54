// Ping: the device answers a blink request with a list of typed items, given
// back as JSON-like text, one member per item named by its key.
//
// Rendering choices where the device's answer leaves room:
// - A value shorter than its type's width is read from zero-filled bytes
//   (never from an earlier item's bytes): type 0x00030004 with the one byte
//   05 gives 5.
// - A text value ends at its first zero byte; the closing quote and the
//   following items still come (41 00 42 gives "A").
// - An unknown type code writes null after the key, so the text stays valid
//   JSON when the values are; the unknown type is traced.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kelvo {

constexpr std::uint16_t kPingCommand = 0x0101;
constexpr std::uint16_t kPingSuccess = 0x0110;
constexpr std::uint16_t kPingError = 0x0111;
// Blink time range in milliseconds.
constexpr std::int16_t kBlinkMin = 1000;
constexpr std::int16_t kBlinkMax = 10000;

// The blink time sent for a requested one.
constexpr std::int16_t LimitBlinkTime(std::int16_t requested) {
    return requested < kBlinkMin ? kBlinkMin : requested > kBlinkMax ? kBlinkMax : requested;
}

// Appends one item, "\"key\":value", to `text`. Returns false for an unknown
// type code (null written as the value).
bool RenderPingItem(std::uint8_t key, std::uint32_t type, std::span<const std::uint8_t> value,
                    std::string& text);

} // namespace kelvo
