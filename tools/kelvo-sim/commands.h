// Registration of the simulated device's commands, one function per family.
// A new command goes into its family's source and is added by that family's
// function; DefaultCommands() wires all families.
#pragma once

#include "kelvo-sim/command_table.h"

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

// Data blocks, the safety block, safety objects and the SSC buffer (device
// error codes in data_areas.h).
void AddDataCommands(CommandTable& table);

// Every command the simulator answers.
CommandTable DefaultCommands();

} // namespace kelvo::sim
