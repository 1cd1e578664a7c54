#include "kelvo-sim/log.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace kelvo::sim {
namespace {

std::atomic<bool> verbose{false};
std::mutex logMutex;

} // namespace

void SetVerbose(bool on) {
    verbose = on;
}
bool Verbose() {
    return verbose;
}

void LogLine(const std::string& text) {
    std::lock_guard lock(logMutex);
    std::fprintf(stderr, "kelvo-sim: %s\n", text.c_str());
    std::fflush(stderr);
}

void LogVerbose(const std::string& text) {
    if (verbose)
        LogLine(text);
}

std::string Hex(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (std::uint8_t b : bytes) {
        if (!text.empty())
            text.push_back(' ');
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0F]);
    }
    return text;
}

} // namespace kelvo::sim
