#include "kelvo-sim/plant.h"

#include "kelvo-sim/commands.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>

namespace kelvo::sim {

bool NthAddress(const std::string& first, std::size_t index, std::string& address) {
    in_addr a{};
    if (inet_pton(AF_INET, first.c_str(), &a) != 1)
        return false;
    const std::uint64_t n = static_cast<std::uint64_t>(ntohl(a.s_addr)) + index;
    if (n > 0xFFFFFFFFu)
        return false;
    a.s_addr = htonl(static_cast<std::uint32_t>(n));
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, text, sizeof text);
    address = text;
    return true;
}

std::string DeviceName(std::size_t index, std::size_t count) {
    const int digits = std::max<int>(3, static_cast<int>(std::to_string(count).size()));
    char text[32];
    std::snprintf(text, sizeof text, "dev%0*zu", digits, index + 1);
    return text;
}

void Individualize(DeviceState& state, std::size_t index, const std::string& name) {
    const NetworkState builtIn;
    NetworkState& n = state.network;
    if (n.name == builtIn.name)
        n.name = name;
    if (n.serialNumber == builtIn.serialNumber) {
        char text[32];
        std::snprintf(text, sizeof text, "KS-%06zu", index + 1);
        n.serialNumber = text;
    }
    if (n.mac == builtIn.mac) {
        const std::size_t low = n.mac[4] * 256u + n.mac[5] + index;
        n.mac[4] = static_cast<std::uint8_t>(low >> 8);
        n.mac[5] = static_cast<std::uint8_t>(low);
    }
    const std::vector<PingItem> builtInPing = DefaultPingItems();
    for (std::size_t i = 0; i < n.pingItems.size() && i < builtInPing.size(); ++i) {
        PingItem& item = n.pingItems[i];
        if (item.key != builtInPing[i].key || item.value != builtInPing[i].value)
            continue;
        if (item.key == 1) {
            item.value.assign(name.begin(), name.end());
        } else if (item.key == 2 && item.value.size() == 4) {
            const std::uint32_t serial = (item.value[0] | item.value[1] << 8 | item.value[2] << 16 |
                                          std::uint32_t{item.value[3]} << 24) +
                                         static_cast<std::uint32_t>(index);
            for (int b = 0; b < 4; ++b)
                item.value[static_cast<std::size_t>(b)] =
                    static_cast<std::uint8_t>(serial >> 8 * b);
        }
    }
}

Device::Device(std::string name, std::string address, DeviceState state, FaultPlan faults,
               StopSignal& stop, std::uint64_t maxRequests)
    : name(std::move(name)), address(std::move(address)),
      sim(std::move(state), DefaultCommands(), std::move(faults)), context{sim, stop, maxRequests,
                                                                           &certificates} {}

bool OpenLinks(Device& device, EventLoop& loop, std::uint16_t tcpPort, std::uint16_t tlsPort,
               SSL_CTX* tls, bool tcp, std::string& error) {
    if (tcp) {
        device.tcp = std::make_unique<SocketListener>(device.context, nullptr);
        if (!device.tcp->Open(device.address, tcpPort, error)) {
            error = "tcp: " + error;
            return false;
        }
        device.tcp->Attach(loop);
    }
    if (tls) {
        device.tls = std::make_unique<SocketListener>(device.context, tls);
        if (!device.tls->Open(device.address, tlsPort, error)) {
            error = "tls: " + error;
            return false;
        }
        device.tls->Attach(loop);
    }
    return true;
}

std::string DevicesList(const std::vector<std::unique_ptr<Device>>& devices) {
    std::string text;
    for (const auto& device : devices) {
        const bool tls = !device->tcp;
        if (!device->tcp && !device->tls)
            continue;
        const std::uint16_t port = tls ? device->tls->Port() : device->tcp->Port();
        text += device->name + " TCPIP:" + device->address + "/" + std::to_string(port) + ",3000" +
                (tls ? ",SSL" : "") + "\n";
    }
    return text;
}

} // namespace kelvo::sim
