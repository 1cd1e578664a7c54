#include "kelvo-sim/device.h"

#include <pugixml.hpp>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace kelvo::sim {
namespace {

// Reads an unsigned number attribute (decimal or 0x-hex) no larger than `max`.
// A missing attribute leaves `value` unchanged.
template <typename T>
bool ReadNumber(const pugi::xml_node& node, const char* name, std::uint64_t max, T& value,
                std::string& error) {
    pugi::xml_attribute attr = node.attribute(name);
    if (!attr)
        return true;
    const char* text = attr.value();
    char* end = nullptr;
    errno = 0;
    unsigned long long parsed = std::strtoull(text, &end, 0);
    if (*text == '\0' || *text == '-' || *end != '\0' || errno != 0 || parsed > max) {
        error = std::string("<") + node.name() + "> " + name + "=\"" + text +
                "\" is not a number from 0 to " + std::to_string(max);
        return false;
    }
    value = static_cast<T>(parsed);
    return true;
}

bool CheckAttributes(const pugi::xml_node& node, std::initializer_list<std::string_view> known,
                     std::string& error) {
    for (const pugi::xml_attribute& attr : node.attributes()) {
        bool found = false;
        for (std::string_view name : known)
            found = found || name == attr.name();
        if (!found) {
            error = std::string("unknown attribute ") + attr.name() + " of <" + node.name() + ">";
            return false;
        }
    }
    return true;
}

bool ReadIdentity(const pugi::xml_node& node, DeviceState& state, std::string& error) {
    return CheckAttributes(node, {"node", "serialAddress"}, error) &&
           ReadNumber(node, "node", 255, state.node, error) &&
           ReadNumber(node, "serialAddress", 255, state.serialAddress, error);
}

bool ReadCounters(const pugi::xml_node& node, DeviceState& state, std::string& error) {
    return CheckAttributes(node, {"save"}, error) &&
           ReadNumber(node, "save", 0xFFFFFFFFu, state.saveCount, error);
}

// <users><user name=".." password=".." role="N" permissions="N"/>...</users>
// replaces the whole user table; it holds at least one user.
bool ReadUsers(const pugi::xml_node& node, DeviceState& state, std::string& error) {
    if (!CheckAttributes(node, {}, error))
        return false;
    std::vector<DeviceState::User> users;
    for (const pugi::xml_node& child : node.children()) {
        if (child.type() != pugi::node_element)
            continue;
        if (std::string_view(child.name()) != "user") {
            error = std::string("unknown element <") + child.name() + "> in <users>";
            return false;
        }
        DeviceState::User user;
        user.name = child.attribute("name").value();
        user.password = child.attribute("password").value();
        if (!CheckAttributes(child, {"name", "password", "role", "permissions"}, error) ||
            !ReadNumber(child, "role", 255, user.role, error) ||
            !ReadNumber(child, "permissions", ~std::uint64_t{0}, user.permissions, error))
            return false;
        // Names and passwords travel as counted text: 1 to 255 bytes, 0 to 255.
        if (user.name.empty() || user.name.size() > 255 || user.password.size() > 255) {
            error = "<user name=\"" + user.name + "\">: name of 1 to 255 and password of up to " +
                    "255 bytes expected";
            return false;
        }
        for (const DeviceState::User& other : users) {
            if (other.name == user.name) {
                error = "<user name=\"" + user.name + "\"> appears twice";
                return false;
            }
        }
        users.push_back(std::move(user));
    }
    // A device always keeps at least its administrator.
    if (users.empty()) {
        error = "<users> holds no <user>";
        return false;
    }
    state.users = std::move(users);
    return true;
}

bool ReadSession(const pugi::xml_node& node, DeviceState& state, std::string& error) {
    return CheckAttributes(node, {"required"}, error) &&
           ReadNumber(node, "required", 1, state.loginRequired, error);
}

// <parameters> replaces the whole table; each <parameter> gives index, sub,
// type (name or number), value (text of the type), writable and login (0/1).
bool ReadParameters(const pugi::xml_node& node, DeviceState& state, std::string& error) {
    if (!CheckAttributes(node, {}, error))
        return false;
    ParameterTable table;
    for (const pugi::xml_node& child : node.children()) {
        if (child.type() != pugi::node_element)
            continue;
        if (std::string_view(child.name()) != "parameter") {
            error = std::string("unknown element <") + child.name() + "> in <parameters>";
            return false;
        }
        std::uint16_t index = 0;
        std::uint8_t sub = 0;
        Parameter p;
        if (!CheckAttributes(child, {"index", "sub", "type", "value", "writable", "login"},
                             error) ||
            !ReadNumber(child, "index", 0xFFFF, index, error) ||
            !ReadNumber(child, "sub", 255, sub, error) ||
            !ReadNumber(child, "writable", 1, p.writable, error) ||
            !ReadNumber(child, "login", 1, p.needsLogin, error))
            return false;
        const std::string where = "<parameter index=\"" + std::to_string(index) + "\" sub=\"" +
                                  std::to_string(sub) + "\">: ";
        if (!child.attribute("index") ||
            !ParseParameterType(child.attribute("type").value(), p.type)) {
            error = where + "index and a type (i1 u1 i2 u2 i4 u4 r4 r8 i8 u8 str) expected";
            return false;
        }
        // A missing value is 0, or the empty text for a string.
        const char* value = ParameterSize(p.type) == 0 ? "" : "0";
        if (child.attribute("value"))
            value = child.attribute("value").value();
        if (!EncodeParameterValue(p.type, value, p.eeprom, error)) {
            error = where + error;
            return false;
        }
        p.ram = p.eeprom;
        if (!table.emplace(ParameterKey(index, sub), std::move(p)).second) {
            error = where + "appears twice";
            return false;
        }
    }
    state.parameters = std::move(table);
    return true;
}

// <errorLog frameSize axes wrongIndexAt empty>: <entry> children (record bytes
// in hex, blanks allowed) replace the built-in log; empty="1" clears it.
bool ReadErrorLogSection(const pugi::xml_node& node, DeviceState& state, std::string& error) {
    bool empty = false;
    if (!CheckAttributes(node, {"frameSize", "axes", "wrongIndexAt", "empty"}, error) ||
        !ReadNumber(node, "frameSize", 255, state.errorLogFrameSize, error) ||
        !ReadNumber(node, "axes", 255, state.axisCount, error) ||
        !ReadNumber(node, "wrongIndexAt", ~std::uint64_t{0}, state.errorLogWrongIndexAt, error) ||
        !ReadNumber(node, "empty", 1, empty, error))
        return false;
    if (state.errorLogFrameSize == 0) {
        error = "<errorLog> frameSize=\"0\" is not a number from 1 to 255";
        return false;
    }
    std::vector<std::vector<std::uint8_t>> log;
    for (const pugi::xml_node& child : node.children()) {
        if (child.type() != pugi::node_element)
            continue;
        if (std::string_view(child.name()) != "entry" || !CheckAttributes(child, {}, error)) {
            error = std::string("unknown element <") + child.name() + "> in <errorLog>";
            return false;
        }
        std::vector<std::uint8_t> record;
        int high = -1;
        for (const char c : std::string_view(child.text().get())) {
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r')
                continue;
            const char* digits = "0123456789abcdef";
            const char* at = std::strchr(digits, c >= 'A' && c <= 'F' ? c + 32 : c);
            if (c == '\0' || !at) {
                error = "<entry> " + std::to_string(log.size()) + ": hex digits expected";
                return false;
            }
            const int digit = static_cast<int>(at - digits);
            if (high < 0) {
                high = digit;
                continue;
            }
            record.push_back(static_cast<std::uint8_t>(high * 16 + digit));
            high = -1;
        }
        if (high >= 0) {
            error = "<entry> " + std::to_string(log.size()) + ": odd number of hex digits";
            return false;
        }
        log.push_back(std::move(record));
    }
    if (empty || !log.empty())
        state.errorLog = std::move(log);
    return true;
}

// <security adminKey="384 hex digits"/>: the admin key block.
bool ReadSecurity(const pugi::xml_node& node, DeviceState& state, std::string& error) {
    if (!CheckAttributes(node, {"adminKey"}, error))
        return false;
    pugi::xml_attribute attr = node.attribute("adminKey");
    if (!attr)
        return true;
    const std::string_view text = attr.value();
    bool ok = text.size() == 2 * kAdminKeySize;
    for (std::size_t i = 0; ok && i < kAdminKeySize; ++i) {
        const char* pair = text.data() + 2 * i;
        ok = std::from_chars(pair, pair + 2, state.adminKey[i], 16).ptr == pair + 2;
    }
    if (!ok)
        error = "<security> adminKey needs " + std::to_string(2 * kAdminKeySize) + " hex digits";
    return ok;
}

// One reader per child element of the document element; further device areas
// (parameters, users, error log, ...) add their element here.
struct SectionReader {
    const char* element;
    bool (*read)(const pugi::xml_node&, DeviceState&, std::string&);
};

constexpr SectionReader kSections[] = {
    {"identity", ReadIdentity},
    {"counters", ReadCounters},
    {"users", ReadUsers},
    {"session", ReadSession},
    {"security", ReadSecurity},
    {"errorLog", ReadErrorLogSection},
    {"parameters", ReadParameters},
    {"data", ReadDataSection},
    {"discovery", ReadDiscoverySection},
    {"ping", ReadPingSection},
};

bool ReadDocument(const pugi::xml_document& doc, DeviceState& state, std::string& error) {
    pugi::xml_node root = doc.document_element();
    if (std::string_view(root.name()) != "kelvo-sim") {
        error = "the document element is not <kelvo-sim>";
        return false;
    }
    for (const pugi::xml_node& child : root.children()) {
        if (child.type() != pugi::node_element)
            continue;
        const SectionReader* reader = nullptr;
        for (const SectionReader& section : kSections) {
            if (std::string_view(section.element) == child.name())
                reader = &section;
        }
        if (!reader) {
            error = std::string("unknown element <") + child.name() + ">";
            return false;
        }
        if (!reader->read(child, state, error))
            return false;
    }
    return true;
}

} // namespace

bool LoadDeviceState(const std::string& path, DeviceState& state, std::string& error) {
    pugi::xml_document doc;
    pugi::xml_parse_result parsed = doc.load_file(path.c_str());
    if (!parsed) {
        error = path + ": " + parsed.description();
        return false;
    }
    if (!ReadDocument(doc, state, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

bool ParseDeviceState(const std::string& xml, DeviceState& state, std::string& error) {
    pugi::xml_document doc;
    pugi::xml_parse_result parsed = doc.load_buffer(xml.data(), xml.size());
    if (!parsed) {
        error = parsed.description();
        return false;
    }
    return ReadDocument(doc, state, error);
}

} // namespace kelvo::sim
