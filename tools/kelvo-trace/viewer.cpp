#include "viewer.h"

#include "trace/reader.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

namespace kelvo::trace_viewer {
namespace {

std::atomic<bool> g_stop{false};

constexpr const char* kDefaultBase = "Kelvo";

struct CategoryName {
    const char* name;
    std::uint32_t bit;
};
constexpr CategoryName kCategoryNames[] = {
    {"connection", 1}, {"read", 2}, {"write", 4}, {"low-read", 8}, {"low-write", 16},
};

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

void Write(std::FILE* out, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), out);
}

void Pause(unsigned ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string TimeText(std::int64_t seconds) {
    if (seconds == 0)
        return "-";
    const auto t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (!::gmtime_r(&t, &tm))
        return std::to_string(seconds);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

int List(const Options& options, std::FILE* out) {
    for (const trace::ChannelInfo& c : trace::ListChannels()) {
        char line[512];
        if (options.json) {
            std::snprintf(line, sizeof line,
                          "{\"name\":\"%s\",\"pid\":%u,\"running\":%s,\"capacity\":%u,"
                          "\"count\":%u,\"startTime\":%lld}\n",
                          c.name.c_str(), c.pid, c.writerAlive ? "true" : "false", c.capacity,
                          c.count, static_cast<long long>(c.startTime));
        } else {
            std::snprintf(line, sizeof line, "%-24s pid %-8u %-8s capacity %-7u entries %-10u %s\n",
                          c.name.c_str(), c.pid, c.writerAlive ? "running" : "ended", c.capacity,
                          c.count, TimeText(c.startTime).c_str());
        }
        Write(out, line);
    }
    std::fflush(out);
    return kExitOk;
}

// Opens the channel the options name; with a pid, the default name when its
// writer is that process, else the pid-suffixed one.
bool OpenChannel(const Options& options, trace::TraceReader& reader, std::string& error) {
    const std::string name =
        ChannelName(options.channel.empty() ? std::string(kDefaultBase) : options.channel);
    if (options.pid == 0)
        return reader.Open(name, &error);
    if (reader.Open(name) && reader.Header().pid == options.pid)
        return true;
    return reader.Open(name + trace::PidSuffix(options.pid), &error);
}

void Print(const Options& options, const std::vector<trace::TraceRecord>& records, std::FILE* out) {
    std::string text;
    for (const trace::TraceRecord& r : records) {
        if ((r.category & options.mask) == 0)
            continue;
        text += options.json ? trace::RecordJson(r) : trace::FormatRecord(r);
        text += '\n';
    }
    Write(out, text);
    std::fflush(out);
}

int Follow(const Options& options, trace::TraceReader& reader, std::FILE* out, std::FILE* err) {
    std::uint32_t cursor = 0;
    std::uint64_t lost = 0;
    std::uint64_t reported = 0;
    // What the ring holds already, then what comes.
    Print(options, reader.ReadAll(&cursor), out);
    while (!g_stop.load()) {
        // A channel whose writer has not stamped its pid yet is still starting.
        const std::uint32_t pid = reader.Header().pid;
        const bool writerGone = pid != 0 && !trace::ProcessAlive(pid);
        Print(options, reader.ReadSince(cursor, &lost), out);
        if (lost > reported) {
            std::fprintf(err, "kelvo-trace: %llu entries were overwritten before they were read\n",
                         static_cast<unsigned long long>(lost - reported));
            reported = lost;
        }
        // Read once more after the writer ended, so its last entries show.
        if (options.untilExit && writerGone)
            return kExitOk;
        if (reader.NameMovedOn()) {
            std::string error;
            const std::string name = reader.name();
            if (reader.Open(name, &error)) {
                std::fprintf(err, "kelvo-trace: %s: a new writer, reading from its start\n",
                             name.c_str());
                Print(options, reader.ReadAll(&cursor), out);
            }
        }
        Pause(options.intervalMs);
    }
    return kExitOk;
}

} // namespace

bool ParseCategories(const std::string& text, std::uint32_t& mask) {
    if (text.empty())
        return false;
    std::uint32_t result = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find_first_of(",+|", start);
        if (end == std::string::npos)
            end = text.size();
        const std::string item = Lower(text.substr(start, end - start));
        if (item.empty())
            return false;
        char* rest = nullptr;
        const unsigned long long number = std::strtoull(item.c_str(), &rest, 0);
        if (rest && *rest == '\0' && item[0] >= '0' && item[0] <= '9') {
            if (number > 0xFFFFFFFFull)
                return false;
            result |= static_cast<std::uint32_t>(number);
        } else {
            bool known = false;
            for (const CategoryName& c : kCategoryNames)
                if (item == c.name) {
                    result |= c.bit;
                    known = true;
                }
            if (!known)
                return false;
        }
        start = end + 1;
    }
    mask = result;
    return true;
}

std::string ChannelName(const std::string& text) {
    std::string name = text;
    while (!name.empty() && name.front() == '/')
        name.erase(0, 1);
    std::string upper = name;
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    if (upper.starts_with(trace::kSectionPrefix))
        return upper;
    return trace::SectionName(name);
}

int Run(const Options& options, std::FILE* out, std::FILE* err) {
    if (options.list)
        return List(options, out);
    trace::TraceReader reader;
    std::string error;
    while (!OpenChannel(options, reader, error)) {
        // Stopped while waiting for the channel: the user's choice, no error.
        if (options.wait && g_stop.load())
            return kExitOk;
        if (!options.wait) {
            std::fprintf(err, "kelvo-trace: %s\n", error.c_str());
            return kExitNoChannel;
        }
        Pause(options.intervalMs);
    }
    if (options.follow)
        return Follow(options, reader, out, err);
    Print(options, reader.ReadAll(), out);
    return kExitOk;
}

void RequestStop() {
    g_stop.store(true);
}

} // namespace kelvo::trace_viewer
