// One thread serves every link of the simulator: an epoll loop that calls the
// object watching a descriptor when it is ready, and the object's timer when
// its time has come. No link has a thread of its own, so one process serves
// hundreds of devices.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace kelvo::sim {

class EventLoop;

using Clock = std::chrono::steady_clock;

// Once raised, stays raised; its descriptor turns readable for poll.
class StopSignal {
public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    void Raise();
    bool Raised() const;
    int Fd() const { return fds_[0]; }

private:
    int fds_[2] = {-1, -1};
};

// Something on the loop: at most one descriptor and one timer.
class Watcher {
public:
    Watcher() = default;
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;
    virtual ~Watcher() = default;

    // epoll's events for the watched descriptor (EPOLLIN, EPOLLOUT, EPOLLHUP ...).
    virtual void OnEvents(std::uint32_t events) = 0;
    // The time given to EventLoop::SetTimer has come.
    virtual void OnTimer() {}

private:
    friend class EventLoop;
    int fd_ = -1;
    std::uint32_t events_ = 0;
    std::optional<Clock::time_point> due_;
    bool retired_ = false;
};

class EventLoop {
public:
    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    bool Ok() const { return epoll_ >= 0; }

    // Watches `fd` for `events` on behalf of `w` (0: registered, but quiet).
    // A call with what is already watched costs nothing.
    bool Watch(Watcher& w, int fd, std::uint32_t events);
    // Stops watching w's descriptor; call before closing it.
    void Unwatch(Watcher& w);
    void SetTimer(Watcher& w, Clock::time_point when);
    void CancelTimer(Watcher& w);
    // Takes `w` off the loop and deletes it once the events in hand are
    // dispatched (they may still name it).
    void Retire(std::unique_ptr<Watcher> w);

    // Dispatches until the stop signal is raised.
    void Run(const StopSignal& stop);

private:
    void FireTimers();

    int epoll_ = -1;
    std::set<std::pair<Clock::time_point, Watcher*>> timers_;
    std::vector<std::unique_ptr<Watcher>> retired_;
};

} // namespace kelvo::sim
