// The simulated device's data areas: data blocks addressed by block number,
// type, index and sub-index; the 40-byte safety block; the safety objects; the
// SSC buffer.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace pugi {
class xml_node;
}

namespace kelvo::sim {

struct DeviceState;

struct DataBlockKey {
    std::uint8_t rtNum = 0;
    std::uint8_t dbType = 0;
    std::uint16_t dbIdx = 0;
    std::uint32_t dbSubIdx = 0;
    friend auto operator<=>(const DataBlockKey&, const DataBlockKey&) = default;
};

// Key of a safety object: index in the upper bits, sub-index in the low byte.
constexpr std::uint32_t SafeObjectKey(std::uint16_t index, std::uint8_t subIndex) {
    return (static_cast<std::uint32_t>(index) << 8) | subIndex;
}

constexpr std::size_t kSafetyBlockSize = 40;
// Largest data block or SSC buffer a state file may give.
constexpr std::size_t kMaxDataAreaSize = 65536;

struct DataAreas {
    std::map<DataBlockKey, std::vector<std::uint8_t>> blocks;
    std::array<std::uint8_t, kSafetyBlockSize> safety{};
    std::map<std::uint32_t, std::uint32_t> safeObjects; // SafeObjectKey -> value
    std::vector<std::uint8_t> ssc;
};

// The areas a device starts with: block 0/0/0/0 of 256 bytes 00 01 .. ff and
// block 1/2/3/4 of 64 zero bytes; a zero safety block; the safety objects
// 0x6000/0 = 300 and 0x6000/1 = 0x12345678; an SSC buffer of 256 bytes
// ff fe .. 00.
DataAreas DefaultDataAreas();

// Device error codes of the data commands.
constexpr std::uint32_t kUnknownBlockError = 0x0D000001;      // no block at that address
constexpr std::uint32_t kDataRangeError = 0x0D000002;         // range beyond the block or buffer
constexpr std::uint32_t kUnknownSafeObjectError = 0x0D000003; // no safety object there

// Reads the <data> section of a state file into state.data.
bool ReadDataSection(const pugi::xml_node& node, DeviceState& state, std::string& error);

} // namespace kelvo::sim
