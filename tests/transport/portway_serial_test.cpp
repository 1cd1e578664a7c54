// Serial links on a pseudo-terminal linked as comN, and the Unix socket bridge.
#include "portway_testing.h"

#include <filesystem>
#include <fstream>
#include <pty.h>
#include <sys/un.h>
#include <termios.h>

namespace kelvo::test {
namespace {

using Clock = std::chrono::steady_clock;

class PortwaySerialTest : public PortwayTest {
protected:
    void SetUp() override {
        PortwayTest::SetUp();
        int slave = -1;
        ASSERT_EQ(::openpty(&master_, &slave, nullptr, nullptr, nullptr), 0);
        slavePath_ = ::ttyname(slave);
        ::close(slave);
        std::filesystem::create_symlink(slavePath_, devices() + "/com7");
    }
    void TearDown() override {
        if (master_ >= 0)
            ::close(master_);
        PortwayTest::TearDown();
    }
    bool DeviceSends(const std::string& data) {
        return ::write(master_, data.data(), data.size()) == static_cast<ssize_t>(data.size());
    }

    int master_ = -1;
    std::string slavePath_;
};

TEST_F(PortwaySerialTest, RawLinkAtTheConfiguredSpeed) {
    Transport t;
    ASSERT_EQ(t.Open("COM:7,921600,N,8,1"), S_OK);
    termios tio{};
    ASSERT_EQ(::tcgetattr(master_, &tio), 0);
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B921600));
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);

    // Raw mode: control characters and CR/LF pass unchanged.
    std::string frame("\x05\x00\r\n\x03\x11\x13\xff", 8);
    ASSERT_TRUE(DeviceSends(frame));
    EXPECT_EQ(t.Read(frame.size(), 2000), frame);
    EXPECT_EQ(t.Write(frame), S_OK);
    EXPECT_EQ(t->Flush(), S_OK);
    EXPECT_EQ(ReadExact(master_, frame.size()), frame);
}

TEST_F(PortwaySerialTest, ShortDataTimesOutAndResetDrops) {
    Transport t;
    ASSERT_EQ(t.Open("COM:7"), S_OK);
    ASSERT_TRUE(DeviceSends("ab"));
    auto start = Clock::now();
    EXPECT_FALSE(t.Read(3, 50));
    EXPECT_EQ(t.Error(), PW_TIMEOUT);
    EXPECT_LT(MillisSince(start), 1000);

    ASSERT_TRUE(DeviceSends("old answer"));
    EXPECT_EQ(t->Reset(), S_OK);
    EXPECT_FALSE(t.Read(1, 50));
    ASSERT_TRUE(DeviceSends("new"));
    EXPECT_EQ(t.Read(3, 2000), "new");
}

TEST_F(PortwaySerialTest, WaitForTheAnswerAfterARequest) {
    // Waits longer than the driver's tenth-of-a-second read slice, so that the
    // wait runs in blocking reads and ends in poll. The hang-up comes last: it
    // closes the pseudo-terminal.
    enum class Device { Answers, Silent, HangsUp };
    struct Case {
        Device device;
        PortwayErrorCode expected;
    };
    for (Case c : {Case{Device::Answers, PW_OK}, Case{Device::Silent, PW_TIMEOUT},
                   Case{Device::HangsUp, PW_PEER_CLOSED}}) {
        SCOPED_TRACE(static_cast<int>(c.device));
        Transport t;
        ASSERT_EQ(t.Open("COM:7"), S_OK);
        ASSERT_EQ(t.Write("req"), S_OK);
        ASSERT_EQ(ReadExact(master_, 3), "req");
        if (c.device == Device::Answers) {
            ASSERT_TRUE(DeviceSends("ans"));
        }
        if (c.device == Device::HangsUp) {
            ::close(master_);
            master_ = -1;
        }
        const auto start = Clock::now();
        const std::optional<std::string> got = t.Read(3, 350);
        const long long elapsed = MillisSince(start);
        EXPECT_EQ(t.Error(), c.expected);
        EXPECT_EQ(got.has_value(), c.expected == PW_OK);
        if (c.expected == PW_TIMEOUT) {
            EXPECT_GE(elapsed, 349);
        }
        if (c.device == Device::HangsUp) { // and again at once
            EXPECT_FALSE(t.Read(1, 5000));
            EXPECT_EQ(t.Error(), PW_PEER_CLOSED);
        }
        EXPECT_LT(MillisSince(start), 1000);
    }
}

TEST_F(PortwaySerialTest, MissingDevicesAndBridges) {
    std::ofstream(devices() + "/plain-file") << "x";
    std::filesystem::create_symlink(devices() + "/plain-file", devices() + "/com2");
    std::filesystem::create_symlink(devices() + "/gone", devices() + "/com3");
    struct Case {
        const char* text;
        PortwayErrorCode error;
    };
    const Case cases[] = {
        {"COM:2,921600,N,8,1", PW_NO_DEVICE},   // not a character device
        {"COM:3,921600,N,8,1", PW_NO_DEVICE},   // dangling link
        {"COM:250,921600,N,8,1", PW_NO_DEVICE}, // no link: /dev/ttyS249
        {"COM:7,12345,N,8,1", PW_PORT_OPEN_FAILED},
        {"SOCK:absent_COM,1,921600,N,8,1", PW_PORT_OPEN_FAILED}, // no bridge listening
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Transport t;
        auto start = Clock::now();
        EXPECT_EQ(t.Open(c.text), E_FAIL);
        EXPECT_EQ(t.Error(), c.error);
        EXPECT_LT(MillisSince(start), 1000);
    }
}

// The socket bridge named line_a, listening where the transport looks for it.
class PortwayBridgeTest : public PortwayTest {};

TEST_F(PortwayBridgeTest, ExchangesBytesThroughTheSocket) {
    std::filesystem::create_directories(dir() + "/kelvo");
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s/kelvo/line_a.sock", dir().c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    Transport t;
    ASSERT_EQ(t.Open("SOCK:line_a_COM,4,921600,N,8,1"), S_OK);
    int peer = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(SendAll(peer, "answer"));
    EXPECT_EQ(t.Read(6, 2000), "answer");
    EXPECT_EQ(t.Write("ask"), S_OK);
    EXPECT_EQ(t->Flush(), S_OK);
    EXPECT_EQ(ReadExact(peer, 3), "ask");

    ::close(peer);
    auto start = Clock::now();
    EXPECT_FALSE(t.Read(1, 5000));
    EXPECT_EQ(t.Error(), PW_PEER_CLOSED);
    EXPECT_LT(MillisSince(start), 1000);
    ::close(listener);
}

} // namespace
} // namespace kelvo::test
