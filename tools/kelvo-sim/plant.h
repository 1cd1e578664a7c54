// The devices of one simulator process: each with its own state, fault plan,
// links and discovery responder, on consecutive addresses from the first one,
// all served by one event loop.
#pragma once

#include "kelvo-sim/commands_users.h"
#include "kelvo-sim/discovery.h"
#include "kelvo-sim/links.h"
#include "kelvo-sim/simulator.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;

namespace kelvo::sim {

// The index-th IPv4 address after `first` (0: first itself); false when
// `first` is not an IPv4 address or the count runs past 255.255.255.255.
bool NthAddress(const std::string& first, std::size_t index, std::string& address);

// "dev001" ... : the names of the devices file, numbered from 1, with as many
// digits as the largest number needs (at least 3).
std::string DeviceName(std::size_t index, std::size_t count);

// Gives device `index` of a plant an identity of its own where `state` holds
// the built-in one: discovery name and ping name `name`, serial numbers
// counted on from the built-in ones, MAC address counted on in its last two
// bytes.
void Individualize(DeviceState& state, std::size_t index, const std::string& name);

struct Device {
    Device(std::string name, std::string address, DeviceState state, FaultPlan faults,
           StopSignal& stop, std::uint64_t maxRequests);

    std::string name;
    std::string address;
    Simulator sim;
    RequestedCertificates certificates{sim};
    LinkContext context;
    std::unique_ptr<SocketListener> tcp;
    std::unique_ptr<SocketListener> tls;
    std::unique_ptr<DiscoveryResponder> discovery;
};

// Opens the device's TCP link (when `tcp`) and TLS link (when `tls` is a
// context) and attaches them to `loop`; port 0 takes a free port.
bool OpenLinks(Device& device, EventLoop& loop, std::uint16_t tcpPort, std::uint16_t tlsPort,
               SSL_CTX* tls, bool tcp, std::string& error);

// The devices file of a plant: "NAME CONNECTION-TEXT" a line, the TCP link of
// every device (its TLS link when it has no TCP link).
std::string DevicesList(const std::vector<std::unique_ptr<Device>>& devices);

} // namespace kelvo::sim
