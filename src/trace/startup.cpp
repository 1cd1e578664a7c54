// Start-up of tracing: the settings in Kelvo.ini, the channel, the reset and
// the category labels.
#include "automation/profile.h"
#include "automation/settings_paths.h"
#include "kelvo/trace.h"
#include "trace/writer.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace kelvo {
namespace trace {
namespace {

constexpr const char* kSection = "Trace";

// The category labels, in the order of the category table.
struct Label {
    std::uint32_t category;
    const char16_t* text;
};
constexpr Label kLabels[] = {
    {TRACE_CONNECTION, u"Kelvo library connection"},
    {TRACE_READ, u"Read operations"},
    {TRACE_WRITE, u"Write operations"},
    {TRACE_LOW_READ, u"Low-level read operations"},
    {TRACE_LOW_WRITE, u"Low-level write operations"},
};

// The channel of this process, kept until the process ends.
TraceChannel* g_processChannel = nullptr;

void RemoveChannelNameAtExit() {
    if (g_processChannel)
        g_processChannel->RemoveName();
}

} // namespace

std::string TraceSettingsPath(const std::string& folder) {
    if (folder.empty())
        return {};
    std::string path = folder + "/Kelvo.ini";
    if (path.size() > kMaxSettingsPath)
        return {};
    return path;
}

TraceSettings ReadTraceSettings(const std::string& iniPath) {
    TraceSettings s;
    if (iniPath.empty())
        return s;
    auto read = [&](const char* key, std::uint32_t def) {
        return static_cast<std::uint32_t>(
            ReadProfileInt(iniPath, kSection, key, static_cast<int>(def)));
    };
    s.enable = read("TraceEnable", s.enable);
    s.mask = read("Tracemask", s.mask);
    s.size = read("Tracesize", s.size);
    return s;
}

std::uint32_t ChannelCapacity(std::uint32_t size) {
    return size > kMaxTraceSize ? kOversizeCapacity : size;
}

void WaitBeforeReset() {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

std::unique_ptr<TraceChannel> StartTracingWith(const StartOptions& options) {
    const TraceSettings s = ReadTraceSettings(TraceSettingsPath(options.settingsFolder));
    if (s.enable == 0 || s.mask == 0 || s.size == 0)
        return nullptr;
    auto channel = std::make_unique<TraceChannel>();
    // A channel in private memory is used all the same.
    channel->Open(options.baseName, ChannelCapacity(s.size), false);
    if (!channel->IsOpen())
        return nullptr;
    SetTraceTarget({channel.get(), s.mask});
    ResetTrace(*channel, options.wait);
    for (const Label& label : kLabels)
        TraceText(label.category, label.text);
    return channel;
}

LocalTrace::LocalTrace(std::uint32_t mask, std::uint32_t capacity) {
    channel_.OpenLocal(capacity);
    reader_.Attach(channel_.data(), channel_.size());
    previous_ = SetTraceMirror({channel_.IsOpen() ? &channel_ : nullptr, mask});
}

LocalTrace::~LocalTrace() {
    SetTraceMirror(previous_);
}

std::vector<TraceRecord> LocalTrace::Take() {
    return reader_.ReadSince(cursor_);
}

} // namespace trace

void StartTracing() {
    static std::atomic<bool> started{false};
    if (started.exchange(true))
        return;
    try {
        trace::StartOptions options;
        options.settingsFolder = UserSettingsFolder();
        std::unique_ptr<trace::TraceChannel> channel = trace::StartTracingWith(options);
        if (!channel)
            return;
        trace::g_processChannel = channel.release();
        if (trace::g_processChannel->memory() == trace::TraceChannel::Memory::Shared)
            std::atexit(trace::RemoveChannelNameAtExit);
    } catch (...) {
        // Tracing stays off; the host goes on.
    }
}

void RemoveTraceChannelName() {
    trace::RemoveChannelNameAtExit();
}

} // namespace kelvo
