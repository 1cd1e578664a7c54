// The simulated device's discovery answer, its state-file sections and the
// UDP responder.
#include "kelvo-sim/discovery.h"

#include "kelvo-sim/device.h"
#include "kelvo-sim/links.h"
#include "kelvo-sim/log.h"
#include "kelvo-sim/simulator.h"

#include "protocol/bytes.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pugixml.hpp>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace kelvo::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

void Put(Bytes& out, std::uint16_t type, std::span<const std::uint8_t> value) {
    out.push_back(static_cast<std::uint8_t>(type >> 8));
    out.push_back(static_cast<std::uint8_t>(type));
    out.push_back(static_cast<std::uint8_t>(value.size() >> 8));
    out.push_back(static_cast<std::uint8_t>(value.size()));
    out.insert(out.end(), value.begin(), value.end());
}

Bytes Address(const std::string& text) {
    in_addr a{};
    Bytes b(4);
    if (inet_pton(AF_INET, text.c_str(), &a) == 1)
        std::memcpy(b.data(), &a, 4); // network order: as written
    return b;
}

Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes U32(std::uint32_t v) {
    Bytes b(4);
    stle_u32(b.data(), v);
    return b;
}

// ---- State file ----

bool Fail(std::string& error, const pugi::xml_node& node, const std::string& what) {
    error = std::string("<") + node.name() + "> " + what;
    return false;
}

bool Known(const pugi::xml_node& node, std::initializer_list<std::string_view> names,
           std::string& error) {
    for (const pugi::xml_attribute& attr : node.attributes()) {
        bool found = false;
        for (std::string_view name : names)
            found = found || name == attr.name();
        if (!found)
            return Fail(error, node, std::string("has an unknown attribute ") + attr.name());
    }
    return true;
}

bool Number(const pugi::xml_node& node, const char* name, std::uint64_t max, std::uint64_t& value,
            std::string& error) {
    const char* text = node.attribute(name).value();
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text, &end, 0);
    if (*text == '\0' || *text == '-' || *end != '\0' || errno != 0 || parsed > max)
        return Fail(error, node,
                    std::string(name) + "=\"" + text + "\" is not a number from 0 to " +
                        std::to_string(max));
    value = parsed;
    return true;
}

bool Ipv4(const pugi::xml_node& node, const char* name, std::string& value, std::string& error) {
    pugi::xml_attribute attr = node.attribute(name);
    if (!attr)
        return true;
    in_addr a{};
    if (inet_pton(AF_INET, attr.value(), &a) != 1)
        return Fail(error, node,
                    std::string(name) + "=\"" + attr.value() + "\" is no IPv4 address");
    value = attr.value();
    return true;
}

// Hex digit pairs, blanks allowed.
bool HexBytes(const pugi::xml_node& node, const char* name, std::size_t max, Bytes& out,
              std::string& error) {
    out.clear();
    const std::string_view text = node.attribute(name).value();
    int high = -1;
    for (char c : text) {
        if (c == ' ')
            continue;
        int digit = 0;
        if (std::from_chars(&c, &c + 1, digit, 16).ptr != &c + 1)
            return Fail(error, node, std::string(name) + " is not pairs of hex digits");
        if (high < 0) {
            high = digit;
            continue;
        }
        out.push_back(static_cast<std::uint8_t>(high * 16 + digit));
        high = -1;
    }
    if (high >= 0)
        return Fail(error, node, std::string(name) + " has an odd number of hex digits");
    if (out.size() > max)
        return Fail(error, node,
                    std::string(name) + " holds more than " + std::to_string(max) + " bytes");
    return true;
}

// An item value: hex bytes (value="..") or the bytes of a text (text="..").
bool ItemValue(const pugi::xml_node& node, std::size_t max, Bytes& out, std::string& error) {
    if (node.attribute("text")) {
        out = Text(node.attribute("text").value());
        if (out.size() > max)
            return Fail(error, node, "text holds more than " + std::to_string(max) + " bytes");
        return true;
    }
    return HexBytes(node, "value", max, out, error);
}

bool Mac(const pugi::xml_node& node, std::array<std::uint8_t, 6>& mac, std::string& error) {
    pugi::xml_attribute attr = node.attribute("mac");
    if (!attr)
        return true;
    const std::string_view text = attr.value();
    bool ok = text.size() == 17;
    for (std::size_t i = 0; ok && i < 6; ++i) {
        const char* pair = text.data() + 3 * i;
        ok = std::from_chars(pair, pair + 2, mac[i], 16).ptr == pair + 2 &&
             (i == 5 || pair[2] == ':');
    }
    return ok || Fail(error, node, std::string("mac=\"") + attr.value() + "\" is not 6 hex pairs");
}

bool ItemList(const pugi::xml_node& node, std::vector<std::uint16_t>& items, std::string& error) {
    pugi::xml_attribute attr = node.attribute("items");
    if (!attr)
        return true;
    items.clear();
    const std::string_view text = attr.value();
    std::size_t at = 0;
    while (at < text.size()) {
        if (text[at] == ' ') {
            ++at;
            continue;
        }
        unsigned type = 0;
        auto [end, ec] = std::from_chars(text.data() + at, text.data() + text.size(), type);
        if (ec != std::errc() || type > 0xFFFF || (end != text.data() + text.size() && *end != ' '))
            return Fail(error, node, "items=\"" + std::string(text) + "\" is not a list of types");
        items.push_back(static_cast<std::uint16_t>(type));
        at = static_cast<std::size_t>(end - text.data());
    }
    return true;
}

} // namespace

std::vector<PingItem> DefaultPingItems() {
    float temperature = 36.5f;
    std::uint32_t bits;
    std::memcpy(&bits, &temperature, 4);
    return {
        {1, 0x00070009, Text("kelvo-sim")}, // device name
        {2, 0x00060007, U32(100001)},       // serial number
        {3, 0x00000001, {1}},               // ready
        {4, 0x00120008, U32(bits)},         // temperature
    };
}

std::vector<std::uint8_t> DiscoveryAnswer(const DeviceState& state,
                                          std::span<const std::uint8_t> request,
                                          const std::string& startAddress) {
    if (request.empty() || request[0] != 1)
        return {};
    const NetworkState& n = state.network;
    // The time value of the request's first item, when it is there.
    Bytes time(4);
    if (request.size() >= 12)
        std::copy(request.begin() + 8, request.begin() + 12, time.begin());

    Bytes out{2, 0, 0, 0};
    std::size_t count = 0;
    for (std::uint16_t type : n.items) {
        Bytes value;
        switch (type) {
        case kItemIp:
            value = Address(n.ip.empty() ? startAddress : n.ip);
            break;
        case kItemNetmask:
            value = Address(n.netmask);
            break;
        case kItemGateway:
            value = Address(n.gateway);
            break;
        case kItemNode:
            value = {state.node};
            break;
        case kItemName:
            value = Text(n.name);
            break;
        case kItemSerial:
            value = Text(n.serialNumber);
            break;
        case kItemFirmware:
            value = U32(n.firmware);
            break;
        case kItemMac:
            value.assign(n.mac.begin(), n.mac.end());
            break;
        case kItemTime:
            value = time;
            break;
        default:
            break; // no value of its own: sent empty
        }
        Put(out, type, value);
        ++count;
    }
    for (const RawDiscoveryItem& item : n.rawItems) {
        Put(out, item.type, item.value);
        ++count;
    }
    out[1] = static_cast<std::uint8_t>(count);
    return out;
}

// <discovery ip=".." netmask=".." gateway=".." name=".." serial=".." mac=".."
//            firmware="N" items="1 2 3">
//   <item type="N" value="hex" | text=".."/>   raw items, appended as they are
// </discovery>
bool ReadDiscoverySection(const pugi::xml_node& node, DeviceState& state, std::string& error) {
    NetworkState n = state.network;
    if (!Known(node, {"ip", "netmask", "gateway", "name", "serial", "mac", "firmware", "items"},
               error) ||
        !Ipv4(node, "ip", n.ip, error) || !Ipv4(node, "netmask", n.netmask, error) ||
        !Ipv4(node, "gateway", n.gateway, error) || !Mac(node, n.mac, error) ||
        !ItemList(node, n.items, error))
        return false;
    if (node.attribute("name"))
        n.name = node.attribute("name").value();
    if (node.attribute("serial"))
        n.serialNumber = node.attribute("serial").value();
    if (node.attribute("firmware")) {
        std::uint64_t v = 0;
        if (!Number(node, "firmware", 0xFFFFFFFFu, v, error))
            return false;
        n.firmware = static_cast<std::uint32_t>(v);
    }
    n.rawItems.clear();
    for (const pugi::xml_node& child : node.children()) {
        if (child.type() != pugi::node_element)
            continue;
        if (std::string_view(child.name()) != "item")
            return Fail(error, node, std::string("has an unknown element <") + child.name() + ">");
        RawDiscoveryItem item;
        std::uint64_t type = 0;
        if (!Known(child, {"type", "value", "text"}, error) ||
            !Number(child, "type", 0xFFFF, type, error) ||
            !ItemValue(child, 0xFFFF, item.value, error))
            return false;
        item.type = static_cast<std::uint16_t>(type);
        n.rawItems.push_back(std::move(item));
    }
    if (n.items.size() + n.rawItems.size() > 127)
        return Fail(error, node, "holds more than 127 items");
    state.network = std::move(n);
    return true;
}

// <ping><item key="N" type="N" value="hex" | text=".."/>...</ping>: replaces
// the ping answer's items (none: an empty answer).
bool ReadPingSection(const pugi::xml_node& node, DeviceState& state, std::string& error) {
    if (!Known(node, {}, error))
        return false;
    std::vector<PingItem> items;
    for (const pugi::xml_node& child : node.children()) {
        if (child.type() != pugi::node_element)
            continue;
        if (std::string_view(child.name()) != "item")
            return Fail(error, node, std::string("has an unknown element <") + child.name() + ">");
        PingItem item;
        std::uint64_t key = 0;
        std::uint64_t type = 0;
        if (!Known(child, {"key", "type", "value", "text"}, error) ||
            !Number(child, "key", 255, key, error) ||
            !Number(child, "type", 0xFFFFFFFFu, type, error) ||
            !ItemValue(child, 255, item.value, error))
            return false;
        item.key = static_cast<std::uint8_t>(key);
        item.type = static_cast<std::uint32_t>(type);
        items.push_back(std::move(item));
    }
    if (items.size() > 255)
        return Fail(error, node, "holds more than 255 items");
    state.network.pingItems = std::move(items);
    return true;
}

DiscoveryResponder::DiscoveryResponder(Simulator& sim, std::string startAddress)
    : sim_(sim), startAddress_(std::move(startAddress)) {}

DiscoveryResponder::~DiscoveryResponder() {
    if (loop_) {
        loop_->Unwatch(*this);
        if (broadcastFd_ >= 0)
            loop_->Unwatch(broadcasts_);
    }
    if (fd_ >= 0)
        close(fd_);
    if (broadcastFd_ >= 0)
        close(broadcastFd_);
}

namespace {

// A UDP socket bound to address:17220 with address reuse; -1 with `error` set.
int BindDiscovery(const in_addr& address, std::string& error) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(kDiscoveryPort);
    local.sin_addr = address;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &address, text, sizeof text);
        error = std::string("bind ") + text + ":" + std::to_string(kDiscoveryPort) + ": " +
                std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

bool DiscoveryResponder::Open(const std::string& address, std::string& error) {
    in_addr a{};
    if (inet_pton(AF_INET, address.c_str(), &a) != 1) {
        error = address + " is no IPv4 address";
        return false;
    }
    fd_ = BindDiscovery(a, error);
    if (fd_ < 0)
        return false;
    if (a.s_addr == htonl(INADDR_ANY))
        return true;
    a.s_addr = htonl(INADDR_BROADCAST);
    broadcastFd_ = BindDiscovery(a, error);
    return broadcastFd_ >= 0;
}

void DiscoveryResponder::Attach(EventLoop& loop) {
    loop_ = &loop;
    loop.Watch(*this, fd_, EPOLLIN);
    if (broadcastFd_ >= 0)
        loop.Watch(broadcasts_, broadcastFd_, EPOLLIN);
}

void DiscoveryResponder::OnEvents(std::uint32_t) {
    Serve(fd_);
}

// A broadcast is answered from address:17220 like any request.
void DiscoveryResponder::Serve(int fd) {
    for (;;) {
        std::uint8_t buffer[2048];
        sockaddr_in from{};
        socklen_t fromSize = sizeof from;
        const ssize_t n =
            recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromSize);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return;
        const std::span<const std::uint8_t> request(buffer, static_cast<std::size_t>(n));
        char peer[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &from.sin_addr, peer, sizeof peer);
        LogVerbose(std::string("udp rx ") + peer + " " + Hex(request));
        const Bytes answer = DiscoveryAnswer(sim_.State(), request, startAddress_);
        if (answer.empty())
            continue;
        LogVerbose(std::string("udp tx ") + peer + " " + Hex(answer));
        sendto(fd_, answer.data(), answer.size(), 0, reinterpret_cast<const sockaddr*>(&from),
               fromSize);
    }
}

} // namespace kelvo::sim
