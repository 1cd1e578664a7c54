// Registration of the simulated device's commands, one function per family.
// A new command goes into its family's source and is added by that family's
// function; DefaultCommands() wires all families.
#pragma once

#include "kelvo-sim/command_table.h"

#include <array>

namespace kelvo::sim {

// Device commands: save, reset, restore, axis error reset, error log read
// and delete.
void AddDeviceCommands(CommandTable& table);
constexpr std::uint32_t kNoSuchEntryError = 0x0A000003; // error log: no entry at the index
constexpr std::uint32_t kNoSuchAxisError = 0x0A000004;  // error reset: no such axis

// Device error codes of the login command.
constexpr std::uint32_t kWrongLoginError = 0x15000003; // unknown user or wrong password
constexpr std::uint32_t kLostLoginError = 0x1500000E;  // refused by --lost-login

// Login, logout and push-data stream commands.
void AddSessionCommands(CommandTable& table);

// Parameter read and write, EEPROM and RAM families.
void AddParameterCommands(CommandTable& table);

// User and security administration: accounts, permissions, the admin key
// block with its password reset, and the certificate request.
void AddUserCommands(CommandTable& table);
constexpr std::uint64_t kUserAdminPermission = 1;         // bit 0: user administration
constexpr std::uint32_t kUnknownUserError = 0x16000001;   // no user of that name
constexpr std::uint32_t kUserExistsError = 0x16000002;    // a user of that name exists
constexpr std::uint32_t kNoRightError = 0x16000003;       // the session user lacks bit 0
constexpr std::uint32_t kUserInUseError = 0x16000004;     // deleting the session's own user
constexpr std::uint32_t kWrongResetKeyError = 0x16000005; // not the reset key of the block
constexpr std::uint32_t kBadDatesError = 0x16000006;      // certificate dates unusable
constexpr std::uint32_t kUserTableFullError = 0x16000007; // 255 users already
// The key ResetAdminPassword takes for an admin key block: its SHA-256.
std::array<std::uint8_t, 32> ResetKey(std::span<const std::uint8_t> adminKey);

// Data blocks, the safety block, safety objects and the SSC buffer (device
// error codes in data_areas.h).
void AddDataCommands(CommandTable& table);

// Ping: blink time in, the device's item list out.
void AddPingCommands(CommandTable& table);

// Every command the simulator answers.
CommandTable DefaultCommands();

} // namespace kelvo::sim
