// kelvo-trace: shows the entries of a trace channel, once or as they come.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace kelvo::trace_viewer {

inline constexpr int kExitOk = 0;
inline constexpr int kExitNoChannel = 1;
inline constexpr int kExitUsage = 2;

struct Options {
    std::string channel;       // section or base name; empty: ALTRACE_KELVO
    std::uint32_t pid = 0;     // the channel of this writer process
    bool list = false;         // list the channels that exist
    bool follow = false;       // keep printing new entries
    bool wait = false;         // wait for the channel to appear
    bool untilExit = false;    // with follow: end once the writer has ended
    std::uint32_t mask = ~0u;  // categories shown
    bool json = false;         // one JSON object per line
    unsigned intervalMs = 100; // polling interval of follow and wait
};

// "2", "0x6", "read,write", "connection+low-read": a category mask; false
// for text that is neither a number nor a category name.
bool ParseCategories(const std::string& text, std::uint32_t& mask);

// "Kelvo", "kelvo", "ALTRACE_KELVO", "/ALTRACE_KELVO_4711" to the object name.
std::string ChannelName(const std::string& text);

// Runs the viewer; entries go to `out`, notes and errors to `err`.
int Run(const Options& options, std::FILE* out, std::FILE* err);

// Makes a running follow or wait loop end at its next turn (signal handlers).
void RequestStop();

} // namespace kelvo::trace_viewer
