#include "kelvo-sim/control.h"

#include "kelvo-sim/log.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kelvo::sim {
namespace {

// Longest control line; a longer one is refused and the client dropped.
constexpr std::size_t kMaxLine = 1024;

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

// One connected client: its lines, answered as they come. Replies are short,
// so they go out with a blocking send.
class ControlChannel::Client final : public Watcher {
public:
    Client(ControlChannel& channel, int fd) : channel_(channel), fd_(fd) {}
    ~Client() override {
        channel_.loop_->Unwatch(*this);
        close(fd_);
    }
    int fd() const { return fd_; }

    void OnEvents(std::uint32_t) override {
        char buffer[256];
        ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        if (n <= 0)
            return channel_.ClientGone();
        pending_.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
            const std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            if (!SendAll(fd_, channel_.Apply(line)))
                return channel_.ClientGone();
        }
        if (pending_.size() > kMaxLine)
            channel_.ClientGone();
    }

private:
    ControlChannel& channel_;
    int fd_;
    std::string pending_;
};

ControlChannel::ControlChannel(std::vector<Simulator*> devices) : devices_(std::move(devices)) {}

ControlChannel::~ControlChannel() {
    client_.reset();
    if (fd_ < 0)
        return;
    if (loop_)
        loop_->Unwatch(*this);
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
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
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

void ControlChannel::Attach(EventLoop& loop) {
    loop_ = &loop;
    loop.Watch(*this, fd_, EPOLLIN);
}

void ControlChannel::OnEvents(std::uint32_t) {
    const int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0)
        return;
    client_ = std::make_unique<Client>(*this, client);
    loop_->Watch(*this, fd_, 0);
    loop_->Watch(*client_, client, EPOLLIN);
}

void ControlChannel::ClientGone() {
    loop_->Retire(std::move(client_));
    loop_->Watch(*this, fd_, EPOLLIN);
}

std::string ControlChannel::Apply(const std::string& line) {
    std::string_view plan = line;
    std::size_t first = 0;
    std::size_t count = devices_.size();
    constexpr std::string_view kDevice = "device ";
    if (plan.substr(0, kDevice.size()) == kDevice) {
        plan.remove_prefix(kDevice.size());
        const std::string number(plan.substr(0, plan.find(' ')));
        char* end = nullptr;
        const unsigned long n = std::strtoul(number.c_str(), &end, 10);
        if (number.empty() || *end != '\0' || n == 0 || n > devices_.size())
            return "error: no device " + number + "\n";
        plan.remove_prefix(std::min(plan.size(), number.size() + 1));
        first = n - 1;
        count = 1;
    }
    FaultPlan parsed;
    std::string error;
    std::string reply = "ok\n";
    if (ParseFaultPlan(plan, parsed, error)) {
        for (std::size_t i = first; i < first + count; ++i)
            devices_[i]->SetFaults(parsed);
    } else {
        reply = "error: " + error + "\n";
    }
    LogVerbose("control: " + line + " -> " + reply.substr(0, reply.size() - 1));
    return reply;
}

} // namespace kelvo::sim
