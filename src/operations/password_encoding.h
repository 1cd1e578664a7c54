// Reversible scrambling of passwords for settings files and connection texts.
// It is not encryption: two one-byte constants, an offset and an XOR mask.
//
// Scramble: each UTF-16 code unit's low byte b gives two upper-case hex digits
// of ((b + 0x3B) mod 256) XOR 0xA5. For b up to 0xC4 this is the plain rule and
// unscrambling gives b back. Above that the sum is taken modulo 256, so every
// character still gives exactly two digits; unscrambling such a pair gives
// 0xFF00 + b (the low byte survives, the 16-bit subtraction wraps).
//
// Unscramble: an empty or odd-length text gives "?"; otherwise each pair of
// characters is read as a number in base 16 by the C library's strtoul rules
// (leading blanks and a sign accepted, parsing stops at the first non-digit, no
// digits give 0); its low byte XOR 0xA5 minus 0x3B, in 16 bits, is one code unit.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kelvo {

std::u16string ScramblePassword(std::u16string_view password);

// Two characters read as a number in base 16 by the C library's strtoul rules;
// its low 8 bits. Used for scrambled passwords and hex keys alike.
std::uint8_t HexPairByte(char16_t high, char16_t low);
std::u16string UnscramblePassword(std::u16string_view scrambled);

} // namespace kelvo
