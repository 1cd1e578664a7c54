// State of the simulated device: what the commands read and change. Loaded
// from an XML state file; every field has a built-in default.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvo::sim {

struct DeviceState {
    // Node byte put into every answer.
    std::uint8_t node = 0;
    // Serial bus address; requests carrying another address (except 255) are
    // not answered.
    std::uint8_t serialAddress = 1;
    // How often the save command ran.
    std::uint32_t saveCount = 0;

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
};

// Reads a state file into `state` (fields absent from the file keep their
// values). Returns false with a reason in `error` when the file cannot be read
// or holds something unknown or out of range.
bool LoadDeviceState(const std::string& path, DeviceState& state, std::string& error);

// Same from XML text in memory.
bool ParseDeviceState(const std::string& xml, DeviceState& state, std::string& error);

} // namespace kelvo::sim
