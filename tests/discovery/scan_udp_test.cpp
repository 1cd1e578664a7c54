// UDP scan: the request bytes, the rendering of answers (also cut and hostile
// ones), the listening loop against loopback responders through the route
// seam, and the broadcast to a simulator on the same host.
#include "device/kelvo_object.h"
#include "discovery/scan_udp.h"
#include "protocol/bytes.h"
#include "support/sim_process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>

namespace kelvo::test {
namespace {

using discovery::RenderScanAnswer;
using discovery::ScanRoute;
using discovery::ScanUdp;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

struct RenderCase {
    const char* name;
    Bytes datagram;
    const char* text; // null: not an answer, nothing appended
};

const RenderCase kRenderCases[] = {
    {"Mac", {2, 1, 0, 0, 0, 9, 0, 6, 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, "00:1A:2B:3C:4D:5E\t\n"},
    {"LittleEndianNumber", {2, 1, 0, 0, 0, 8, 0, 4, 1, 0, 0, 0}, "1\t\n"},
    {"TextEndsAtZero", {2, 1, 0, 0, 0, 6, 0, 4, 0x41, 0x42, 0x00, 0x43}, "AB\t\n"},
    {"OneByteTypes", {2, 2, 0, 0, 0, 5, 0, 1, 0xFF, 0, 11, 0, 2, 7, 9}, "255\t7\t\n"},
    {"UnknownTypesEmptyFields",
     {2, 3, 0, 0, 0, 12, 0, 1, 0x55, 0, 0, 0, 0, 0xFF, 0xFF, 0, 2, 1, 2},
     "\t\t\t\n"},
    {"AllAddressTypes",
     {2, 4, 9, 9, 0, 1, 0, 4, 1, 1, 1, 1, 0, 2, 0, 4, 2, 2,
      2, 2, 0, 3, 0, 4, 3, 3, 3, 3, 0, 4, 0, 4, 4, 4, 4, 4},
     "1.1.1.1\t2.2.2.2\t3.3.3.3\t4.4.4.4\t\n"},
    {"ValueLongerThanWidthSkipped", {2, 2, 0, 0, 0, 5, 0, 3, 1, 2, 3, 0, 5, 0, 1, 4}, "1\t4\t\n"},
    {"CountZero", {2, 0, 0, 0, 0, 1, 0, 4, 1, 2, 3, 4}, "\n"},
    {"CountNegative", {2, 0x80, 0, 0, 0, 1, 0, 4, 1, 2, 3, 4}, "\n"},
    {"HeaderOnly", {2, 1, 0, 0}, "\n"},
    {"Request", {1, 1, 0, 0, 0, 10, 0, 4, 1, 2, 3, 4}, nullptr},
    {"KindThree", {3, 1, 0, 0, 0, 1, 0, 4, 1, 2, 3, 4}, nullptr},
    {"Empty", {}, nullptr},
    // Cut answers: nothing is read past the datagram.
    {"CountBeyondItems", {2, 5, 0, 0, 0, 1, 0, 4, 10, 0, 0, 1}, "10.0.0.1\t\n"},
    {"MacValueCut", {2, 1, 0, 0, 0, 9, 0, 6, 0xAA}, "AA:00:00:00:00:00\t\n"},
    {"EmptyValues", {2, 3, 0, 0, 0, 1, 0, 0, 0, 6, 0, 0, 0, 5, 0, 0}, "0.0.0.0\t\t0\t\n"},
};

TEST(ScanUdp, RenderAnswerToLine) {
    for (const RenderCase& c : kRenderCases) {
        SCOPED_TRACE(c.name);
        // The datagram lies at the end of its own allocation, so a read past it
        // is caught by the address sanitizer.
        auto copy = std::make_unique<std::uint8_t[]>(c.datagram.size());
        std::copy(c.datagram.begin(), c.datagram.end(), copy.get());
        std::string text = "before|";
        const bool answer = RenderScanAnswer(std::span(copy.get(), c.datagram.size()), text);
        EXPECT_EQ(answer, c.text != nullptr);
        EXPECT_EQ(text, std::string("before|") + (c.text ? c.text : ""));
    }
}

// ---- Loopback: the scanner bound to one address, the responder on another ----

std::uint32_t Ipv4(const char* text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return ntohl(a.s_addr);
}

// A UDP socket bound to address:17220; -1 when that fails.
int BindUdp(const char* address) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(discovery::kDiscoveryPort);
    local.sin_addr.s_addr = htonl(Ipv4(address));
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0)
        return fd;
    close(fd);
    return -1;
}

// Answers the first request that reaches the bound UDP socket `fd` with the
// datagrams given, in order, on a thread of its own (at most 5 s); the
// request received. The socket is closed at the end.
std::future<Bytes> Respond(int fd, std::vector<Bytes> answers) {
    return std::async(std::launch::async, [fd, answers] {
        Bytes request(600);
        pollfd p{fd, POLLIN, 0};
        sockaddr_in from{};
        socklen_t size = sizeof from;
        const ssize_t n = poll(&p, 1, 5000) == 1
                              ? recvfrom(fd, request.data(), request.size(), 0,
                                         reinterpret_cast<sockaddr*>(&from), &size)
                              : -1;
        request.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        for (const Bytes& answer : answers)
            sendto(fd, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), size);
        close(fd);
        return request;
    });
}

ScanRoute Route(const char* destination) {
    ScanRoute route;
    route.destination = Ipv4(destination);
    route.step = 100ms;
    return route;
}

TEST(ScanLoopback, AnswersInOrderOfArrivalOthersIgnored) {
    const Bytes a{2, 1, 0, 0, 0, 1, 0, 4, 127, 0, 109, 2};
    const Bytes b{2, 2, 0, 0, 0, 6, 0, 2, 'd', '2', 0, 5, 0, 1, 9};
    // A text item of 512 bytes in a datagram cut to 512 by the receive: at most
    // 99 text bytes are shown.
    Bytes big{2, 1, 0xEE, 0xEE, 0, 7, 0x02, 0x00};
    big.resize(700, 0xEE);
    const int fd = BindUdp("127.0.109.2");
    ASSERT_GE(fd, 0);
    auto responder = Respond(fd, {{1, 1, 0, 0}, {3, 0, 0, 0}, a, b, a, big});
    std::string text;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(ScanUdp("127.0.109.1", 3, text, Route("127.0.109.2")));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(text, "127.0.109.2\t\nd2\t9\t\n127.0.109.2\t\n" + std::string(99, '\xEE') + "\t\n");
    // Three steps of 100 ms: between two and four steps of listening.
    EXPECT_GE(elapsed, 200ms);
    EXPECT_LT(elapsed, 1000ms);
    const Bytes request = responder.get();
    ASSERT_EQ(request.size(), 12u);
    EXPECT_EQ(Bytes(request.begin(), request.begin() + 8), (Bytes{1, 1, 0, 0, 0, 10, 0, 4}));
    EXPECT_LE(static_cast<std::uint32_t>(std::time(nullptr)) - ldle_u32(&request[8]), 2u);
}

TEST(ScanLoopback, TimeOutOfZeroOrLessSendsAndReturnsAtOnce) {
    for (int timeOut : {0, -5}) {
        const int fd = BindUdp("127.0.109.4");
        ASSERT_GE(fd, 0);
        auto responder = Respond(fd, {{2, 1, 0, 0, 0, 5, 0, 1, 1}});
        std::string text = "stale";
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(ScanUdp("127.0.109.3", timeOut, text, Route("127.0.109.4")));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
        EXPECT_EQ(text, "");
        EXPECT_EQ(responder.get().size(), 12u);
    }
}

TEST(ScanLoopback, NoAnswerIsNoFailureButSocketFailuresAre) {
    std::string text = "stale";
    EXPECT_TRUE(ScanUdp("127.0.109.5", 1, text, Route("127.0.109.6")));
    EXPECT_EQ(text, "");
    EXPECT_FALSE(ScanUdp("127.0.109", 1, text, Route("127.0.109.8"))) << "no address";
    EXPECT_FALSE(ScanUdp("", 1, text, Route("127.0.109.8"))) << "empty";
    EXPECT_FALSE(ScanUdp("192.0.2.77", 1, text, Route("127.0.109.8"))) << "not a local address";
    // The port on that address is taken: no address reuse.
    const int holder = BindUdp("127.0.109.7");
    ASSERT_GE(holder, 0);
    EXPECT_FALSE(ScanUdp("127.0.109.7", 1, text, Route("127.0.109.8")));
    close(holder);
    EXPECT_EQ(text, "");
}

TEST(ScanUDPMethod, FailuresLeaveTheObjectAlone) {
    CKelvo k;
    k.errorCode = 9;
    EXPECT_EQ(k.ScanUDP(nullptr, 0, nullptr), E_POINTER);
    Bstr bad(u"300.1.2.3");
    Bstr result;
    EXPECT_EQ(k.ScanUDP(bad.get(), 0, result.out()), E_FAIL);
    EXPECT_EQ(result.get(), nullptr);
    EXPECT_EQ(k.errorCode, 9);
}

// Routed to its address, then by the real broadcast from another address of
// the host.
TEST(ScanLoopback, SimulatorAnswersWithItsItems) {
    const std::string state = ::testing::TempDir() + "scan_sim_state.xml";
    std::ofstream(state) << R"(<kelvo-sim>
  <identity node="7"/>
  <discovery netmask="255.0.0.0" gateway="127.0.109.254" name="drive-1" serial="SN-42"
             mac="02:00:5E:10:00:01" firmware="10203" items="1 2 3 5 6 7 8 9 10">
    <item type="12" value="0102"/>
  </discovery>
</kelvo-sim>)";
    SimProcess sim;
    ASSERT_TRUE(sim.Start(
        {"--addr", "127.0.109.12", "--discovery", "--no-tls", "--no-tcp", "--state", state}));
    EXPECT_EQ(sim.Line("discovery"), "127.0.109.12:17220");
    std::string text;
    const auto request = static_cast<std::uint32_t>(std::time(nullptr));
    ASSERT_TRUE(ScanUdp("127.0.109.11", 3, text, Route("127.0.109.12")));
    // The time item echoes the request's time (a second may pass between).
    const std::string prefix =
        "127.0.109.12\t255.0.0.0\t127.0.109.254\t7\tdrive-1\tSN-42\t10203\t02:00:5E:10:00:01\t";
    ASSERT_EQ(text.substr(0, prefix.size()), prefix);
    const std::string time = text.substr(prefix.size(), 10);
    EXPECT_LE(std::stoul(time) - request, 2u);
    EXPECT_EQ(text.substr(prefix.size() + 10), "\t\t\n");

    ScanRoute broadcast;
    broadcast.step = 100ms;
    ASSERT_TRUE(ScanUdp("127.0.109.21", 3, text, broadcast));
    EXPECT_NE(text.find(prefix), std::string::npos) << text;
}

} // namespace
} // namespace kelvo::test
