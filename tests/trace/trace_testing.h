// Helpers of the trace tests: channel names of this test process, a raw
// view of a shared object by byte offset, and child processes.
#pragma once

#include "protocol/bytes.h"
#include "trace/channel.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

namespace kelvo::test {

// Base names unique to this process; every object made with them is removed
// by RemoveTestChannels().
inline std::string TestBase(const std::string& tag) {
    return "KTest" + std::to_string(::getpid()) + "_" + tag;
}

inline void RemoveTestChannels() {
    const std::string prefix = trace::SectionName(TestBase(""));
    std::error_code ec;
    for (const auto& item : std::filesystem::directory_iterator("/dev/shm", ec)) {
        const std::string name = item.path().filename().string();
        if (name.starts_with(prefix))
            ::shm_unlink(("/" + name).c_str());
    }
}

// Tests that make channels: every one of them is removed after the test.
class TraceTest : public ::testing::Test {
protected:
    void TearDown() override { RemoveTestChannels(); }
};

inline bool ObjectExists(const std::string& name) {
    struct stat st;
    return ::stat(("/dev/shm/" + name).c_str(), &st) == 0;
}

// A shared object read by offset, as it is at each read.
class RawObject {
public:
    explicit RawObject(const std::string& name)
        : fd_(::shm_open(("/" + name).c_str(), O_RDONLY, 0)) {}
    ~RawObject() { ::close(fd_); }
    RawObject(const RawObject&) = delete;
    RawObject& operator=(const RawObject&) = delete;

    bool ok() const { return fd_ >= 0 && size() > 0; }
    std::size_t size() const { return static_cast<std::size_t>(Stat().st_size); }
    unsigned mode() const { return Stat().st_mode & 07777; }
    std::uint64_t u64(std::size_t offset, std::size_t width = 8) const {
        std::uint8_t bytes[8] = {};
        return ::pread(fd_, bytes, width, static_cast<off_t>(offset)) > 0 ? ldle_u64(bytes) : 0;
    }
    std::uint32_t u32(std::size_t offset) const {
        return static_cast<std::uint32_t>(u64(offset, 4));
    }
    std::uint16_t u16(std::size_t offset) const {
        return static_cast<std::uint16_t>(u64(offset, 2));
    }
    std::uint8_t u8(std::size_t offset) const { return static_cast<std::uint8_t>(u64(offset, 1)); }
    // Offset of a field of entry slot `slot`.
    static std::size_t Slot(std::uint32_t slot, std::size_t field) {
        return 252 + 496 * static_cast<std::size_t>(slot) + field;
    }

private:
    struct stat Stat() const {
        struct stat st {};
        ::fstat(fd_, &st);
        return st;
    }
    int fd_;
};

// Writes one text entry into a channel.
inline bool WriteText(trace::TraceChannel& channel, std::uint32_t sequence, std::uint32_t category,
                      std::u16string_view text) {
    std::u16string payload(text);
    payload.push_back(0);
    return channel.Write({.time = sequence, .category = category}, payload.data(),
                         2 * payload.size());
}

using Clock = std::chrono::steady_clock;

// Appends what `fd` gives to `text` until `done(text)` holds; false at the end
// of the output or at `deadline`.
inline bool ReadPipe(int fd, std::string& text, const std::function<bool(const std::string&)>& done,
                     Clock::time_point deadline = Clock::now() + std::chrono::seconds(20)) {
    while (!done(text)) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd, POLLIN, 0};
        char buffer[4096];
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return false;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

// A forked child that runs a body with a trace channel of its own, reports
// one line back and stays alive (holding its channel) until released or
// killed. A released child removes its channel's name; a killed one leaves
// it behind, as a crashed writer would.
class ChannelChild {
public:
    using Body = std::function<std::string(trace::TraceChannel&)>;

    explicit ChannelChild(const Body& body) {
        int up[2], down[2];
        if (::pipe(up) != 0 || ::pipe(down) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(up[0]);
            ::close(down[1]);
            trace::TraceChannel channel;
            const std::string report = body(channel) + "\n";
            ssize_t ignored = ::write(up[1], report.data(), report.size());
            char c;
            ignored = ::read(down[0], &c, 1); // returns at the parent's release
            (void)ignored;
            channel.RemoveName();
            ::_exit(0);
        }
        ::close(up[1]);
        ::close(down[0]);
        report_ = up[0];
        hold_ = down[1];
    }
    ~ChannelChild() {
        if (pid_ > 0)
            Kill();
        if (report_ >= 0)
            ::close(report_);
        if (hold_ >= 0)
            ::close(hold_);
    }
    ChannelChild(const ChannelChild&) = delete;
    ChannelChild& operator=(const ChannelChild&) = delete;

    pid_t pid() const { return pid_; }

    // The child's line, or "" when none came within 10 s.
    std::string Report() {
        std::string text;
        const auto line = [](const std::string& t) { return t.find('\n') != std::string::npos; };
        if (!ReadPipe(report_, text, line, Clock::now() + std::chrono::seconds(10)))
            return {};
        return text.substr(0, text.find('\n'));
    }
    // Lets the child end normally; its exit status.
    int Release() {
        ::close(hold_);
        hold_ = -1;
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void Kill() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }

private:
    pid_t pid_ = -1;
    int report_ = -1;
    int hold_ = -1;
};

} // namespace kelvo::test
