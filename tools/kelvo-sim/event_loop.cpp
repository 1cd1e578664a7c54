#include "kelvo-sim/event_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace kelvo::sim {

StopSignal::StopSignal() {
    if (pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0)
        fds_[0] = fds_[1] = -1;
}

StopSignal::~StopSignal() {
    for (int fd : fds_) {
        if (fd >= 0)
            close(fd);
    }
}

void StopSignal::Raise() {
    const char byte = 1;
    [[maybe_unused]] ssize_t n = write(fds_[1], &byte, 1);
}

bool StopSignal::Raised() const {
    pollfd fd = {fds_[0], POLLIN, 0};
    return poll(&fd, 1, 0) > 0;
}

EventLoop::EventLoop() : epoll_(epoll_create1(EPOLL_CLOEXEC)) {}

EventLoop::~EventLoop() {
    if (epoll_ >= 0)
        close(epoll_);
}

bool EventLoop::Watch(Watcher& w, int fd, std::uint32_t events) {
    if (w.fd_ == fd && w.events_ == events)
        return true;
    epoll_event event{};
    event.events = events;
    event.data.ptr = &w;
    int op = EPOLL_CTL_MOD;
    if (w.fd_ != fd) {
        Unwatch(w);
        op = EPOLL_CTL_ADD;
    }
    if (epoll_ctl(epoll_, op, fd, &event) != 0)
        return false;
    w.fd_ = fd;
    w.events_ = events;
    return true;
}

void EventLoop::Unwatch(Watcher& w) {
    if (w.fd_ < 0)
        return;
    epoll_ctl(epoll_, EPOLL_CTL_DEL, w.fd_, nullptr);
    w.fd_ = -1;
    w.events_ = 0;
}

void EventLoop::SetTimer(Watcher& w, Clock::time_point when) {
    if (w.due_ == when)
        return;
    CancelTimer(w);
    timers_.emplace(when, &w);
    w.due_ = when;
}

void EventLoop::CancelTimer(Watcher& w) {
    if (!w.due_)
        return;
    timers_.erase({*w.due_, &w});
    w.due_.reset();
}

void EventLoop::Retire(std::unique_ptr<Watcher> w) {
    if (!w)
        return;
    Unwatch(*w);
    CancelTimer(*w);
    w->retired_ = true;
    retired_.push_back(std::move(w));
}

void EventLoop::FireTimers() {
    const Clock::time_point now = Clock::now();
    while (!timers_.empty() && timers_.begin()->first <= now) {
        Watcher* w = timers_.begin()->second;
        timers_.erase(timers_.begin());
        w->due_.reset();
        w->OnTimer();
    }
}

void EventLoop::Run(const StopSignal& stop) {
    // The stop signal's descriptor is the one entry without a watcher.
    epoll_event stopEvent{};
    stopEvent.events = EPOLLIN;
    stopEvent.data.ptr = nullptr;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, stop.Fd(), &stopEvent) != 0)
        return;
    epoll_event events[64];
    for (;;) {
        int timeout = -1;
        if (!timers_.empty()) {
            auto left =
                std::chrono::ceil<std::chrono::milliseconds>(timers_.begin()->first - Clock::now());
            timeout = static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, INT_MAX));
        }
        const int n = epoll_wait(epoll_, events, 64, timeout);
        if (n < 0 && errno != EINTR)
            break;
        bool stopped = false;
        for (int i = 0; i < n; ++i) {
            auto* w = static_cast<Watcher*>(events[i].data.ptr);
            if (!w)
                stopped = true;
            else if (!w->retired_)
                w->OnEvents(events[i].events);
        }
        FireTimers();
        retired_.clear();
        if (stopped)
            break;
    }
    epoll_ctl(epoll_, EPOLL_CTL_DEL, stop.Fd(), nullptr);
}

} // namespace kelvo::sim
