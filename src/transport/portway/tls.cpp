// TLS client sessions over OpenSSL. Device certificates are self-signed, so no
// chain is verified; a SHA-256 fingerprint may pin the expected certificate.
#include "transport/portway/channel.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace kelvo::portway {
namespace {

// The socket under a TLS session (blocking mode): its calls pass MSG_DONTWAIT
// unless a ReadWithin waits in a receive under the socket's time-out.
struct SocketIo {
    int fd;
    bool waitForInput = false;
    bool drained = false; // the last receive came back with room to spare
};

// A socket BIO that sends with MSG_NOSIGNAL: a peer that went away yields EPIPE
// instead of a signal that would end the host process.
int BioWrite(BIO* bio, const char* data, int size) {
    BIO_clear_retry_flags(bio);
    int fd = static_cast<SocketIo*>(BIO_get_data(bio))->fd;
    ssize_t n;
    do {
        n = ::send(fd, data, static_cast<std::size_t>(size), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        BIO_set_retry_write(bio);
    return static_cast<int>(n);
}

int BioRead(BIO* bio, char* data, int size) {
    BIO_clear_retry_flags(bio);
    SocketIo& io = *static_cast<SocketIo*>(BIO_get_data(bio));
    ssize_t n;
    do {
        n = ::recv(io.fd, data, static_cast<std::size_t>(size), io.waitForInput ? 0 : MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    io.drained = n > 0 && n < size;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        BIO_set_retry_read(bio);
    return static_cast<int>(n);
}

long BioCtrl(BIO*, int cmd, long, void*) {
    return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

int BioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

// One method for the process: BIO type indexes are a small, finite supply.
const BIO_METHOD* SocketMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "portway socket");
        if (!m)
            return m;
        BIO_meth_set_write(m, BioWrite);
        BIO_meth_set_read(m, BioRead);
        BIO_meth_set_ctrl(m, BioCtrl);
        BIO_meth_set_create(m, BioCreate);
        return m;
    }();
    return method;
}

std::int64_t SecondsSince1970(const ASN1_TIME* time) {
    std::tm tm{};
    if (!time || ASN1_TIME_to_tm(time, &tm) != 1)
        return 0;
    return static_cast<std::int64_t>(::timegm(&tm));
}

// The file named by SSLKEYLOGFILE, or null when it is unset or empty.
const char* KeyLogPath() {
    const char* path = std::getenv("SSLKEYLOGFILE");
    return path && *path ? path : nullptr;
}

// Appends one NSS key-log line (the session secrets in the form capture
// analysers read); each line is one append, so concurrent sessions do not mix.
void AppendKeyLogLine(const SSL*, const char* line) {
    const char* path = KeyLogPath();
    if (!path)
        return;
    const std::string text = std::string(line) + "\n";
    int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    [[maybe_unused]] ssize_t n = ::write(fd, text.data(), text.size());
    ::close(fd);
}

// Secrets go to the key log only when it is asked for; the first TLS session
// of the process says so (or why it cannot) on standard error.
void SetUpKeyLog(SSL_CTX* ctx) {
    const char* path = KeyLogPath();
    if (!path)
        return;
    int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    const int error = errno;
    if (fd >= 0) {
        ::close(fd);
        SSL_CTX_set_keylog_callback(ctx, AppendKeyLogLine);
    }
    static std::once_flag told;
    std::call_once(told, [&] {
        if (fd >= 0)
            std::fprintf(stderr,
                         "portway: TLS session secrets are appended to %s (SSLKEYLOGFILE)\n", path);
        else
            std::fprintf(stderr, "portway: SSLKEYLOGFILE %s cannot be written (%s)\n", path,
                         std::strerror(error));
    });
}

bool IsAddressLiteral(const std::string& host) {
    unsigned char buffer[16];
    return ::inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
           ::inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

class TlsChannel final : public Channel {
public:
    explicit TlsChannel(int fd) : Channel(fd), io_{fd} {}

    ~TlsChannel() override {
        if (ssl_) {
            // A close notification if the socket takes it now; never waits.
            ERR_clear_error();
            if (handshakeDone_)
                SSL_shutdown(ssl_);
            SSL_free(ssl_);
        }
        SSL_CTX_free(ctx_);
        X509_free(peer_);
        ERR_clear_error();
    }

    bool Setup(const std::string& host) {
        const BIO_METHOD* method = SocketMethod();
        if (!method)
            return false;
        ctx_ = SSL_CTX_new(TLS_client_method());
        if (!ctx_)
            return false;
        SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
        SSL_CTX_set_options(ctx_, SSL_OP_IGNORE_UNEXPECTED_EOF);
        SSL_CTX_set_mode(ctx_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        // A record is taken from the socket in one read rather than two.
        SSL_CTX_set_read_ahead(ctx_, 1);
        SetUpKeyLog(ctx_);
        ssl_ = SSL_new(ctx_);
        if (!ssl_)
            return false;
        BIO* bio = BIO_new(method);
        if (!bio)
            return false;
        BIO_set_data(bio, &io_);
        SSL_set_bio(ssl_, bio, bio);
        // Server name for hosts given by name (not for address literals).
        if (!IsAddressLiteral(host))
            SSL_set_tlsext_host_name(ssl_, host.c_str());
        SSL_set_connect_state(ssl_);
        return true;
    }

    // Empty when the handshake ended in time, else why it did not.
    std::string Handshake(Clock::time_point deadline) {
        for (;;) {
            ERR_clear_error();
            errno = 0;
            int rc = SSL_connect(ssl_);
            if (rc == 1)
                break;
            int error = SSL_get_error(ssl_, rc);
            short events;
            if (error == SSL_ERROR_WANT_READ)
                events = POLLIN;
            else if (error == SSL_ERROR_WANT_WRITE)
                events = POLLOUT;
            else
                return HandshakeFailure(error);
            if (WaitFor(fd_, events, deadline) != WaitResult::Ready)
                return "the handshake did not end within the connection time-out";
        }
        handshakeDone_ = true;
        peer_ = SSL_get1_peer_certificate(ssl_);
        return {};
    }

    // Empty when the peer's certificate has the pinned fingerprint.
    std::string PinMismatch(const Fingerprint& pin) const {
        Fingerprint digest;
        if (!CertificateFingerprint(&digest))
            return "the device sent no certificate to check against the pinned fingerprint";
        if (digest == pin)
            return {};
        static constexpr char kDigits[] = "0123456789abcdef";
        std::string hex;
        for (std::uint8_t b : digest) {
            hex += kDigits[b >> 4];
            hex += kDigits[b & 15];
        }
        return "the device certificate's SHA-256 fingerprint " + hex + " is not the pinned one";
    }

    IoResult ReadSome(std::uint8_t* data, std::size_t size) override {
        ERR_clear_error();
        errno = 0;
        int n = SSL_read(ssl_, data, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
        if (n > 0)
            return {IoStatus::Done, static_cast<std::size_t>(n)};
        return {Status(n), 0};
    }

    // SSL_read with the socket's receive waiting up to the deadline.
    IoResult ReadWithin(std::uint8_t* data, std::size_t size, Clock::time_point deadline) override {
        for (;;) {
            bool timedOut = false;
            if (!timeout_.Set(fd_, deadline, &timedOut))
                return {IoStatus::Failed, 0};
            if (timedOut)
                return LastTry(ReadSome(data, size));
            io_.waitForInput = true;
            IoResult r = ReadSome(data, size);
            io_.waitForInput = false;
            if (r.status != IoStatus::WantRead)
                return r;
        }
    }

    IoResult WriteSome(const std::uint8_t* data, std::size_t size) override {
        ERR_clear_error();
        errno = 0;
        int n = SSL_write(ssl_, data, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
        if (n > 0)
            return {IoStatus::Done, static_cast<std::size_t>(n)};
        return {Status(n), 0};
    }

    bool HasBuffered() const override { return SSL_has_pending(ssl_) == 1; }
    bool InputDrained() const override { return io_.drained && !HasBuffered(); }

    // Input is dropped through SSL_read only when some is there: a socket with
    // nothing queued is told by one peek, without OpenSSL's failure path.
    bool DropInput() override {
        if (!HasBuffered() && !SocketHasInput())
            return true;
        return Channel::DropInput();
    }

    bool CertificateDates(std::int64_t* notBefore, std::int64_t* notAfter) const override {
        if (!peer_)
            return false;
        *notBefore = SecondsSince1970(X509_get0_notBefore(peer_));
        *notAfter = SecondsSince1970(X509_get0_notAfter(peer_));
        return true;
    }

    bool CertificateFingerprint(Fingerprint* digest) const override {
        unsigned int len = 0;
        return peer_ && X509_digest(peer_, EVP_sha256(), digest->data(), &len) == 1 &&
               len == digest->size();
    }

private:
    std::string HandshakeFailure(int error) const {
        if (error == SSL_ERROR_ZERO_RETURN || (error == SSL_ERROR_SYSCALL && errno == 0))
            return "the device closed the connection during the handshake";
        if (error == SSL_ERROR_SYSCALL)
            return SystemText(errno);
        const unsigned long code = ERR_peek_error();
        const char* reason = code ? ERR_reason_error_string(code) : nullptr;
        return reason ? std::string("handshake refused: ") + reason : "handshake refused";
    }

    // Whether the socket has bytes (or an end of stream) queued; an end of
    // stream or a socket error is left for SSL_read to report.
    bool SocketHasInput() {
        std::uint8_t byte;
        ssize_t n;
        do {
            n = ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        return !(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
    }

    IoStatus Status(int rc) {
        int error = SSL_get_error(ssl_, rc);
        if (error == SSL_ERROR_WANT_READ)
            return IoStatus::WantRead;
        if (error == SSL_ERROR_WANT_WRITE)
            return IoStatus::WantWrite;
        if (error == SSL_ERROR_ZERO_RETURN)
            return IoStatus::Closed;
        if (error == SSL_ERROR_SYSCALL &&
            (errno == 0 || errno == ECONNRESET || errno == EPIPE || errno == ENOTCONN))
            return IoStatus::Closed;
        return IoStatus::Failed;
    }

    SocketIo io_;
    ReceiveTimeout timeout_;
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
    X509* peer_ = nullptr;
    bool handshakeDone_ = false;
};

} // namespace

OpenResult StartTls(int fd, const std::string& host, Clock::time_point deadline,
                    const std::optional<Fingerprint>& pin) {
    OpenResult out;
    auto channel = std::make_unique<TlsChannel>(fd);
    if (!channel->Setup(host))
        out.failure = "cannot set up a TLS session";
    if (out.failure.empty())
        out.failure = channel->Handshake(deadline);
    if (out.failure.empty() && pin)
        out.failure = channel->PinMismatch(*pin);
    if (!out.failure.empty()) {
        out.error = PW_TLS_FAILED;
        return out;
    }
    out.channel = std::move(channel);
    return out;
}

} // namespace kelvo::portway
