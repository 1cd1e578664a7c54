// The trace writer of this process: where `Trace` and `TraceText` put their
// entries, the settings that switch tracing on, and the start-up.
#pragma once

#include "trace/channel.h"
#include "trace/reader.h"

#include <cstdint>
#include <memory>
#include <string>

namespace kelvo::trace {

// The "Trace" section of Kelvo.ini, as read (defaults for what is missing).
struct TraceSettings {
    std::uint32_t enable = 0;
    std::uint32_t mask = 65535;
    std::uint32_t size = 2048;
};
inline constexpr std::uint32_t kMaxTraceSize = 100000;
inline constexpr std::uint32_t kOversizeCapacity = 2000;
// Longest settings path, as the settings were always looked up with.
inline constexpr std::size_t kMaxSettingsPath = 260;

// "<folder>/Kelvo.ini"; empty without a folder or when the path is too long.
std::string TraceSettingsPath(const std::string& folder);
TraceSettings ReadTraceSettings(const std::string& iniPath);
// Channel capacity for "Tracesize": above 100000 it is 2000.
std::uint32_t ChannelCapacity(std::uint32_t size);

// Entries of this process go to `channel` (none: tracing off) for the
// categories of `mask`. The mask is recorded in the channel's header.
struct TraceTarget {
    TraceChannel* channel = nullptr;
    std::uint32_t mask = 0;
};
// Installs the target and returns the previous one. Meant for start-up,
// before any caller traces, and for tools and tests that trace on their own.
TraceTarget SetTraceTarget(TraceTarget target);
// Installs a mirror: a second channel that also gets the entries of its mask,
// while the target keeps getting those of its own. Returns the previous mirror.
TraceTarget SetTraceMirror(TraceTarget mirror);

using WaitFunction = void (*)();
// The pause before the reset: 100 ms.
void WaitBeforeReset();
// Waits, sets the sequence counter to 0 and stamps the channel with this
// process's id and the current time.
void ResetTrace(TraceChannel& channel, WaitFunction wait);

struct StartOptions {
    std::string settingsFolder; // where Kelvo.ini is looked for; empty: nowhere
    std::string baseName = "Kelvo";
    WaitFunction wait = WaitBeforeReset;
};
// Reads the settings; when they switch tracing on, opens the channel,
// installs it with the mask, resets it and writes the category labels.
// Returns the channel (the caller keeps it as long as it is installed), or
// nothing when tracing stays off.
std::unique_ptr<TraceChannel> StartTracingWith(const StartOptions& options);

// Collects this process's entries in a ring of its own while in scope, for a
// tool that shows its trace itself (kelvo -v): the lines are formatted with
// FormatRecord like the viewer's. The ring is a mirror: the process's channel
// keeps getting its entries, so a viewer misses nothing. Restores the previous
// mirror at the end.
class LocalTrace {
public:
    explicit LocalTrace(std::uint32_t mask = 0xFFFFFFFF, std::uint32_t capacity = 8192);
    ~LocalTrace();
    LocalTrace(const LocalTrace&) = delete;
    LocalTrace& operator=(const LocalTrace&) = delete;

    // The entries written since the last call, oldest first.
    std::vector<TraceRecord> Take();

private:
    TraceChannel channel_;
    TraceTarget previous_;
    TraceReader reader_;
    std::uint32_t cursor_ = 0;
};

} // namespace kelvo::trace
