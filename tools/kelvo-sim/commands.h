// Registration of the simulated device's commands, one function per family.
// A new command goes into its family's source and is added by that family's
// function; DefaultCommands() wires all families.
#pragma once

#include "kelvo-sim/command_table.h"

namespace kelvo::sim {

// Device commands: save (and, later, reset, restore, error reset, ...).
void AddDeviceCommands(CommandTable& table);

// Every command the simulator answers.
CommandTable DefaultCommands();

} // namespace kelvo::sim
