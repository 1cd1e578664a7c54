// The TCP link against real loopback peers. A peer that closes and the reset
// before each request run against the simulator in the fault matrix and
// SaveAgainstSim.ClosedConnectionFailsAtOnceAndReopens; writes of every size
// in the fault matrix and DataAgainstSim.
#include "portway_testing.h"

#include <fcntl.h>

namespace kelvo::test {
namespace {

using Clock = std::chrono::steady_clock;

class PortwayTcpTest : public PortwayTest {
protected:
    // Opens the transport on the listener and accepts its connection.
    void Connect() {
        ASSERT_EQ(transport_.Open(listener_.Text()), S_OK);
        peer_ = listener_.Accept();
        ASSERT_GE(peer_, 0);
    }
    void TearDown() override {
        if (peer_ >= 0)
            ::close(peer_);
        PortwayTest::TearDown();
    }

    Listener listener_{"127.0.0.1"};
    Transport transport_;
    int peer_ = -1;
};

TEST_F(PortwayTcpTest, ReadsExactlyTheAskedLength) {
    Connect();
    ASSERT_TRUE(SendAll(peer_, "ABCDEF"));
    EXPECT_EQ(transport_.Read(4, 2000), "ABCD");
    EXPECT_EQ(transport_.Read(2, 2000), "EF");
    EXPECT_EQ(transport_.Error(), PW_OK);

    // Bytes that come in several pieces make up one read.
    ASSERT_TRUE(SendAll(peer_, "12"));
    ASSERT_TRUE(SendAll(peer_, "345"));
    EXPECT_EQ(transport_.Read(5, 2000), "12345");

    // A zero length succeeds at once.
    EXPECT_EQ(transport_->Read(nullptr, 0, 0), S_OK);
    EXPECT_EQ(transport_->Read(nullptr, 1, 0), E_POINTER);

    // Short data times out within bounds; the link stays usable.
    ASSERT_TRUE(SendAll(peer_, "abc"));
    auto start = Clock::now();
    EXPECT_FALSE(transport_.Read(5, 50));
    long long elapsed = MillisSince(start);
    EXPECT_EQ(transport_.Error(), PW_TIMEOUT);
    EXPECT_GE(elapsed, 49);
    EXPECT_LT(elapsed, 1000);
    ASSERT_TRUE(SendAll(peer_, "xy"));
    EXPECT_EQ(transport_.Read(2, 2000), "xy");

    // An answer larger than the transport reads ahead comes whole.
    const std::string big(10000, 'v');
    ASSERT_TRUE(SendAll(peer_, big));
    EXPECT_EQ(transport_.Read(9000, 2000), big.substr(0, 9000));
    EXPECT_EQ(transport_.Read(1000, 2000), big.substr(9000));
}

TEST_F(PortwayTcpTest, WritingToAVanishedPeerFailsWithoutSignal) {
    Connect();
    // A reset connection: the peer closes with unread data pending.
    ASSERT_EQ(transport_.Write("unread"), S_OK);
    ASSERT_EQ(ReadExact(peer_, 1), "u");
    linger hard{1, 0};
    ::setsockopt(peer_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(peer_);
    peer_ = -1;
    // The process survives (no SIGPIPE) and the write fails.
    HRESULT hr = S_OK;
    for (int i = 0; i < 100 && SUCCEEDED(hr); ++i)
        hr = transport_.Write(std::string(1000, 'z'));
    EXPECT_EQ(hr, E_FAIL);
    EXPECT_EQ(transport_.Error(), PW_PEER_CLOSED);
}

TEST_F(PortwayTcpTest, OpenAgainClosesTheOldLink) {
    Connect();
    Listener second("127.0.0.1");
    ASSERT_EQ(transport_.Open(second.Text()), S_OK);
    // The first peer sees the end of its connection.
    EXPECT_EQ(ReadExact(peer_, 1, 2000), "");
    int other = second.Accept();
    ASSERT_GE(other, 0);
    ASSERT_TRUE(SendAll(other, "2"));
    EXPECT_EQ(transport_.Read(1, 2000), "2");
    ::close(other);

    // A plain link has no certificate.
    Variant v;
    EXPECT_EQ(transport_->GetProperty(PORTWAY_PROP_CERT_NOT_AFTER, &v), E_FAIL);
    EXPECT_EQ(transport_.Error(), PW_NO_CERTIFICATE);
    EXPECT_EQ(transport_->GetProperty(PORTWAY_PROP_TLS_FINGERPRINT, &v), E_FAIL);
    EXPECT_EQ(v.vt, VT_EMPTY);

    EXPECT_EQ(transport_->Close(), S_OK);
    EXPECT_EQ(transport_->Read(nullptr, 1, 0), E_FAIL);
    EXPECT_EQ(transport_.Error(), PW_NOT_OPEN);
}

// Open failures and how long they may take.
class PortwayTcpOpenTest : public PortwayTest {};

TEST_F(PortwayTcpOpenTest, FailuresWithinTheConnectTimeout) {
    Listener bound("127.0.0.1", -1); // bound, not listening: the port refuses
    struct Case {
        std::string text;
        PortwayErrorCode error;
    };
    const Case cases[] = {
        {bound.Text(3000), PW_CONNECT_FAILED}, // refused: no wait for the time-out
        {"TCPIP:no-such-host.invalid/17221,2000", PW_HOST_NOT_FOUND},
        {"TCPIP:/17221,2000", PW_HOST_NOT_FOUND},
        {"TCPIP:no-such-host.invalid/17221,2000,SSL", PW_HOST_NOT_FOUND},
        {"TCPIP:127.0.0.1/17221", PW_BAD_CONNECTION_TEXT},
        {"SERIAL:1", PW_BAD_CONNECTION_TEXT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Transport t;
        auto start = Clock::now();
        EXPECT_EQ(t.Open(c.text), E_FAIL);
        EXPECT_EQ(t.Error(), c.error);
        EXPECT_LE(MillisSince(start), 2100);
    }
}

TEST_F(PortwayTcpOpenTest, SilentHostTimesOutWithinConnectTimeout) {
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
    Transport t;
    auto start = Clock::now();
    EXPECT_EQ(t.Open(full.Text(150)), E_FAIL);
    long long elapsed = MillisSince(start);
    EXPECT_EQ(t.Error(), PW_CONNECT_FAILED);
    EXPECT_GE(elapsed, 140);
    EXPECT_LT(elapsed, 1000);
    for (int fd : fillers)
        ::close(fd);
}

} // namespace
} // namespace kelvo::test
