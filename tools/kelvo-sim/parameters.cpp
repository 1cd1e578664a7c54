#include "kelvo-sim/parameters.h"

#include "kelvo/automation.h"
#include "protocol/bytes.h"

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace kelvo::sim {
namespace {

struct TypeName {
    const char* name;
    std::uint16_t type;
    std::size_t size;
};

constexpr TypeName kTypes[] = {
    {"i1", VT_I1, 1}, {"u1", VT_UI1, 1}, {"i2", VT_I2, 2},    {"u2", VT_UI2, 2},
    {"i4", VT_I4, 4}, {"u4", VT_UI4, 4}, {"r4", VT_R4, 4},    {"r8", VT_R8, 8},
    {"i8", VT_I8, 8}, {"u8", VT_UI8, 8}, {"str", VT_BSTR, 0},
};

const TypeName* FindType(std::uint16_t type) {
    for (const TypeName& t : kTypes) {
        if (t.type == type)
            return &t;
    }
    return nullptr;
}

bool IsSigned(std::uint16_t type) {
    return type == VT_I1 || type == VT_I2 || type == VT_I4 || type == VT_I8;
}

Parameter Make(std::uint16_t type, std::string_view text, bool writable = true,
               bool needsLogin = false) {
    Parameter p;
    p.type = type;
    std::string error;
    EncodeParameterValue(type, text, p.eeprom, error);
    p.ram = p.eeprom;
    p.writable = writable;
    p.needsLogin = needsLogin;
    return p;
}

} // namespace

ParameterTable DefaultParameters() {
    return {
        {ParameterKey(0x1000, 0), Make(VT_I1, "-5")},
        {ParameterKey(0x1001, 0), Make(VT_UI1, "200")},
        {ParameterKey(0x1002, 0), Make(VT_I2, "-1234")},
        {ParameterKey(0x1003, 0), Make(VT_UI2, "54321")},
        {ParameterKey(0x1004, 0), Make(VT_I4, "-123456")},
        {ParameterKey(0x1005, 0), Make(VT_UI4, "3000000000")},
        {ParameterKey(0x1006, 0), Make(VT_R4, "1.5")},
        {ParameterKey(0x1007, 0), Make(VT_R8, "-2.25")},
        {ParameterKey(0x1008, 0), Make(VT_I8, "-5000000000")},
        {ParameterKey(0x1009, 0), Make(VT_UI8, "10000000000000000000")},
        {ParameterKey(0x100A, 0), Make(VT_BSTR, "Kelvo simulated drive")},
        {ParameterKey(0x100A, 1), Make(VT_BSTR, "")},
        {ParameterKey(0x2000, 0), Make(VT_UI4, "12345678", false)},
        {ParameterKey(0x2001, 0), Make(VT_BSTR, "1.0.0", false)},
        {ParameterKey(0x3000, 0), Make(VT_I4, "42", true, true)},
        {ParameterKey(0x3000, 1), Make(VT_BSTR, "protected", true, true)},
    };
}

bool ParseParameterType(std::string_view text, std::uint16_t& type) {
    for (const TypeName& t : kTypes) {
        if (text == t.name) {
            type = t.type;
            return true;
        }
    }
    const std::string number(text);
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(number.c_str(), &end, 0);
    if (number.empty() || *end != '\0' || errno != 0 || value > 0xFFFF ||
        !FindType(static_cast<std::uint16_t>(value)))
        return false;
    type = static_cast<std::uint16_t>(value);
    return true;
}

std::size_t ParameterSize(std::uint16_t type) {
    const TypeName* t = FindType(type);
    return t ? t->size : 0;
}

bool EncodeParameterValue(std::uint16_t type, std::string_view text,
                          std::vector<std::uint8_t>& bytes, std::string& error) {
    const TypeName* t = FindType(type);
    if (!t) {
        error = "type " + std::to_string(type) + " is not a parameter type";
        return false;
    }
    const std::string value(text);
    if (type == VT_BSTR) {
        const std::string ansi = ToAnsi(Utf8ToUtf16(value), CodePage::Windows1252);
        if (ansi.size() > 255) {
            error = "a string value has at most 255 bytes";
            return false;
        }
        bytes.assign(ansi.begin(), ansi.end());
        return true;
    }
    char* end = nullptr;
    errno = 0;
    std::uint64_t raw = 0;
    bool fits = true;
    if (type == VT_R4 || type == VT_R8) {
        const double d = std::strtod(value.c_str(), &end);
        if (type == VT_R4) {
            fits = std::abs(d) <= std::numeric_limits<float>::max();
            raw = std::bit_cast<std::uint32_t>(static_cast<float>(d));
        } else {
            raw = std::bit_cast<std::uint64_t>(d);
        }
    } else if (IsSigned(type)) {
        const long long v = std::strtoll(value.c_str(), &end, 0);
        const int bits = static_cast<int>(t->size * 8);
        fits = bits == 64 || (v >= -(1LL << (bits - 1)) && v < (1LL << (bits - 1)));
        raw = static_cast<std::uint64_t>(v);
    } else {
        const unsigned long long v = std::strtoull(value.c_str(), &end, 0);
        const int bits = static_cast<int>(t->size * 8);
        fits = value.find('-') == std::string::npos && (bits == 64 || v < (1ULL << bits));
        raw = v;
    }
    if (value.empty() || *end != '\0' || errno != 0 || !fits) {
        error = "\"" + value + "\" is no value of type " + t->name;
        return false;
    }
    bytes.resize(t->size);
    for (std::size_t i = 0; i < t->size; ++i)
        bytes[i] = static_cast<std::uint8_t>(raw >> (8 * i));
    return true;
}

} // namespace kelvo::sim
