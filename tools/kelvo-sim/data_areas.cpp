#include "kelvo-sim/data_areas.h"

#include "kelvo-sim/device.h"

#include <pugixml.hpp>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <string_view>

namespace kelvo::sim {
namespace {

bool Fail(std::string& error, const pugi::xml_node& node, const std::string& what) {
    error = std::string("<") + node.name() + "> " + what;
    return false;
}

// An unsigned attribute (decimal or 0x-hex) up to `max`; a missing one keeps `value`.
template <typename T>
bool Number(const pugi::xml_node& node, const char* name, std::uint64_t max, T& value,
            std::string& error) {
    pugi::xml_attribute attr = node.attribute(name);
    if (!attr)
        return true;
    const char* text = attr.value();
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text, &end, 0);
    if (*text == '\0' || *text == '-' || *end != '\0' || errno != 0 || parsed > max)
        return Fail(error, node,
                    std::string(name) + "=\"" + text + "\" is not a number from 0 to " +
                        std::to_string(max));
    value = static_cast<T>(parsed);
    return true;
}

bool KnownAttributes(const pugi::xml_node& node, std::initializer_list<std::string_view> known,
                     std::string& error) {
    for (const pugi::xml_attribute& attr : node.attributes()) {
        bool found = false;
        for (std::string_view name : known)
            found = found || name == attr.name();
        if (!found)
            return Fail(error, node, std::string("has an unknown attribute ") + attr.name());
    }
    return true;
}

// bytes="hex digits" (blanks allowed between bytes), then padded with zeros
// up to size="N" when given; size defaults to the number of bytes.
bool ReadBytes(const pugi::xml_node& node, std::size_t maxSize, std::vector<std::uint8_t>& out,
               std::string& error) {
    std::vector<std::uint8_t> bytes;
    std::string_view text = node.attribute("bytes").value();
    while (!text.empty()) {
        if (text.front() == ' ') {
            text.remove_prefix(1);
            continue;
        }
        std::uint8_t b = 0;
        if (text.size() < 2 ||
            std::from_chars(text.data(), text.data() + 2, b, 16).ptr != text.data() + 2)
            return Fail(error, node, "bytes are not pairs of hex digits");
        bytes.push_back(b);
        text.remove_prefix(2);
    }
    std::size_t size = bytes.size();
    if (!Number(node, "size", maxSize, size, error))
        return false;
    if (bytes.size() > size)
        return Fail(error, node, "holds more bytes than its size");
    if (bytes.size() > maxSize)
        return Fail(error, node, "holds more than " + std::to_string(maxSize) + " bytes");
    bytes.resize(size, 0);
    out = std::move(bytes);
    return true;
}

bool ReadBlock(const pugi::xml_node& node, DataAreas& data, std::string& error) {
    DataBlockKey key;
    std::vector<std::uint8_t> bytes;
    if (!KnownAttributes(node, {"rtNum", "dbType", "dbIdx", "dbSubIdx", "size", "bytes"}, error) ||
        !Number(node, "rtNum", 0xFF, key.rtNum, error) ||
        !Number(node, "dbType", 0xFF, key.dbType, error) ||
        !Number(node, "dbIdx", 0xFFFF, key.dbIdx, error) ||
        !Number(node, "dbSubIdx", 0xFFFFFFFFu, key.dbSubIdx, error) ||
        !ReadBytes(node, kMaxDataAreaSize, bytes, error))
        return false;
    if (!data.blocks.emplace(key, std::move(bytes)).second)
        return Fail(error, node, "addresses a block twice");
    return true;
}

bool ReadObject(const pugi::xml_node& node, DataAreas& data, std::string& error) {
    std::uint16_t index = 0;
    std::uint8_t subIndex = 0;
    std::uint32_t value = 0;
    if (!KnownAttributes(node, {"index", "subIndex", "value"}, error) ||
        !Number(node, "index", 0xFFFF, index, error) ||
        !Number(node, "subIndex", 0xFF, subIndex, error) ||
        !Number(node, "value", 0xFFFFFFFFu, value, error))
        return false;
    if (!data.safeObjects.emplace(SafeObjectKey(index, subIndex), value).second)
        return Fail(error, node, "addresses a safety object twice");
    return true;
}

} // namespace

DataAreas DefaultDataAreas() {
    DataAreas data;
    std::vector<std::uint8_t> counting(256);
    for (std::size_t i = 0; i < counting.size(); ++i)
        counting[i] = static_cast<std::uint8_t>(i);
    data.blocks[{0, 0, 0, 0}] = counting;
    data.blocks[{1, 2, 3, 4}] = std::vector<std::uint8_t>(64, 0);
    data.safeObjects[SafeObjectKey(0x6000, 0)] = 300;
    data.safeObjects[SafeObjectKey(0x6000, 1)] = 0x12345678;
    data.ssc.assign(counting.rbegin(), counting.rend());
    return data;
}

// <data>
//   <block rtNum=".." dbType=".." dbIdx=".." dbSubIdx=".." size=".." bytes=".."/>...
//   <safety bytes="80 hex digits"/>
//   <object index=".." subIndex=".." value=".."/>...
//   <ssc size=".." bytes=".."/>
// </data>
// Blocks given replace all built-in blocks; objects given replace all
// built-in objects.
bool ReadDataSection(const pugi::xml_node& node, DeviceState& state, std::string& error) {
    if (!KnownAttributes(node, {}, error))
        return false;
    DataAreas data = state.data;
    bool blocks = false;
    bool objects = false;
    for (const pugi::xml_node& child : node.children()) {
        if (child.type() != pugi::node_element)
            continue;
        const std::string_view name = child.name();
        if (name == "block") {
            if (!blocks)
                data.blocks.clear();
            blocks = true;
            if (!ReadBlock(child, data, error))
                return false;
        } else if (name == "object") {
            if (!objects)
                data.safeObjects.clear();
            objects = true;
            if (!ReadObject(child, data, error))
                return false;
        } else if (name == "safety") {
            std::vector<std::uint8_t> bytes;
            if (!KnownAttributes(child, {"bytes"}, error) ||
                !ReadBytes(child, kSafetyBlockSize, bytes, error))
                return false;
            if (bytes.size() != kSafetyBlockSize)
                return Fail(error, child, "needs 40 bytes");
            std::copy(bytes.begin(), bytes.end(), data.safety.begin());
        } else if (name == "ssc") {
            if (!KnownAttributes(child, {"size", "bytes"}, error) ||
                !ReadBytes(child, kMaxDataAreaSize, data.ssc, error))
                return false;
        } else {
            error = "unknown element <" + std::string(name) + "> in <data>";
            return false;
        }
    }
    state.data = std::move(data);
    return true;
}

} // namespace kelvo::sim
