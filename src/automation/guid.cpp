// Text form of a GUID: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
#include "kelvo/automation.h"

#include <array>
#include <cstdio>

namespace {

constexpr std::size_t kTextLength = 38;

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// Reads `digits` hex digits at text[*pos] into *value.
bool ReadHex(std::string_view text, std::size_t* pos, int digits, std::uint32_t* value) {
    std::uint32_t result = 0;
    for (int i = 0; i < digits; ++i) {
        const int v = HexValue(text[*pos + i]);
        if (v < 0) {
            return false;
        }
        result = (result << 4) | static_cast<std::uint32_t>(v);
    }
    *pos += digits;
    *value = result;
    return true;
}

bool Expect(std::string_view text, std::size_t* pos, char c) {
    if (text[*pos] != c) {
        return false;
    }
    ++*pos;
    return true;
}

} // namespace

std::string GuidToString(REFGUID guid) {
    std::array<char, kTextLength + 1> text{};
    std::snprintf(text.data(), text.size(), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(guid.Data1), static_cast<unsigned>(guid.Data2),
                  static_cast<unsigned>(guid.Data3), guid.Data4[0], guid.Data4[1], guid.Data4[2],
                  guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return std::string(text.data(), kTextLength);
}

bool GuidFromString(std::string_view text, GUID* guid) {
    if (!guid || text.size() != kTextLength) {
        return false;
    }
    GUID result{};
    std::size_t pos = 0;
    std::uint32_t value = 0;
    if (!Expect(text, &pos, '{') || !ReadHex(text, &pos, 8, &result.Data1) ||
        !Expect(text, &pos, '-')) {
        return false;
    }
    if (!ReadHex(text, &pos, 4, &value)) {
        return false;
    }
    result.Data2 = static_cast<std::uint16_t>(value);
    if (!Expect(text, &pos, '-') || !ReadHex(text, &pos, 4, &value)) {
        return false;
    }
    result.Data3 = static_cast<std::uint16_t>(value);
    if (!Expect(text, &pos, '-')) {
        return false;
    }
    for (int i = 0; i < 8; ++i) {
        if (i == 2 && !Expect(text, &pos, '-')) {
            return false;
        }
        if (!ReadHex(text, &pos, 2, &value)) {
            return false;
        }
        result.Data4[i] = static_cast<std::uint8_t>(value);
    }
    if (!Expect(text, &pos, '}')) {
        return false;
    }
    *guid = result;
    return true;
}
