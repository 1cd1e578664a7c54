// The built kelvo-sim binary, driven over its real links: TCP, TLS and a
// pseudo-terminal serial line.
#include "protocol/bytes.h"
#include "protocol/crc16.h"
#include "support/sim_process.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

extern char** environ;

namespace {

using kelvo::test::SimProcess;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int kStartTimeoutMs = 20000;
constexpr int kIoTimeoutMs = 5000;

Bytes SaveFrame(std::uint16_t counter) {
    kelvo::FrameWriter w;
    w.u8(0).u16(counter).u8(2).u16(0x300E);
    return std::move(w.data());
}

Bytes SaveAnswer(std::uint8_t node, std::uint16_t counter) {
    kelvo::FrameWriter w;
    w.u8(node).u16(counter).u8(2).u16(0x30E0);
    return std::move(w.data());
}

int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

// Reads up to `size` bytes, stopping early at end of stream or time-out.
Bytes ReadBytes(int fd, std::size_t size, int timeoutMs = kIoTimeoutMs) {
    Bytes out;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < size) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, RemainingMs(deadline)) <= 0)
            break;
        std::uint8_t buffer[256];
        ssize_t n = read(fd, buffer, std::min(sizeof buffer, size - out.size()));
        if (n <= 0)
            break;
        out.insert(out.end(), buffer, buffer + n);
    }
    return out;
}

bool WriteBytes(int fd, const Bytes& bytes) {
    return write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

int Connect(const std::string& address, std::uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0)
            close(fd);
    }
};

TEST(SimProcess, AnswersSaveOverTcpAndRemovesItsComLinkOnSigterm) {
    std::string devices = testing::TempDir() + "kelvo-sim-devices-" + std::to_string(getpid());
    std::filesystem::remove_all(devices);
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.91.1", "--no-tls", "--node", "4", "--link-com", "3"},
                          {"KELVO_DEVICES=" + devices}));
    std::string link = devices + "/com3";
    EXPECT_EQ(sim.Line("com"), link);
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.Line("serial"));

    FdCloser client{Connect("127.0.91.1", 17221)};
    ASSERT_GE(client.fd, 0);
    ASSERT_TRUE(WriteBytes(client.fd, SaveFrame(0x0155)));
    EXPECT_EQ(ReadBytes(client.fd, 6), SaveAnswer(4, 0x0155));

    EXPECT_EQ(sim.WaitExit(SIGTERM), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(link));
    std::filesystem::remove_all(devices);
}

TEST(SimProcess, AnswersSaveOnTheSerialLineForItsAddressOnly) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--no-tcp", "--no-tls", "--serial", "--serial-address", "5"}));
    FdCloser line{open(sim.Line("serial").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)};
    ASSERT_GE(line.fd, 0) << sim.Line("serial");
    termios tio{};
    tcgetattr(line.fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(line.fd, TCSANOW, &tio);

    auto envelope = [](std::uint8_t address, Bytes frame) {
        frame.insert(frame.begin(), address);
        std::uint16_t crc = kelvo::Crc16(frame);
        frame.push_back(static_cast<std::uint8_t>(crc));
        frame.push_back(static_cast<std::uint8_t>(crc >> 8));
        return frame;
    };
    // A request for address 6 is dropped; the one for 5 right behind it is answered.
    Bytes requests = envelope(6, SaveFrame(1));
    Bytes mine = envelope(5, SaveFrame(2));
    requests.insert(requests.end(), mine.begin(), mine.end());
    ASSERT_TRUE(WriteBytes(line.fd, requests));
    EXPECT_EQ(ReadBytes(line.fd, 9), envelope(5, SaveAnswer(0, 2)));
    EXPECT_EQ(sim.WaitExit(SIGINT), 0);
}

TEST(SimProcess, AnswersSaveOverTlsWithThePrintedCertificate) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.91.3", "--no-tcp", "--print-fingerprint",
                           "--cert-not-before", "1700000000", "--cert-not-after", "2000000000"}));
    EXPECT_EQ(sim.Line("tls"), "127.0.91.3:17222");
    EXPECT_EQ(sim.Line("cert-dates"), "1700000000 2000000000");

    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()),
                                                          SSL_CTX_free);
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    FdCloser socketFd{Connect("127.0.91.3", 17222)};
    ASSERT_GE(socketFd.fd, 0);
    timeval limit{kIoTimeoutMs / 1000, 0};
    setsockopt(socketFd.fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx.get()), SSL_free);
    SSL_set_fd(ssl.get(), socketFd.fd);
    ASSERT_EQ(SSL_connect(ssl.get()), 1);

    X509* peer = SSL_get0_peer_certificate(ssl.get());
    ASSERT_NE(peer, nullptr);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    X509_digest(peer, EVP_sha256(), digest, &length);
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    EXPECT_EQ(hex, sim.Line("fingerprint"));

    Bytes request = SaveFrame(77);
    ASSERT_EQ(SSL_write(ssl.get(), request.data(), static_cast<int>(request.size())), 6);
    Bytes answer(6);
    int got = 0;
    while (got < 6) {
        int n = SSL_read(ssl.get(), answer.data() + got, 6 - got);
        ASSERT_GT(n, 0);
        got += n;
    }
    EXPECT_EQ(answer, SaveAnswer(0, 77));
    SSL_shutdown(ssl.get());
    EXPECT_EQ(sim.WaitExit(SIGTERM), 0);
}

TEST(SimProcess, CloseFaultOnFirstRequestThenNormalAnswersOneClientAtATime) {
    SimProcess sim;
    ASSERT_TRUE(
        sim.Start({"--addr", "127.0.91.4", "--no-tls", "--fault", "close", "--fault-count", "1"}));
    {
        FdCloser first{Connect("127.0.91.4", 17221)};
        ASSERT_TRUE(WriteBytes(first.fd, SaveFrame(9)));
        EXPECT_EQ(ReadBytes(first.fd, 6), (Bytes{0x00, 0x09, 0x00})) << "cut, then closed";
    }
    FdCloser a{Connect("127.0.91.4", 17221)};
    FdCloser b{Connect("127.0.91.4", 17221)}; // waits in the backlog
    ASSERT_GE(a.fd, 0);
    ASSERT_GE(b.fd, 0);
    ASSERT_TRUE(WriteBytes(b.fd, SaveFrame(20)));
    ASSERT_TRUE(WriteBytes(a.fd, SaveFrame(10)));
    EXPECT_EQ(ReadBytes(a.fd, 6), SaveAnswer(0, 10));
    ASSERT_TRUE(WriteBytes(a.fd, SaveFrame(11)));
    EXPECT_EQ(ReadBytes(a.fd, 6), SaveAnswer(0, 11));
    pollfd p = {b.fd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0) << "the second client is not served while the first stays";
    close(a.fd);
    a.fd = -1;
    EXPECT_EQ(ReadBytes(b.fd, 6), SaveAnswer(0, 20));
    EXPECT_EQ(sim.WaitExit(SIGTERM), 0);
}

TEST(SimProcess, EndsByItselfAfterMaxRequests) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.91.5", "--no-tls", "--max-requests", "2"}));
    FdCloser client{Connect("127.0.91.5", 17221)};
    Bytes two = SaveFrame(1);
    Bytes second = SaveFrame(2);
    two.insert(two.end(), second.begin(), second.end());
    ASSERT_TRUE(WriteBytes(client.fd, two));
    Bytes expected = SaveAnswer(0, 1);
    Bytes expectedSecond = SaveAnswer(0, 2);
    expected.insert(expected.end(), expectedSecond.begin(), expectedSecond.end());
    EXPECT_EQ(ReadBytes(client.fd, 12), expected);
    EXPECT_EQ(sim.WaitExit(), 0);
}

TEST(SimProcess, RefusesBadOptionsAndStateFiles) {
    std::string state = testing::TempDir() + "kelvo-sim-bad-state.xml";
    {
        FILE* file = std::fopen(state.c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fputs("<kelvo-sim><identity node='300'/></kelvo-sim>", file);
        std::fclose(file);
    }
    struct Case {
        std::vector<std::string> args;
        int status;
    };
    for (const Case& c :
         {Case{{"--fault", "loud", "--no-tcp", "--no-tls"}, 2}, Case{{"--node", "256"}, 2},
          Case{{"--state", state, "--no-tcp", "--no-tls"}, 1}}) {
        SimProcess sim;
        ASSERT_TRUE(sim.Spawn(c.args));
        EXPECT_EQ(sim.WaitExit(), c.status) << c.args[0] << " " << c.args[1];
    }
    std::remove(state.c_str());
}

} // namespace
