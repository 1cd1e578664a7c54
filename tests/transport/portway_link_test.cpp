// The links against the device ends a test drives: a loopback TCP peer, a
// TLS server with the simulator's self-signed certificate, a pseudo-terminal linked
// as com7 and a Unix socket bridge. Writes of every size run in the fault
// matrix and DataAgainstSim.
#include "kelvo-sim/tls.h"
#include "portway_testing.h"

#include <fstream>
#include <linux/sockios.h>
#include <memory>
#include <openssl/ssl.h>
#include <pthread.h>
#include <pty.h>
#include <set>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/un.h>
#include <termios.h>
#include <thread>

namespace kelvo::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr long kNotBefore = 1700000000; // 2023-11-14
constexpr long kNotAfter = 2000000000;  // 2033-05-18

struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};

enum class Link { Tcp, Tls, Serial, Bridge };

// One transport's link and the device end of it that the test drives.
class PortwayLinkTest : public PortwayTest {
protected:
    void TearDown() override {
        Drop();
        for (int fd : {slave_, bridge_})
            if (fd >= 0)
                ::close(fd);
    }

    // Opens `t` on a link of the kind and takes the device end.
    HRESULT Open(Transport& t, Link link, unsigned timeoutMs = 3000) {
        link_ = link;
        switch (link) {
        case Link::Tcp: {
            const HRESULT hr = t.Open(listener_.Text(timeoutMs));
            if (SUCCEEDED(hr))
                peer_ = listener_.Accept();
            return hr;
        }
        case Link::Tls:
            return OpenTls(t, timeoutMs);
        case Link::Serial:
            EXPECT_EQ(::openpty(&peer_, &slave_, nullptr, nullptr, nullptr), 0);
            std::filesystem::create_symlink(::ttyname(slave_), devices() + "/com7");
            return t.Open("COM:7,921600,N,8,1");
        case Link::Bridge: {
            std::filesystem::create_directories(dir() + "/kelvo");
            bridge_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s/kelvo/line_a.sock",
                          dir().c_str());
            EXPECT_EQ(::bind(bridge_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
            EXPECT_EQ(::listen(bridge_, 4), 0);
            const HRESULT hr = t.Open("SOCK:line_a_COM,4,921600,N,8,1");
            if (SUCCEEDED(hr))
                peer_ = ::accept4(bridge_, nullptr, nullptr, SOCK_CLOEXEC);
            return hr;
        }
        }
        return E_FAIL;
    }

    // The server's context with a self-signed certificate, made once.
    SSL_CTX* Context() {
        if (!tls_.Context()) {
            sim::CertificateOptions validity;
            validity.notBefore = kNotBefore;
            validity.notAfter = kNotAfter;
            std::string error;
            EXPECT_TRUE(tls_.Init(validity, error)) << error;
            SSL_CTX_set_num_tickets(tls_.Context(), 0);
        }
        return tls_.Context();
    }

    // Opens the transport while a thread runs the server side of the handshake.
    HRESULT OpenTls(Transport& t, unsigned timeoutMs) {
        SSL_CTX* context = Context();
        bool accepted = false;
        std::thread server([&] {
            // A client that drops the connection must not end the test with
            // SIGPIPE while this thread still writes; blocked here, it only
            // makes the write fail.
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
            peer_ = listener_.Accept();
            if (peer_ < 0)
                return;
            timeval limit{5, 0};
            ::setsockopt(peer_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            server_.reset(SSL_new(context));
            SSL_set_fd(server_.get(), peer_);
            accepted = SSL_accept(server_.get()) == 1;
        });
        HRESULT hr = t.Open(listener_.Text(timeoutMs, true));
        server.join();
        if (SUCCEEDED(hr)) {
            EXPECT_TRUE(accepted);
        }
        return hr;
    }

    bool Send(const std::string& data) {
        const auto n = static_cast<int>(data.size());
        if (server_)
            return SSL_write(server_.get(), data.data(), n) == n;
        return ::write(peer_, data.data(), data.size()) == n;
    }
    // Waits until what was sent sits at the transport's end of the link;
    // false after two seconds.
    bool Delivered(std::size_t size) const {
        const Clock::time_point end = Clock::now() + std::chrono::seconds(2);
        for (int count = 0; Clock::now() < end; std::this_thread::yield()) {
            if (link_ == Link::Bridge)
                return true;
            if (link_ == Link::Serial) { // bytes waiting on the line
                if (::ioctl(slave_, FIONREAD, &count) == 0 && count >= static_cast<int>(size))
                    return true;
            } else if (::ioctl(peer_, SIOCOUTQ, &count) == 0 && count == 0) { // acknowledged
                return true;
            }
        }
        return false;
    }
    std::string Receive(std::size_t n) {
        if (!server_)
            return ReadExact(peer_, n);
        std::string out(n, '\0');
        std::size_t got = 0;
        while (got < n) {
            const int r = SSL_read(server_.get(), out.data() + got, static_cast<int>(n - got));
            if (r <= 0)
                break;
            got += static_cast<std::size_t>(r);
        }
        out.resize(got);
        return out;
    }
    // Closes the device end (a TLS server says close_notify first).
    void HangUp() {
        if (server_)
            SSL_shutdown(server_.get());
        Drop();
    }
    void Drop() {
        server_.reset();
        if (peer_ >= 0)
            ::close(peer_);
        peer_ = -1;
    }

    Listener listener_{"127.0.0.1"};
    Link link_ = Link::Tcp;
    int peer_ = -1;
    int slave_ = -1;
    int bridge_ = -1;
    sim::TlsServer tls_;
    std::unique_ptr<SSL, SslFree> server_;
};

class PortwayEveryLinkTest : public PortwayLinkTest, public ::testing::WithParamInterface<Link> {};

std::string LinkName(const ::testing::TestParamInfo<Link>& info) {
    const char* names[] = {"Tcp", "Tls", "Serial", "Bridge"};
    return names[static_cast<int>(info.param)];
}
INSTANTIATE_TEST_SUITE_P(Links, PortwayEveryLinkTest,
                         ::testing::Values(Link::Tcp, Link::Tls, Link::Serial, Link::Bridge),
                         LinkName);

TEST_P(PortwayEveryLinkTest, ExchangesTimesOutResetsAndSeesTheHangUp) {
    Transport t;
    ASSERT_EQ(Open(t, GetParam()), S_OK);
    // Pieces make up one read of exactly the asked length; control characters
    // and CR/LF pass unchanged both ways.
    const std::string frame("\x05\x00\r\n\x03\x11\x13\xff", 8);
    ASSERT_TRUE(Send(frame.substr(0, 3)));
    ASSERT_TRUE(Send(frame.substr(3) + "!"));
    EXPECT_EQ(t.Read(frame.size(), 2000), frame);
    EXPECT_EQ(t.Read(1, 2000), "!");
    EXPECT_EQ(t.Write(frame), S_OK);
    EXPECT_EQ(t->Flush(), S_OK);
    EXPECT_EQ(Receive(frame.size()), frame);
    EXPECT_EQ(t->Read(nullptr, 0, 0), S_OK);
    EXPECT_EQ(t->Read(nullptr, 1, 0), E_POINTER);

    // An answer larger than the transport reads ahead comes whole.
    const std::string big(10000, 'v');
    ASSERT_TRUE(Send(big));
    EXPECT_EQ(t.Read(9000, 2000), big.substr(0, 9000));
    EXPECT_EQ(t.Read(1000, 2000), big.substr(9000));

    // Short data times out after the whole wait, longer than a serial line's
    // tenth-of-a-second read slice; the bytes are consumed, the link stays
    // usable.
    ASSERT_TRUE(Send("ab"));
    auto start = Clock::now();
    EXPECT_FALSE(t.Read(3, 350));
    EXPECT_EQ(t.Error(), PW_TIMEOUT);
    EXPECT_GE(MillisSince(start), 349);
    ASSERT_TRUE(Send("xy"));
    EXPECT_EQ(t.Read(2, 2000), "xy");

    // Reset after a request drops an answer partly read (bytes a TLS session
    // holds decrypted) or not read at all.
    for (bool partlyRead : {true, false}) {
        SCOPED_TRACE(partlyRead);
        ASSERT_EQ(t.Write("req"), S_OK);
        ASSERT_EQ(Receive(3), "req");
        ASSERT_TRUE(Send("0123456789"));
        ASSERT_TRUE(Delivered(10));
        if (partlyRead) {
            ASSERT_EQ(t.Read(1, 2000), "0");
        }
        EXPECT_EQ(t->Reset(), S_OK);
        EXPECT_FALSE(t.Read(1, 50));
        EXPECT_EQ(t.Error(), PW_TIMEOUT);
        ASSERT_TRUE(Send("next"));
        EXPECT_EQ(t.Read(4, 2000), "next");
    }

    // Certificate dates and fingerprint on TLS only.
    Variant notBefore, notAfter, digest;
    const HRESULT tls = GetParam() == Link::Tls ? S_OK : E_FAIL;
    EXPECT_EQ(t->GetProperty(PORTWAY_PROP_CERT_NOT_BEFORE, &notBefore), tls);
    EXPECT_EQ(t->GetProperty(PORTWAY_PROP_CERT_NOT_AFTER, &notAfter), tls);
    EXPECT_EQ(t->GetProperty(PORTWAY_PROP_TLS_FINGERPRINT, &digest), tls);
    if (tls == S_OK) {
        EXPECT_EQ(notBefore.vt, VT_UI4);
        EXPECT_EQ(notBefore.ulVal, static_cast<ULONG>(kNotBefore));
        EXPECT_EQ(notAfter.vt, VT_UI4);
        EXPECT_EQ(notAfter.ulVal, static_cast<ULONG>(kNotAfter));
        ASSERT_EQ(digest.vt, VT_BSTR);
        EXPECT_EQ(Utf16ToUtf8(BstrView(digest.bstrVal)), tls_.Fingerprint());
    } else {
        EXPECT_EQ(t.Error(), PW_NO_CERTIFICATE);
        EXPECT_EQ(digest.vt, VT_EMPTY);
    }

    // After the device end closes, every read fails with the peer's close
    // (a wait would end in the time-out code).
    HangUp();
    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(t.Read(1, 5000));
        EXPECT_EQ(t.Error(), PW_PEER_CLOSED);
    }
}

TEST_F(PortwayLinkTest, SerialLineIsRawAtTheConfiguredSpeed) {
    Transport t;
    ASSERT_EQ(Open(t, Link::Serial), S_OK);
    termios tio{};
    ASSERT_EQ(::tcgetattr(peer_, &tio), 0);
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B921600));
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
}

TEST_F(PortwayLinkTest, WritingToAVanishedPeerFailsWithoutSignal) {
    Transport t;
    ASSERT_EQ(Open(t, Link::Tcp), S_OK);
    // A reset connection: the peer closes with unread data pending.
    ASSERT_EQ(t.Write("unread"), S_OK);
    ASSERT_EQ(ReadExact(peer_, 1), "u");
    linger hard{1, 0};
    ::setsockopt(peer_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    Drop();
    // The process survives (no SIGPIPE) and the write fails.
    HRESULT hr = S_OK;
    for (int i = 0; i < 100 && SUCCEEDED(hr); ++i)
        hr = t.Write(std::string(1000, 'z'));
    EXPECT_EQ(hr, E_FAIL);
    EXPECT_EQ(t.Error(), PW_PEER_CLOSED);
}

TEST_F(PortwayLinkTest, OpenAgainClosesTheOldLink) {
    Transport t;
    ASSERT_EQ(Open(t, Link::Tcp), S_OK);
    Listener second("127.0.0.1");
    ASSERT_EQ(t.Open(second.Text()), S_OK);
    // The first peer sees the end of its connection.
    EXPECT_EQ(ReadExact(peer_, 1, 2000), "");
    int other = second.Accept();
    ASSERT_GE(other, 0);
    ASSERT_EQ(::write(other, "2", 1), 1);
    EXPECT_EQ(t.Read(1, 2000), "2");
    ::close(other);

    EXPECT_EQ(t->Close(), S_OK);
    EXPECT_EQ(t->Read(nullptr, 1, 0), E_FAIL);
    EXPECT_EQ(t.Error(), PW_NOT_OPEN);
}

TEST_F(PortwayLinkTest, PinnedFingerprint) {
    for (bool byProperty : {true, false}) {
        for (bool matching : {true, false}) {
            SCOPED_TRACE(std::to_string(byProperty) + std::to_string(matching));
            Context();
            const std::string pin = matching ? tls_.Fingerprint() : std::string(64, '0');
            Transport t;
            std::optional<ScopedEnv> env;
            if (byProperty) {
                // Colon-separated upper-case form, as certificate viewers print it.
                std::string shown;
                for (std::size_t i = 0; i < pin.size(); i += 2)
                    shown += (i ? ":" : "") + pin.substr(i, 2);
                for (char& ch : shown)
                    ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
                ASSERT_EQ(t->PutProperty(PORTWAY_PROP_TLS_PIN, TextVariant(shown)), S_OK);
            } else {
                env.emplace("KELVO_TLS_FINGERPRINT", pin);
            }
            EXPECT_EQ(Open(t, Link::Tls), matching ? S_OK : E_FAIL);
            if (!matching) {
                EXPECT_EQ(t.Error(), PW_TLS_FAILED);
            }
            Drop();
        }
    }
}

// SSLKEYLOGFILE set: the session secrets are appended as NSS key-log lines
// (label, client random, secret); unset: no file is written.
TEST_F(PortwayLinkTest, KeyLogOnlyWhenAsked) {
    const std::string path = dir() + "/keys.log";
    for (bool asked : {false, true}) {
        ScopedEnv env("SSLKEYLOGFILE", asked ? path : std::string());
        Transport t;
        ASSERT_EQ(Open(t, Link::Tls), S_OK);
        Drop();
        EXPECT_EQ(std::filesystem::exists(path), asked);
    }
    std::ifstream in(path);
    std::set<std::string> labels;
    for (std::string label, random, secret; in >> label >> random >> secret;) {
        labels.insert(label);
        EXPECT_EQ(random.size(), 64u);
    }
    EXPECT_TRUE(labels.count("CLIENT_TRAFFIC_SECRET_0") && labels.count("SERVER_TRAFFIC_SECRET_0"));
}

TEST_F(PortwayLinkTest, PlainServerFailsTheHandshake) {
    Transport t;
    std::thread server([&] {
        peer_ = listener_.Accept();
        EXPECT_EQ(::write(peer_, std::string(64, 'x').data(), 64), 64);
    });
    EXPECT_EQ(t.Open(listener_.Text(2000, true)), E_FAIL);
    server.join();
    EXPECT_EQ(t.Error(), PW_TLS_FAILED);
}

// Open failures, and the connect time-outs they wait for.
TEST_F(PortwayTest, OpenFailuresTellTheirCauseAndWaitTheirTimeOut) {
    Listener bound("127.0.0.1", -1); // bound, not listening: the port refuses
    Listener silent("127.0.0.1");    // accepts, never answers a handshake
    // A listener whose accept queue is full drops further connection requests,
    // so the connect neither completes nor is refused.
    Listener full("127.0.0.1", 0);
    std::vector<int> fillers;
    for (int i = 0; i < 2; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(full.port()));
        ::inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
        ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        fillers.push_back(fd);
    }
    std::ofstream(devices() + "/plain-file") << "x";
    std::filesystem::create_symlink(devices() + "/plain-file", devices() + "/com2");
    std::filesystem::create_symlink(devices() + "/gone", devices() + "/com3");
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    std::filesystem::create_symlink(::ttyname(slave), devices() + "/com7");
    struct Case {
        std::string text;
        PortwayErrorCode error;
        long long waitsMs; // at least: the time-out it waits for
    };
    const Case cases[] = {
        {bound.Text(3000), PW_CONNECT_FAILED, 0}, // refused
        {"TCPIP:no-such-host.invalid/17221,2000", PW_HOST_NOT_FOUND, 0},
        {"TCPIP:/17221,2000", PW_HOST_NOT_FOUND, 0},
        {"TCPIP:no-such-host.invalid/17221,2000,SSL", PW_HOST_NOT_FOUND, 0},
        {full.Text(150), PW_CONNECT_FAILED, 140},
        {silent.Text(150, true), PW_TLS_FAILED, 140},
        {"TCPIP:127.0.0.1/17221", PW_BAD_CONNECTION_TEXT, 0},
        {"SERIAL:1", PW_BAD_CONNECTION_TEXT, 0},
        {"COM:2,921600,N,8,1", PW_NO_DEVICE, 0},   // not a character device
        {"COM:3,921600,N,8,1", PW_NO_DEVICE, 0},   // dangling link
        {"COM:250,921600,N,8,1", PW_NO_DEVICE, 0}, // no link: /dev/ttyS249
        {"COM:7,12345,N,8,1", PW_PORT_OPEN_FAILED, 0},
        {"SOCK:absent_COM,1,921600,N,8,1", PW_PORT_OPEN_FAILED, 0}, // no bridge listening
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Transport t;
        auto start = Clock::now();
        EXPECT_EQ(t.Open(c.text), E_FAIL);
        EXPECT_EQ(t.Error(), c.error);
        EXPECT_GE(MillisSince(start), c.waitsMs);
    }
    for (int fd : fillers)
        ::close(fd);
    ::close(slave);
    ::close(master);
}

} // namespace
} // namespace kelvo::test
