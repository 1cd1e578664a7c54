#include "kelvo-sim/links.h"

#include "kelvo-sim/commands_users.h"
#include "kelvo-sim/log.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pty.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <system_error>

namespace kelvo::sim {
namespace {

// Longest wait for a peer to take an answer or finish the TLS handshake.
constexpr std::chrono::milliseconds kPeerTimeout{5000};
// Longest delay fault.
constexpr std::uint32_t kMaxDelayMs = 3600000;

} // namespace

// A connected byte stream of one link. Read and Write return the count
// moved, 0 when the stream is finished or broken, or -1 when the caller must
// wait for `want` (EPOLLIN or EPOLLOUT) on Fd() first.
class Stream {
public:
    virtual ~Stream() = default;
    virtual int Fd() const = 0;
    // 1: ready to serve; -1: wait for `want`; 0: failed.
    virtual int Handshake(std::uint32_t&) { return 1; }
    virtual long Read(std::uint8_t* buffer, std::size_t size, std::uint32_t& want) = 0;
    virtual long Write(const std::uint8_t* data, std::size_t size, std::uint32_t& want) = 0;
};

namespace {

class FdStream final : public Stream {
public:
    // `owned`: a connected socket, shut down and closed with the stream.
    FdStream(int fd, bool owned) : fd_(fd), owned_(owned) {}
    ~FdStream() override {
        if (!owned_)
            return;
        shutdown(fd_, SHUT_WR);
        close(fd_);
    }
    int Fd() const override { return fd_; }
    long Read(std::uint8_t* buffer, std::size_t size, std::uint32_t& want) override {
        return Result(::read(fd_, buffer, size), EPOLLIN, want);
    }
    long Write(const std::uint8_t* data, std::size_t size, std::uint32_t& want) override {
        return Result(::write(fd_, data, size), EPOLLOUT, want);
    }

private:
    static long Result(ssize_t n, std::uint32_t event, std::uint32_t& want) {
        if (n >= 0)
            return static_cast<long>(n);
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            want = event;
            return -1;
        }
        return 0;
    }
    int fd_;
    bool owned_;
};

class TlsStream final : public Stream {
public:
    // Takes the session and its socket.
    TlsStream(SSL* ssl, int fd) : ssl_(ssl), fd_(fd) {}
    ~TlsStream() override {
        ERR_clear_error();
        if (established_)
            SSL_shutdown(ssl_);
        SSL_free(ssl_);
        ERR_clear_error();
        shutdown(fd_, SHUT_WR);
        close(fd_);
    }
    int Fd() const override { return fd_; }
    int Handshake(std::uint32_t& want) override {
        ERR_clear_error();
        const int result = SSL_accept(ssl_);
        if (result == 1) {
            established_ = true;
            return 1;
        }
        const int error = SSL_get_error(ssl_, result);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            want = error == SSL_ERROR_WANT_READ ? EPOLLIN : EPOLLOUT;
            return -1;
        }
        const unsigned long code = ERR_get_error();
        char text[256] = "peer left";
        if (code != 0)
            ERR_error_string_n(code, text, sizeof text);
        LogVerbose(std::string("tls: handshake failed: ") + text);
        return 0;
    }
    long Read(std::uint8_t* buffer, std::size_t size, std::uint32_t& want) override {
        ERR_clear_error();
        int n = SSL_read(ssl_, buffer, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
        return Result(n, want);
    }
    long Write(const std::uint8_t* data, std::size_t size, std::uint32_t& want) override {
        ERR_clear_error();
        int n = SSL_write(ssl_, data, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
        return Result(n, want);
    }

private:
    long Result(int n, std::uint32_t& want) {
        if (n > 0)
            return n;
        const int error = SSL_get_error(ssl_, n);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            want = error == SSL_ERROR_WANT_READ ? EPOLLIN : EPOLLOUT;
            return -1;
        }
        return 0;
    }
    SSL* ssl_;
    int fd_;
    bool established_ = false;
};

// Serial: sends the bytes of running push streams at the device's rate, in
// short bursts between answers. Bytes the line does not take at once are
// lost, as on a wire nobody reads.
class StreamPump {
public:
    explicit StreamPump(Simulator& sim) : sim_(sim) {}

    // When the next burst is due; nothing while no stream runs.
    std::optional<Clock::time_point> Due() {
        if (sim_.StreamRate() == 0) {
            running_ = false;
            return std::nullopt;
        }
        if (!running_) {
            running_ = true;
            last_ = Clock::now();
            owed_ = 0;
        }
        return last_ + kTick;
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
        std::uint32_t want = 0;
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

Clock::time_point Earlier(Clock::time_point a, std::optional<Clock::time_point> b) {
    return b && *b < a ? *b : a;
}

} // namespace

// Serves one stream on the loop: requests in, answers out, in order, with the
// faults' delays and closes; on serial also the push stream and the gap that
// drops an incomplete request. Ends when the peer leaves, the answer is cut
// by the close fault (not on serial, where there is no connection), or the
// peer does not take an answer within the peer time-out.
class Session final : public Watcher {
public:
    Session(EventLoop& loop, LinkContext& context, LinkKind kind, std::unique_ptr<Stream> stream,
            std::function<void()> ended)
        : loop_(loop), context_(context), kind_(kind), name_(LinkName(kind)),
          stream_(std::move(stream)), ended_(std::move(ended)),
          assembler_(kind == LinkKind::Serial, context.sim.Commands()) {
        if (kind == LinkKind::Serial)
            pump_.emplace(context.sim);
    }
    ~Session() override {
        loop_.Unwatch(*this);
        loop_.CancelTimer(*this);
    }

    void Start() {
        const Clock::time_point now = Clock::now();
        lastReceived_ = now;
        handshaking_ = kind_ == LinkKind::Tls;
        handshakeDeadline_ = now + kPeerTimeout;
        Advance();
    }

    void OnEvents(std::uint32_t events) override {
        // A peer gone while its answer waits for a delay: reported even to a
        // quiet watch, so end here rather than spin until the delay is over.
        if (delayed_ && (events & (EPOLLERR | EPOLLHUP)) && kind_ != LinkKind::Serial)
            return End();
        Advance();
    }

    void OnTimer() override {
        const Clock::time_point now = Clock::now();
        if (handshaking_ && now >= handshakeDeadline_)
            return End();
        if (Sending() && now >= writeDeadline_) {
            if (kind_ != LinkKind::Serial)
                return End();
            // A serial line outlives a reader that stopped reading.
            out_.clear();
            sent_ = 0;
            writing_ = false;
        }
        if (delayed_ && now >= delayEnd_) {
            Outcome out = std::move(*delayed_);
            delayed_.reset();
            Emit(std::move(out));
        }
        if (kind_ == LinkKind::Serial && !delayed_ && assembler_.Pending() > 0 &&
            now >= lastReceived_ + std::chrono::milliseconds(kSerialGapMs)) {
            LogVerbose(name_ + ": " + std::to_string(assembler_.Pending()) +
                       " bytes of an incomplete request dropped");
            assembler_.Clear();
        }
        Advance();
    }

private:
    bool Sending() const { return sent_ < out_.size(); }

    // Goes as far as the stream allows, then waits for what it needs.
    void Advance() {
        std::uint8_t buffer[4096];
        while (stream_) {
            if (handshaking_) {
                const int r = stream_->Handshake(want_);
                if (r == 0)
                    return End();
                if (r < 0)
                    break;
                handshaking_ = false;
                continue;
            }
            if (!Flush())
                break;
            if (closeAfterSend_) {
                LogVerbose(name_ + ": connection closed in mid-answer");
                return End();
            }
            if (answered_) {
                answered_ = false;
                if (context_.maxRequests > 0 && context_.sim.Requests() >= context_.maxRequests)
                    context_.stop.Raise();
            }
            if (delayed_)
                break;
            if (std::optional<IncomingFrame> in = assembler_.Next()) {
                Handle(*in);
                continue;
            }
            const long n = stream_->Read(buffer, sizeof buffer, want_);
            if (n < 0) {
                // A burst goes out once every request that came is handled,
                // so that a stop request ends the stream before its next
                // burst rather than after.
                if (pump_)
                    pump_->Pump(*stream_);
                break;
            }
            if (n == 0)
                return End();
            lastReceived_ = Clock::now();
            const std::span<const std::uint8_t> received(buffer, static_cast<std::size_t>(n));
            if (Verbose())
                LogLine(name_ + " rx " + Hex(received));
            assembler_.Feed(received);
        }
        if (stream_)
            Rearm();
    }

    void Handle(const IncomingFrame& in) {
        Outcome out = context_.sim.Handle(kind_, in);
        if (out.delayMs > 0) {
            delayEnd_ =
                Clock::now() + std::chrono::milliseconds(std::min(out.delayMs, kMaxDelayMs));
            delayed_ = std::move(out);
            return;
        }
        Emit(std::move(out));
    }

    void Emit(Outcome out) {
        answered_ = true;
        if (!out.bytes.empty()) {
            if (Verbose())
                LogLine(name_ + " tx " + Hex(out.bytes));
            out_.insert(out_.end(), out.bytes.begin(), out.bytes.end());
        }
        closeAfterSend_ = out.closeAfter && kind_ != LinkKind::Serial;
    }

    // Sends what is queued; false while the stream has to be waited for.
    bool Flush() {
        while (Sending()) {
            std::uint32_t want = EPOLLOUT;
            const long n = stream_->Write(out_.data() + sent_, out_.size() - sent_, want);
            if (n > 0) {
                sent_ += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0) {
                if (!writing_)
                    writeDeadline_ = Clock::now() + kPeerTimeout;
                writing_ = true;
                want_ = want;
                return false;
            }
            if (kind_ != LinkKind::Serial) {
                End();
                return false;
            }
            break; // the serial line goes on without this answer
        }
        out_.clear();
        sent_ = 0;
        writing_ = false;
        return true;
    }

    void Rearm() {
        // Nothing is read while an answer waits for its delay.
        const bool quiet = delayed_ && !Sending() && !handshaking_;
        loop_.Watch(*this, stream_->Fd(), quiet ? 0 : want_);
        Clock::time_point due = Clock::time_point::max();
        if (handshaking_)
            due = handshakeDeadline_;
        if (Sending())
            due = std::min(due, writeDeadline_);
        if (delayed_)
            due = std::min(due, delayEnd_);
        if (kind_ == LinkKind::Serial && !delayed_ && !Sending()) {
            if (assembler_.Pending() > 0)
                due = std::min(due, lastReceived_ + std::chrono::milliseconds(kSerialGapMs));
            due = Earlier(due, pump_->Due());
        }
        if (due == Clock::time_point::max())
            loop_.CancelTimer(*this);
        else
            loop_.SetTimer(*this, due);
    }

    void End() {
        loop_.Unwatch(*this);
        loop_.CancelTimer(*this);
        stream_.reset();
        if (ended_)
            ended_();
    }

    EventLoop& loop_;
    LinkContext& context_;
    const LinkKind kind_;
    const std::string name_;
    std::unique_ptr<Stream> stream_; // null once ended
    std::function<void()> ended_;
    FrameAssembler assembler_;
    std::optional<StreamPump> pump_;
    std::uint32_t want_ = EPOLLIN;
    bool handshaking_ = false;
    Clock::time_point handshakeDeadline_;
    Clock::time_point lastReceived_;
    Bytes out_; // answers queued, sent from out_[sent_] on
    std::size_t sent_ = 0;
    bool writing_ = false;
    Clock::time_point writeDeadline_;
    bool closeAfterSend_ = false;
    bool answered_ = false;
    std::optional<Outcome> delayed_;
    Clock::time_point delayEnd_;
};

namespace {

std::string EnvFolder(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : "";
}

} // namespace

SocketListener::SocketListener(LinkContext& context, SSL_CTX* tls) : context_(context), tls_(tls) {}

SocketListener::~SocketListener() {
    session_.reset();
    if (loop_)
        loop_->Unwatch(*this);
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

void SocketListener::Attach(EventLoop& loop) {
    loop_ = &loop;
    loop.Watch(*this, fd_, EPOLLIN);
}

void SocketListener::OnEvents(std::uint32_t) {
    Accept();
}

// After a failed accept: listening again.
void SocketListener::OnTimer() {
    loop_->Watch(*this, fd_, EPOLLIN);
}

void SocketListener::Accept() {
    const LinkKind kind = tls_ ? LinkKind::Tls : LinkKind::Tcp;
    const int client = accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client < 0) {
        // Out of descriptors and the like: do not spin on the ready socket.
        if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
            loop_->Watch(*this, fd_, 0);
            loop_->SetTimer(*this, Clock::now() + std::chrono::milliseconds(100));
        }
        return;
    }
    int on = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::unique_ptr<Stream> stream;
    if (!tls_) {
        stream = std::make_unique<FdStream>(client, true);
    } else if (SSL* ssl = SSL_new(tls_)) {
        SSL_set_fd(ssl, client);
        SSL_set_app_data(ssl, context_.certificates);
        stream = std::make_unique<TlsStream>(ssl, client);
    } else {
        close(client);
        return;
    }
    LogVerbose(std::string(LinkName(kind)) + ": client connected");
    // One client at a time: the others wait in the backlog.
    loop_->Watch(*this, fd_, 0);
    session_ = std::make_unique<Session>(*loop_, context_, kind, std::move(stream),
                                         [this] { SessionEnded(); });
    session_->Start();
}

void SocketListener::SessionEnded() {
    LogVerbose(std::string(LinkName(tls_ ? LinkKind::Tls : LinkKind::Tcp)) + ": client gone");
    loop_->Retire(std::move(session_));
    loop_->Watch(*this, fd_, EPOLLIN);
}

SerialLine::SerialLine(LinkContext& context) : context_(context) {}

SerialLine::~SerialLine() {
    session_.reset();
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

void SerialLine::Attach(EventLoop& loop) {
    session_ = std::make_unique<Session>(loop, context_, LinkKind::Serial,
                                         std::make_unique<FdStream>(master_, false), nullptr);
    session_->Start();
}

void SerialLine::Run() {
    EventLoop loop;
    Attach(loop);
    loop.Run(context_.stop);
    session_.reset();
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
