#include "transport/portway/connection_text.h"

#include <charconv>
#include <cstdint>
#include <vector>

namespace kelvo::portway {
namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Upper(a[i]) != Upper(b[i]))
            return false;
    }
    return true;
}

std::vector<std::string_view> Split(std::string_view s, char sep) {
    std::vector<std::string_view> items;
    for (;;) {
        std::size_t pos = s.find(sep);
        items.push_back(Trim(s.substr(0, pos)));
        if (pos == std::string_view::npos)
            return items;
        s.remove_prefix(pos + 1);
    }
}

// Decimal digits only, within [min, max].
bool ParseUnsigned(std::string_view s, std::uint64_t min, std::uint64_t max, unsigned* out) {
    if (s.empty())
        return false;
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size() || value < min || value > max)
        return false;
    *out = static_cast<unsigned>(value);
    return true;
}

// "n[,baud[,parity[,dataBits[,stopBits]]]]"
bool ParseSerialItems(std::string_view text, unsigned* port, SerialSettings* settings) {
    std::vector<std::string_view> items = Split(text, ',');
    if (items.size() > 5)
        return false;
    if (!ParseUnsigned(items[0], 1, kMaxComPort, port))
        return false;
    if (items.size() > 1 && !ParseUnsigned(items[1], 1, 4000000, &settings->baud))
        return false;
    if (items.size() > 2) {
        if (items[2].size() != 1)
            return false;
        char parity = Upper(items[2][0]);
        if (parity != 'N' && parity != 'E' && parity != 'O')
            return false;
        settings->parity = parity;
    }
    if (items.size() > 3 && !ParseUnsigned(items[3], 5, 8, &settings->dataBits))
        return false;
    if (items.size() > 4 && !ParseUnsigned(items[4], 1, 2, &settings->stopBits))
        return false;
    return true;
}

std::optional<LinkTarget> ParseTcp(std::string_view rest) {
    std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos)
        return std::nullopt;
    TcpTarget target;
    std::string_view host = Trim(rest.substr(0, slash));
    // A bracketed IPv6 literal.
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    target.host = std::string(host);
    std::vector<std::string_view> items = Split(rest.substr(slash + 1), ',');
    if (items.size() < 2 || items.size() > 3)
        return std::nullopt;
    if (!ParseUnsigned(items[0], 1, 65535, &target.port))
        return std::nullopt;
    if (!ParseUnsigned(items[1], 0, UINT32_MAX, &target.connectTimeoutMs))
        return std::nullopt;
    if (items.size() == 3) {
        if (!EqualsNoCase(items[2], "SSL"))
            return std::nullopt;
        target.tls = true;
    }
    return target;
}

std::optional<LinkTarget> ParseBridge(std::string_view rest) {
    // The name may itself hold underscores: the last "_COM," ends it.
    std::size_t mark = std::string_view::npos;
    for (std::size_t i = rest.size(); i >= 5; --i) {
        if (EqualsNoCase(rest.substr(i - 5, 5), "_COM,")) {
            mark = i - 5;
            break;
        }
    }
    if (mark == std::string_view::npos)
        return std::nullopt;
    BridgeTarget target;
    std::string_view name = Trim(rest.substr(0, mark));
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos)
        return std::nullopt;
    target.name = std::string(name);
    if (!ParseSerialItems(rest.substr(mark + 5), &target.port, &target.settings))
        return std::nullopt;
    return target;
}

} // namespace

std::optional<LinkTarget> ParseConnectionText(std::string_view text) {
    std::size_t colon = text.find(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    std::string_view kind = Trim(text.substr(0, colon));
    std::string_view rest = text.substr(colon + 1);
    if (EqualsNoCase(kind, "TCPIP"))
        return ParseTcp(rest);
    if (EqualsNoCase(kind, "SOCK"))
        return ParseBridge(rest);
    if (!EqualsNoCase(kind, "COM"))
        return std::nullopt;
    SerialTarget target;
    if (!ParseSerialItems(rest, &target.port, &target.settings))
        return std::nullopt;
    return target;
}

} // namespace kelvo::portway
