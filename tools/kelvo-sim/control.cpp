#include "kelvo-sim/control.h"

#include "kelvo-sim/log.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kelvo::sim {
namespace {

// Longest control line; a longer one is refused and dropped.
constexpr std::size_t kMaxLine = 1024;

// Waits until `fd` is readable (true) or the stop signal is raised (false).
bool WaitReadable(int fd, const StopSignal& stop) {
    pollfd fds[2] = {{stop.Fd(), POLLIN, 0}, {fd, POLLIN, 0}};
    for (;;) {
        int ready = poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        return ready > 0 && fds[0].revents == 0;
    }
}

bool SendAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

ControlChannel::~ControlChannel() {
    if (fd_ < 0)
        return;
    close(fd_);
    unlink(path_.c_str());
}

bool ControlChannel::Open(const std::string& path, std::string& error) {
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        error = "control socket path empty or too long: " + path;
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    unlink(path.c_str());
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd_, 8) != 0) {
        error = path + ": " + std::strerror(errno);
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
        return false;
    }
    path_ = path;
    return true;
}

void ControlChannel::Run() {
    while (WaitReadable(fd_, stop_)) {
        int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        Serve(client);
        close(client);
    }
}

void ControlChannel::Serve(int client) {
    std::string pending;
    char buffer[256];
    while (WaitReadable(client, stop_)) {
        ssize_t n = recv(client, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        pending.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            FaultPlan plan;
            std::string error;
            std::string reply = "ok\n";
            if (ParseFaultPlan(line, plan, error))
                sim_.SetFaults(std::move(plan));
            else
                reply = "error: " + error + "\n";
            LogVerbose("control: " + line + " -> " + reply.substr(0, reply.size() - 1));
            if (!SendAll(client, reply))
                return;
        }
        if (pending.size() > kMaxLine)
            return;
    }
}

} // namespace kelvo::sim
