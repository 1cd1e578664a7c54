#include "transport/portway/channel.h"

#include "transport/portway/device_paths.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace kelvo::portway {

Channel::~Channel() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool Channel::DropInput() {
    // Bounded, so that a peer that never stops sending cannot hold the caller.
    constexpr std::size_t kMaxDropped = 1u << 20;
    // Small, so that it needs no stack page of its own in the host's threads.
    std::uint8_t scratch[512];
    std::size_t dropped = 0;
    while (dropped < kMaxDropped) {
        IoResult r = ReadSome(scratch, sizeof scratch);
        if (r.status == IoStatus::Closed)
            return false;
        if (r.status != IoStatus::Done)
            return true;
        dropped += r.count;
    }
    return true;
}

IoResult LastTry(IoResult r) {
    if (r.status == IoStatus::WantRead)
        return {IoStatus::TimedOut, 0};
    return r;
}

IoResult Channel::ReadWithin(std::uint8_t* data, std::size_t size, Clock::time_point deadline) {
    for (;;) {
        WaitResult waited = WaitFor(fd_, POLLIN, deadline);
        if (waited == WaitResult::Failed)
            return {IoStatus::Failed, 0};
        // Even with no time left, what has arrived is taken.
        IoResult r = ReadSome(data, size);
        if (r.status != IoStatus::WantRead)
            return r;
        if (waited == WaitResult::TimedOut)
            return {IoStatus::TimedOut, 0};
    }
}

bool ReceiveTimeout::Set(int fd, Clock::time_point deadline, bool* timedOut) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    *timedOut = left.count() <= 0;
    if (*timedOut)
        return true;
    if (left.count() == ms_)
        return true;
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(left.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>(left.count() % 1000 * 1000);
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0)
        return false;
    ms_ = left.count();
    return true;
}

bool Channel::CertificateDates(std::int64_t*, std::int64_t*) const {
    return false;
}

bool Channel::CertificateFingerprint(std::array<std::uint8_t, 32>*) const {
    return false;
}

WaitResult WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return WaitResult::TimedOut;
        pollfd p{fd, events, 0};
        int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), INT_MAX)));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return WaitResult::Failed;
        }
        if (n == 0)
            continue; // the loop head decides whether time is left
        if (p.revents & POLLNVAL)
            return WaitResult::Failed;
        return WaitResult::Ready;
    }
}

std::string SystemText(int error) {
    std::string text = std::generic_category().message(error);
    if (text.size() > 1 && text[0] >= 'A' && text[0] <= 'Z' && text[1] >= 'a' && text[1] <= 'z')
        text[0] = static_cast<char>(text[0] - 'A' + 'a');
    return text;
}

std::optional<Fingerprint> ParseFingerprint(std::string_view text) {
    Fingerprint out{};
    std::size_t digits = 0;
    for (char c : text) {
        if (c == ':' || c == ' ' || c == '\t')
            continue;
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            return std::nullopt;
        if (digits >= 2 * out.size())
            return std::nullopt;
        out[digits / 2] = static_cast<std::uint8_t>((out[digits / 2] << 4) | v);
        ++digits;
    }
    if (digits != 2 * out.size())
        return std::nullopt;
    return out;
}

namespace {

// A connected stream socket (TCP or Unix), in blocking mode: every call but
// ReadWithin passes MSG_DONTWAIT. Sends never raise SIGPIPE.
class SocketChannel final : public Channel {
public:
    using Channel::Channel;

    IoResult ReadSome(std::uint8_t* data, std::size_t size) override {
        for (;;) {
            ssize_t n = ::recv(fd_, data, size, MSG_DONTWAIT);
            drained_ = n > 0 && static_cast<std::size_t>(n) < size;
            if (n > 0)
                return {IoStatus::Done, static_cast<std::size_t>(n)};
            if (n == 0)
                return {IoStatus::Closed, 0};
            if (errno == EINTR)
                continue;
            return {ErrnoStatus(IoStatus::WantRead), 0};
        }
    }

    IoResult WriteSome(const std::uint8_t* data, std::size_t size) override {
        for (;;) {
            ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n >= 0)
                return {IoStatus::Done, static_cast<std::size_t>(n)};
            if (errno == EINTR)
                continue;
            return {ErrnoStatus(IoStatus::WantWrite), 0};
        }
    }

    IoResult ReadWithin(std::uint8_t* data, std::size_t size, Clock::time_point deadline) override {
        for (;;) {
            bool timedOut = false;
            if (!timeout_.Set(fd_, deadline, &timedOut))
                return {IoStatus::Failed, 0};
            if (timedOut)
                return LastTry(ReadSome(data, size));
            ssize_t n = ::recv(fd_, data, size, 0);
            drained_ = n > 0 && static_cast<std::size_t>(n) < size;
            if (n > 0)
                return {IoStatus::Done, static_cast<std::size_t>(n)};
            if (n == 0)
                return {IoStatus::Closed, 0};
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue; // the loop head decides whether time is left
            return {ErrnoStatus(IoStatus::Failed), 0};
        }
    }

    bool InputDrained() const override { return drained_; }

private:
    ReceiveTimeout timeout_;
    bool drained_ = false;

    static IoStatus ErrnoStatus(IoStatus wouldBlock) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return wouldBlock;
        if (errno == ECONNRESET || errno == EPIPE || errno == ENOTCONN)
            return IoStatus::Closed;
        return IoStatus::Failed;
    }
};

// Result of a name lookup run on a helper thread, so that a slow resolver cannot
// hold Open beyond its connection time-out. The thread owns a share of it and
// frees the addresses even when the caller has stopped waiting.
struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int rc = EAI_FAIL;
    int systemError = 0; // errno for EAI_SYSTEM
    addrinfo* result = nullptr;

    ~Lookup() {
        if (result)
            ::freeaddrinfo(result);
    }
};

addrinfo StreamHints(int flags) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    return hints;
}

// Why a name did not resolve.
std::string LookupFailure(const Lookup& lookup) {
    if (lookup.rc == EAI_NONAME || lookup.rc == EAI_NODATA || lookup.rc == EAI_ADDRFAMILY)
        return "host name not found";
    if (lookup.rc == EAI_SYSTEM)
        return SystemText(lookup.systemError);
    std::string text = ::gai_strerror(lookup.rc);
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z')
        text[0] = static_cast<char>(text[0] - 'A' + 'a');
    return text;
}

// Resolves host and port; nullptr when the name does not resolve in time, with
// the reason in `failure` (empty after a time-out).
std::shared_ptr<Lookup> Resolve(const std::string& host, const std::string& port,
                                Clock::time_point deadline, std::string* failure) {
    auto lookup = std::make_shared<Lookup>();
    addrinfo hints = StreamHints(AI_NUMERICHOST | AI_NUMERICSERV);
    // Numeric addresses need no resolver.
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &lookup->result) == 0)
        return lookup;
    lookup->result = nullptr;

    auto job = [lookup, host, port] {
        addrinfo h = StreamHints(AI_NUMERICSERV);
        addrinfo* result = nullptr;
        int rc = ::getaddrinfo(host.c_str(), port.c_str(), &h, &result);
        const int systemError = errno;
        std::lock_guard<std::mutex> guard(lookup->mutex);
        lookup->rc = rc;
        lookup->systemError = systemError;
        lookup->result = rc == 0 ? result : nullptr;
        lookup->finished = true;
        lookup->done.notify_all();
    };
    try {
        std::thread(job).detach();
    } catch (const std::system_error&) {
        job(); // no thread to spare: resolve here
    }
    std::unique_lock<std::mutex> lock(lookup->mutex);
    if (!lookup->done.wait_until(lock, deadline, [&] { return lookup->finished; }))
        return nullptr;
    if (lookup->rc != 0 || !lookup->result) {
        *failure = LookupFailure(*lookup);
        return nullptr;
    }
    return lookup;
}

// Connects one address before the deadline; the socket, or -1 with the errno
// value in *error (ETIMEDOUT when the deadline passed).
int ConnectOne(const addrinfo* ai, Clock::time_point deadline, bool* socketFailed, int* error) {
    int fd =
        ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
        *socketFailed = true;
        *error = errno;
        return -1;
    }
    if (::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0)
        return fd;
    *error = errno;
    if (*error == EINPROGRESS || *error == EINTR) {
        *error = ETIMEDOUT;
        if (WaitFor(fd, POLLOUT, deadline) == WaitResult::Ready) {
            socklen_t len = sizeof *error;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, error, &len) != 0)
                *error = errno;
        }
    }
    if (*error == 0)
        return fd;
    ::close(fd);
    return -1;
}

// Connected sockets run in blocking mode (see SocketChannel).
bool SetBlocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

std::string LowerCase(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

} // namespace

OpenResult OpenTcp(const TcpTarget& target, const std::optional<Fingerprint>& pin) {
    OpenResult out;
    // A zero time-out means the usual 5 s rather than waiting without end.
    unsigned timeoutMs = target.connectTimeoutMs ? target.connectTimeoutMs : 5000;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const std::string where = target.host + ":" + std::to_string(target.port);
    const std::string noAnswer = "no answer within " + std::to_string(timeoutMs) + " ms";
    if (target.host.empty()) {
        out.error = PW_HOST_NOT_FOUND;
        out.failure = "cannot reach " + where + ": no host name given";
        return out;
    }
    std::string why;
    std::shared_ptr<Lookup> lookup =
        Resolve(target.host, std::to_string(target.port), deadline, &why);
    if (!lookup) {
        out.error = PW_HOST_NOT_FOUND;
        out.failure =
            "cannot reach " + where + ": " +
            (why.empty() ? "host name not resolved within " + std::to_string(timeoutMs) + " ms"
                         : why);
        return out;
    }
    int fd = -1;
    int error = 0;
    bool socketFailed = false;
    bool anySocket = false;
    for (const addrinfo* ai = lookup->result; ai && fd < 0; ai = ai->ai_next) {
        bool failed = false;
        fd = ConnectOne(ai, deadline, &failed, &error);
        socketFailed = socketFailed || failed;
        anySocket = anySocket || !failed;
        if (Clock::now() >= deadline)
            break;
    }
    if (fd < 0) {
        out.error = (socketFailed && !anySocket) ? PW_SOCKET_FAILED : PW_CONNECT_FAILED;
        out.failure = out.error == PW_SOCKET_FAILED ? "cannot make a socket: " + SystemText(error)
                      : error == ETIMEDOUT          ? "cannot reach " + where + ": " + noAnswer
                                           : "cannot reach " + where + ": " + SystemText(error);
        return out;
    }
    int on = 1;
    if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 || !SetBlocking(fd)) {
        out.failure = "cannot set up the socket to " + where + ": " + SystemText(errno);
        ::close(fd);
        out.error = PW_SOCKET_FAILED;
        return out;
    }
    std::string linkId = "tcp-" + LowerCase(target.host) + "_" + std::to_string(target.port);
    if (target.tls) {
        out = StartTls(fd, target.host, deadline, pin);
        if (out.error != PW_OK)
            out.failure = "TLS with " + where + " failed: " + out.failure;
    } else {
        out.channel = std::make_unique<SocketChannel>(fd);
    }
    out.linkId = linkId;
    return out;
}

OpenResult OpenBridge(const BridgeTarget& target) {
    OpenResult out;
    std::string path = BridgeSocketPath(target.name);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        out.error = PW_PORT_OPEN_FAILED;
        out.failure = "cannot open the socket bridge " + path + ": the path is too long";
        return out;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        out.error = PW_SOCKET_FAILED;
        out.failure = "cannot make a socket: " + SystemText(errno);
        return out;
    }
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0 || !SetBlocking(fd)) {
        out.failure = "cannot open the socket bridge " + path + ": " + SystemText(errno);
        ::close(fd);
        out.error = PW_PORT_OPEN_FAILED;
        return out;
    }
    out.channel = std::make_unique<SocketChannel>(fd);
    out.linkId = "sock-" + path;
    return out;
}

} // namespace kelvo::portway
