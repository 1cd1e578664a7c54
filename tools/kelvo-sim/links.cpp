#include "kelvo-sim/links.h"

#include "kelvo-sim/log.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>

namespace kelvo::sim {
namespace {

using Clock = std::chrono::steady_clock;

// Longest wait for a peer to take an answer or finish the TLS handshake.
constexpr int kPeerTimeoutMs = 5000;

enum class Wait { Ready, Stopped, Timeout };

// Waits until `fd` (none when negative) is ready for `events`, the stop
// signal is raised, or `timeoutMs` passed (negative: no limit).
Wait WaitFor(int fd, short events, const StopSignal& stop, int timeoutMs) {
    pollfd fds[2] = {{stop.Fd(), POLLIN, 0}, {fd, events, 0}};
    nfds_t count = fd >= 0 ? 2 : 1;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int remaining = -1;
        if (timeoutMs >= 0) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            remaining = static_cast<int>(std::max<std::int64_t>(0, left.count()));
        }
        int ready = poll(fds, count, remaining);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || fds[0].revents != 0)
            return Wait::Stopped;
        if (ready == 0)
            return Wait::Timeout;
        return Wait::Ready;
    }
}

// A connected byte stream of one link. Read and Write return the count
// moved, 0 when the stream is finished or broken, or -1 when the caller must
// wait for `want` on Fd() first.
class Stream {
public:
    virtual ~Stream() = default;
    virtual int Fd() const = 0;
    virtual long Read(std::uint8_t* buffer, std::size_t size, short& want) = 0;
    virtual long Write(const std::uint8_t* data, std::size_t size, short& want) = 0;
    // Bytes already decoded and waiting (TLS), so poll would not see them.
    virtual bool Buffered() const { return false; }
};

class FdStream final : public Stream {
public:
    explicit FdStream(int fd) : fd_(fd) {}
    int Fd() const override { return fd_; }
    long Read(std::uint8_t* buffer, std::size_t size, short& want) override {
        return Result(::read(fd_, buffer, size), POLLIN, want);
    }
    long Write(const std::uint8_t* data, std::size_t size, short& want) override {
        return Result(::write(fd_, data, size), POLLOUT, want);
    }

private:
    static long Result(ssize_t n, short event, short& want) {
        if (n >= 0)
            return static_cast<long>(n);
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            want = event;
            return -1;
        }
        return 0;
    }
    int fd_;
};

class TlsStream final : public Stream {
public:
    TlsStream(SSL* ssl, int fd) : ssl_(ssl), fd_(fd) {}
    int Fd() const override { return fd_; }
    long Read(std::uint8_t* buffer, std::size_t size, short& want) override {
        ERR_clear_error();
        int n = SSL_read(ssl_, buffer, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
        return Result(n, want);
    }
    long Write(const std::uint8_t* data, std::size_t size, short& want) override {
        ERR_clear_error();
        int n = SSL_write(ssl_, data, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
        return Result(n, want);
    }
    bool Buffered() const override { return SSL_pending(ssl_) > 0; }

private:
    long Result(int n, short& want) {
        if (n > 0)
            return n;
        int error = SSL_get_error(ssl_, n);
        if (error == SSL_ERROR_WANT_READ) {
            want = POLLIN;
            return -1;
        }
        if (error == SSL_ERROR_WANT_WRITE) {
            want = POLLOUT;
            return -1;
        }
        return 0;
    }
    SSL* ssl_;
    int fd_;
};

bool WriteAll(Stream& stream, const Bytes& bytes, const StopSignal& stop) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        short want = POLLOUT;
        long n = stream.Write(bytes.data() + done, bytes.size() - done, want);
        if (n == 0)
            return false;
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (WaitFor(stream.Fd(), want, stop, kPeerTimeoutMs) != Wait::Ready)
            return false;
    }
    return true;
}

int MsUntil(Clock::time_point when) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now());
    return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

// The earlier of two poll time-outs, -1 meaning none.
int EarlierTimeout(int a, int b) {
    if (a < 0)
        return b;
    if (b < 0)
        return a;
    return std::min(a, b);
}

// Serial: sends the bytes of running push streams at the device's rate, in
// short bursts between answers. Bytes the line does not take at once are
// lost, as on a wire nobody reads.
class StreamPump {
public:
    explicit StreamPump(Simulator& sim) : sim_(sim) {}

    // Milliseconds until the next burst; -1 while no stream runs.
    int Timeout() {
        if (sim_.StreamRate() == 0) {
            running_ = false;
            return -1;
        }
        if (!running_) {
            running_ = true;
            last_ = Clock::now();
            owed_ = 0;
        }
        return MsUntil(last_ + kTick);
    }

    // Sends the bytes due since the last burst.
    void Pump(Stream& stream) {
        const std::uint32_t rate = sim_.StreamRate();
        const Clock::time_point now = Clock::now();
        if (!running_ || rate == 0 || now < last_ + kTick)
            return;
        owed_ += rate * std::chrono::duration<double>(now - last_).count();
        last_ = now;
        const std::size_t count = static_cast<std::size_t>(std::min(owed_, kMaxBurst));
        owed_ = std::min(owed_ - static_cast<double>(count), 1.0);
        Bytes bytes = sim_.TakeStreamBytes(count);
        short want = POLLOUT;
        if (!bytes.empty())
            stream.Write(bytes.data(), bytes.size(), want);
    }

private:
    static constexpr std::chrono::milliseconds kTick{10};
    static constexpr double kMaxBurst = 65536;

    Simulator& sim_;
    bool running_ = false;
    Clock::time_point last_;
    double owed_ = 0;
};

// Serves one stream until the peer leaves, the answer is cut by the close
// fault (not on serial, where there is no connection), or the stop signal.
void Serve(Stream& stream, LinkKind kind, LinkContext& context) {
    const std::string name = LinkName(kind);
    const bool serial = kind == LinkKind::Serial;
    FrameAssembler assembler(serial, context.sim.Commands());
    std::optional<StreamPump> pump;
    if (serial)
        pump.emplace(context.sim);
    Clock::time_point lastReceived = Clock::now();
    const auto gap = std::chrono::milliseconds(kSerialGapMs);
    std::uint8_t buffer[4096];
    short want = POLLIN;
    for (;;) {
        if (!stream.Buffered()) {
            int timeout = serial && assembler.Pending() > 0 ? MsUntil(lastReceived + gap) : -1;
            if (pump)
                timeout = EarlierTimeout(timeout, pump->Timeout());
            Wait wait = WaitFor(stream.Fd(), want, context.stop, timeout);
            if (wait == Wait::Stopped)
                return;
            if (wait == Wait::Timeout) {
                if (pump)
                    pump->Pump(stream);
                if (assembler.Pending() > 0 && Clock::now() >= lastReceived + gap) {
                    LogVerbose(name + ": " + std::to_string(assembler.Pending()) +
                               " bytes of an incomplete request dropped");
                    assembler.Clear();
                }
                continue;
            }
        }
        long n = stream.Read(buffer, sizeof buffer, want);
        if (n < 0)
            continue;
        if (n == 0)
            return;
        lastReceived = Clock::now();
        want = POLLIN;
        std::span<const std::uint8_t> received(buffer, static_cast<std::size_t>(n));
        if (Verbose())
            LogLine(name + " rx " + Hex(received));
        assembler.Feed(received);
        while (std::optional<IncomingFrame> in = assembler.Next()) {
            Outcome out = context.sim.Handle(kind, *in);
            if (out.delayMs > 0 &&
                WaitFor(-1, 0, context.stop, static_cast<int>(std::min(out.delayMs, 3600000u))) ==
                    Wait::Stopped)
                return;
            if (!out.bytes.empty()) {
                if (Verbose())
                    LogLine(name + " tx " + Hex(out.bytes));
                // A serial line outlives a reader that stopped reading.
                if (!WriteAll(stream, out.bytes, context.stop) && kind != LinkKind::Serial)
                    return;
            }
            if (context.maxRequests > 0 && context.sim.Requests() >= context.maxRequests)
                context.stop.Raise();
            if (out.closeAfter && kind != LinkKind::Serial) {
                LogVerbose(name + ": connection closed in mid-answer");
                return;
            }
        }
        // A burst goes out after the requests just read, so that a stop
        // request ends the stream before its next burst rather than after.
        if (pump)
            pump->Pump(stream);
    }
}

bool Handshake(SSL* ssl, int fd, const StopSignal& stop) {
    for (;;) {
        ERR_clear_error();
        int result = SSL_accept(ssl);
        if (result == 1)
            return true;
        int error = SSL_get_error(ssl, result);
        short want = error == SSL_ERROR_WANT_READ    ? POLLIN
                     : error == SSL_ERROR_WANT_WRITE ? POLLOUT
                                                     : 0;
        if (want == 0) {
            unsigned long code = ERR_get_error();
            char text[256] = "peer left";
            if (code != 0)
                ERR_error_string_n(code, text, sizeof text);
            LogVerbose(std::string("tls: handshake failed: ") + text);
            return false;
        }
        if (WaitFor(fd, want, stop, kPeerTimeoutMs) != Wait::Ready)
            return false;
    }
}

std::string EnvFolder(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : "";
}

} // namespace

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

SocketListener::SocketListener(LinkContext& context, SSL_CTX* tls) : context_(context), tls_(tls) {}

SocketListener::~SocketListener() {
    if (fd_ >= 0)
        close(fd_);
}

bool SocketListener::Open(const std::string& address, std::uint16_t port, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    addrinfo* found = nullptr;
    std::string service = std::to_string(port);
    if (int rc = getaddrinfo(address.c_str(), service.c_str(), &hints, &found); rc != 0) {
        error = address + ": " + gai_strerror(rc);
        return false;
    }
    fd_ = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int on = 1;
    bool ok = fd_ >= 0 && setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
              bind(fd_, found->ai_addr, found->ai_addrlen) == 0 && listen(fd_, 16) == 0;
    int savedErrno = errno;
    freeaddrinfo(found);
    if (!ok) {
        error = address + ":" + service + ": " + std::strerror(savedErrno);
        return false;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &length);
    if (bound.ss_family == AF_INET)
        port_ = ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    else
        port_ = ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
    return true;
}

void SocketListener::Run() {
    const LinkKind kind = tls_ ? LinkKind::Tls : LinkKind::Tcp;
    const std::string name = LinkName(kind);
    while (WaitFor(fd_, POLLIN, context_.stop, -1) == Wait::Ready) {
        int client = accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) {
            // Out of descriptors and the like: do not spin on the ready socket.
            if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED)
                WaitFor(-1, 0, context_.stop, 100);
            continue;
        }
        int on = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        LogVerbose(name + ": client connected");
        if (!tls_) {
            FdStream stream(client);
            Serve(stream, kind, context_);
        } else if (SSL* ssl = SSL_new(tls_)) {
            SSL_set_fd(ssl, client);
            if (Handshake(ssl, client, context_.stop)) {
                TlsStream stream(ssl, client);
                Serve(stream, kind, context_);
                SSL_shutdown(ssl);
            }
            SSL_free(ssl);
        }
        shutdown(client, SHUT_WR);
        close(client);
        LogVerbose(name + ": client gone");
    }
}

SerialLine::SerialLine(LinkContext& context) : context_(context) {}

SerialLine::~SerialLine() {
    if (!linkPath_.empty()) {
        std::error_code ec;
        std::filesystem::path target = std::filesystem::read_symlink(linkPath_, ec);
        if (!ec && target == slavePath_)
            std::filesystem::remove(linkPath_, ec);
    }
    if (slave_ >= 0)
        close(slave_);
    if (master_ >= 0)
        close(master_);
}

bool SerialLine::Open(std::string& error) {
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) {
        error = std::string("openpty: ") + std::strerror(errno);
        return false;
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        error = std::string("ptsname: ") + std::strerror(errno);
        return false;
    }
    slavePath_ = name;
    termios tio{};
    if (tcgetattr(slave_, &tio) != 0) {
        error = std::string("tcgetattr: ") + std::strerror(errno);
        return false;
    }
    cfmakeraw(&tio);
    cfsetspeed(&tio, B921600);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSTOPB | PARENB);
    if (tcsetattr(slave_, TCSANOW, &tio) != 0) {
        error = std::string("tcsetattr: ") + std::strerror(errno);
        return false;
    }
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    return true;
}

bool SerialLine::LinkCom(int number, std::string& linkPath, std::string& error) {
    namespace fs = std::filesystem;
    fs::path folder = DevicesFolder();
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
        error = folder.string() + ": " + ec.message();
        return false;
    }
    fs::path link = folder / ("com" + std::to_string(number));
    fs::path temporary =
        folder / (".com" + std::to_string(number) + "." + std::to_string(getpid()));
    fs::remove(temporary, ec);
    fs::create_symlink(slavePath_, temporary, ec);
    if (!ec)
        fs::rename(temporary, link, ec);
    if (ec) {
        error = link.string() + ": " + ec.message();
        fs::remove(temporary, ec);
        return false;
    }
    linkPath_ = link.string();
    linkPath = linkPath_;
    return true;
}

void SerialLine::Run() {
    FdStream stream(master_);
    Serve(stream, LinkKind::Serial, context_);
}

std::string DevicesFolder() {
    if (std::string folder = EnvFolder("KELVO_DEVICES"); !folder.empty())
        return folder;
    std::string settings = EnvFolder("APPDATA");
    if (settings.empty())
        settings = EnvFolder("XDG_CONFIG_HOME");
    if (settings.empty() && !EnvFolder("HOME").empty())
        settings = EnvFolder("HOME") + "/.config";
    if (settings.empty())
        return "/etc/kelvo/devices";
    return settings + "/kelvo/devices";
}

} // namespace kelvo::sim
