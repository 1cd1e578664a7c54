// Network discovery on the simulated device: the identity its UDP discovery
// answer reports, the items of its ping answer, and the UDP responder on port
// 17220 that answers discovery requests (kind 1) with an answer (kind 2).
#pragma once

#include "kelvo-sim/event_loop.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace pugi {
class xml_node;
}

namespace kelvo::sim {

struct DeviceState;
class Simulator;

constexpr std::uint16_t kDiscoveryPort = 17220;

// Item types of the discovery answer as this device fills them.
enum DiscoveryItemType : std::uint16_t {
    kItemIp = 1,       // 4 bytes, as received on the wire
    kItemNetmask = 2,  // 4 bytes
    kItemGateway = 3,  // 4 bytes
    kItemNode = 5,     // 1 byte: the node byte of the device
    kItemName = 6,     // text
    kItemSerial = 7,   // text: serial number
    kItemFirmware = 8, // 32-bit little-endian firmware version
    kItemMac = 9,      // 6 bytes
    kItemTime = 10,    // 32-bit little-endian: the request's time value echoed
};

// One discovery item as sent: type, then the value bytes.
struct RawDiscoveryItem {
    std::uint16_t type = 0;
    std::vector<std::uint8_t> value;
};

// One item of the ping answer: key, 32-bit type code, value bytes (0 to 255).
struct PingItem {
    std::uint8_t key = 0;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> value;
};

std::vector<PingItem> DefaultPingItems();

struct NetworkState {
    // Identity in the discovery answer. An empty ip is the address the
    // simulator was started on (--addr).
    std::string ip;
    std::string netmask = "255.255.255.0";
    std::string gateway = "0.0.0.0";
    std::string name = "kelvo-sim";
    std::string serialNumber = "KS-000001";
    std::array<std::uint8_t, 6> mac{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    std::uint32_t firmware = 10000; // 1.00.00
    // The item types answered, in this order, then the raw items as they are.
    std::vector<std::uint16_t> items{kItemIp,   kItemNetmask, kItemGateway,  kItemNode,
                                     kItemName, kItemSerial,  kItemFirmware, kItemMac};
    std::vector<RawDiscoveryItem> rawItems;

    // Ping: the answer's items, the blink time of the last ping, how many
    // pings came, and whether each blink time is written on standard error.
    std::vector<PingItem> pingItems = DefaultPingItems();
    std::uint16_t lastBlink = 0;
    std::uint32_t pings = 0;
    bool showBlink = false;
};

// The answer to one datagram: empty unless it is a request (kind 1).
// `startAddress` stands in for an empty NetworkState::ip.
std::vector<std::uint8_t> DiscoveryAnswer(const DeviceState& state,
                                          std::span<const std::uint8_t> request,
                                          const std::string& startAddress);

// State-file sections <discovery> and <ping> (see README).
bool ReadDiscoverySection(const pugi::xml_node& node, DeviceState& state, std::string& error);
bool ReadPingSection(const pugi::xml_node& node, DeviceState& state, std::string& error);

// The UDP responder. Several simulators on one host may bind the same address
// (address reuse), so each gets its copy of a broadcast request.
//
// On a unicast address a second socket takes the broadcasts on
// 255.255.255.255:17220 (a socket bound to a unicast address does not get
// them), and the answers go out from address:17220. Neither socket covers the
// host's other addresses, so a scan bound to one of them (the component binds
// its scan to SRCIP:17220 without address reuse) finds the simulator on the
// same host.
class DiscoveryResponder final : public Watcher {
public:
    DiscoveryResponder(Simulator& sim, std::string startAddress);
    ~DiscoveryResponder() override;

    // Binds address:17220 (0.0.0.0 takes broadcasts on every interface), and
    // for a unicast address also 255.255.255.255:17220.
    bool Open(const std::string& address, std::string& error);
    // Answers requests on `loop`, which outlives the responder.
    void Attach(EventLoop& loop);
    void OnEvents(std::uint32_t events) override;

private:
    // Answers the requests waiting on `fd` from fd_.
    void Serve(int fd);

    // The broadcast socket's watcher.
    class Broadcasts final : public Watcher {
    public:
        explicit Broadcasts(DiscoveryResponder& owner) : owner_(owner) {}
        void OnEvents(std::uint32_t) override { owner_.Serve(owner_.broadcastFd_); }

    private:
        DiscoveryResponder& owner_;
    };

    Simulator& sim_;
    std::string startAddress_;
    EventLoop* loop_ = nullptr;
    int fd_ = -1;
    int broadcastFd_ = -1; // -1 when fd_ takes the broadcasts itself
    Broadcasts broadcasts_{*this};
};

} // namespace kelvo::sim
