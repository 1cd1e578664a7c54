// Diagnostic lines of the simulator on standard error.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kelvo::sim {

void SetVerbose(bool on);
bool Verbose();

// Writes "kelvo-sim: TEXT" as one line on standard error.
void LogLine(const std::string& text);
// The same, only in verbose mode.
void LogVerbose(const std::string& text);

// "01 00 0e 30": lower-case hex bytes separated by blanks.
std::string Hex(std::span<const std::uint8_t> bytes);

} // namespace kelvo::sim
