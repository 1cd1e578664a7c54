// State of the simulated device: what the commands read and change. Loaded
// from an XML state file; every field has a built-in default.
#pragma once

#include "kelvo-sim/data_areas.h"
#include "kelvo-sim/discovery.h"
#include "kelvo-sim/parameters.h"

#include <array>
#include <bitset>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvo::sim {

// The built-in error log: records of version 26, described by
// errorlog/FPR_Version_0000001a.xml.
std::vector<std::vector<std::uint8_t>> DefaultErrorLog();

// The built-in admin key block.
constexpr std::size_t kAdminKeySize = 192;
std::array<std::uint8_t, kAdminKeySize> DefaultAdminKey();

struct DeviceState {
    // Node byte put into every answer.
    std::uint8_t node = 0;
    // Serial bus address; requests carrying another address (except 255) are
    // not answered.
    std::uint8_t serialAddress = 1;
    // How often the save command ran.
    std::uint32_t saveCount = 0;
    // Reset, restore and axis error reset: how often each ran, the last
    // restore filter and the last axis reset. Axes 0 to axisCount - 1 exist.
    std::uint32_t resetCount = 0;
    std::uint32_t restoreCount = 0;
    std::uint16_t restoreFilter = 0;
    std::uint32_t errorResetCount = 0;
    std::uint8_t resetAxis = 0;
    std::uint8_t axisCount = 4;
    // Error log: one byte record per entry, index 0 first, sent in frames of
    // at most errorLogFrameSize data bytes. Error-log requests are counted
    // from 1; the one numbered errorLogWrongIndexAt echoes the index + 1.
    std::vector<std::vector<std::uint8_t>> errorLog = DefaultErrorLog();
    std::uint8_t errorLogFrameSize = 40;
    std::uint64_t errorLogRequests = 0;
    std::uint64_t errorLogWrongIndexAt = 0; // 0: never

    // Device parameters by index and sub-index.
    ParameterTable parameters = DefaultParameters();

    // User accounts kept on the device.
    struct User {
        std::string name;
        std::string password;
        std::uint8_t role = 0;
        std::uint64_t permissions = 0; // bit i: permission i
    };
    std::vector<User> users = {{"admin", "admin", 1, ~std::uint64_t{0}}};
    // The user of the open login session; empty when nobody is logged in.
    std::string sessionUser;
    bool LoggedIn() const { return !sessionUser.empty(); }
    // With loginRequired, commands that need a session answer the missing-login
    // code while nobody is logged in.
    bool loginRequired = false;
    // The next this many logins are refused with the lost-login code.
    std::uint32_t lostLogins = 0;
    // The session ends when this request arrives (counted from 1 over all
    // links); 0: never.
    std::uint64_t dropSessionAt = 0;

    // Security: the admin key block, how often a reset key restored the admin
    // password, and the certificate last requested (seconds since 1970) with
    // the number of requests, so the TLS link knows when to change.
    std::array<std::uint8_t, kAdminKeySize> adminKey = DefaultAdminKey();
    std::uint32_t adminResets = 0;
    struct Certificate {
        std::int64_t notBefore = 0;
        std::int64_t notAfter = 0;
    };
    Certificate certificate;
    std::uint32_t certificatesMade = 0;

    // Push data: the running streams (bit i: stream i), the rate at which the
    // serial link sends their bytes, and the value of the next streamed byte.
    std::bitset<256> streams;
    std::uint32_t pushRate = 20000; // bytes per second
    std::uint8_t nextStreamByte = 0;

    // Data blocks, the safety block, safety objects and the SSC buffer.
    DataAreas data = DefaultDataAreas();

    // Discovery identity and the ping answer.
    NetworkState network;
};

// Reads a state file into `state` (fields absent from the file keep their
// values). Returns false with a reason in `error` when the file cannot be read
// or holds something unknown or out of range.
bool LoadDeviceState(const std::string& path, DeviceState& state, std::string& error);

// Same from XML text in memory.
bool ParseDeviceState(const std::string& xml, DeviceState& state, std::string& error);

} // namespace kelvo::sim
