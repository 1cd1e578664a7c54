// The simulated device's parameter table: values by index and sub-index, each
// with its variant type, an EEPROM and a RAM copy, and its access rules.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kelvo::sim {

struct Parameter {
    std::uint16_t type = 0;           // variant type code (16, 17, 2, 18, 3, 19, 4, 5, 20, 21, 8)
    std::vector<std::uint8_t> eeprom; // stored value, as it goes on the wire
    std::vector<std::uint8_t> ram;    // working value
    bool writable = true;             // false: writes get kReadOnlyParameterError
    bool needsLogin = false;          // true: refused with 0x15000002 without a session
};

// Key of a parameter: index in the upper bits, sub-index in the low byte.
constexpr std::uint32_t ParameterKey(std::uint16_t index, std::uint8_t subIndex) {
    return (static_cast<std::uint32_t>(index) << 8) | subIndex;
}

using ParameterTable = std::map<std::uint32_t, Parameter>;

// Device error codes of parameter access.
constexpr std::uint32_t kUnknownParameterError = 0x0B000001;
constexpr std::uint32_t kReadOnlyParameterError = 0x0B000002;
constexpr std::uint32_t kParameterLengthError = 0x0B000003;

// The table a device starts with: a few parameters of every type code, some
// read-only, some protected by the login.
ParameterTable DefaultParameters();

// A type by name ("i1 u1 i2 u2 i4 u4 r4 r8 i8 u8 str") or by its number.
bool ParseParameterType(std::string_view text, std::uint16_t& type);

// Value bytes of a type code: 1, 2, 4 or 8; 0 for strings (any length up to
// 255) and for codes outside the table.
std::size_t ParameterSize(std::uint16_t type);

// The wire bytes of a value given as text: integers in decimal or 0x-hex,
// reals in decimal, strings as UTF-8 text stored in Windows-1252.
bool EncodeParameterValue(std::uint16_t type, std::string_view text,
                          std::vector<std::uint8_t>& bytes, std::string& error);

} // namespace kelvo::sim
