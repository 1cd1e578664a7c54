// The built kelvo-sim binary, driven over its real links: TCP, TLS and a
// pseudo-terminal serial line.
#include "sim/sim_helpers.h"

#include "support/sim_device.h"
#include "support/sim_process.h"
#include "support/variant_of.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <fcntl.h>
#include <signal.h>
#include <termios.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

namespace kelvo::sim {
namespace {

using test::SimProcess;

Bytes SaveFrame(std::uint16_t counter) {
    return Frame(counter, 0x300E);
}
Bytes SaveAnswer(std::uint8_t node, std::uint16_t counter) {
    return Frame(counter, 0x30E0, {}, node);
}

TEST(SimProcess, AnswersSaveOverTcpAndRemovesItsComLinkOnSigterm) {
    std::string devices = testing::TempDir() + "kelvo-sim-devices-" + std::to_string(getpid());
    std::filesystem::remove_all(devices);
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.91.1", "--no-tls", "--node", "4", "--link-com", "3"},
                          {"KELVO_DEVICES=" + devices}));
    std::string link = devices + "/com3";
    EXPECT_EQ(sim.Line("com"), link);
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.Line("serial"));

    FdCloser client{ConnectTcp("127.0.91.1")};
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

    // A request for address 6 is dropped; the one for 5 right behind it is answered.
    ASSERT_TRUE(WriteBytes(
        line.fd, Join({test::SerialWrap(6, SaveFrame(1)), test::SerialWrap(5, SaveFrame(2))})));
    EXPECT_EQ(ReadBytes(line.fd, 9), test::SerialWrap(5, SaveAnswer(0, 2)));
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
    FdCloser socketFd{ConnectTcp("127.0.91.3", 17222)};
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
        FdCloser first{ConnectTcp("127.0.91.4")};
        ASSERT_TRUE(WriteBytes(first.fd, SaveFrame(9)));
        EXPECT_EQ(ReadBytes(first.fd, 6), (Bytes{0x00, 0x09, 0x00})) << "cut, then closed";
    }
    FdCloser a{ConnectTcp("127.0.91.4")};
    FdCloser b{ConnectTcp("127.0.91.4")}; // waits in the backlog
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
    FdCloser client{ConnectTcp("127.0.91.5")};
    ASSERT_TRUE(WriteBytes(client.fd, Join({SaveFrame(1), SaveFrame(2)})));
    EXPECT_EQ(ReadBytes(client.fd, 12), Join({SaveAnswer(0, 1), SaveAnswer(0, 2)}));
    EXPECT_EQ(sim.WaitExit(), 0);
}

TEST(SimProcess, RefusesBadOptionsAndStateFiles) {
    std::string state = testing::TempDir() + "kelvo-sim-bad-state.xml";
    std::ofstream(state) << "<kelvo-sim><identity node='300'/></kelvo-sim>";
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

TEST(SimProcess, PlantServesIndependentDevicesOverTcpAndTlsAsItsListSays) {
    const std::string list =
        testing::TempDir() + "kelvo-sim-plant-" + std::to_string(getpid()) + ".txt";
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--devices", "3", "--addr", "127.0.91.10", "--list-file", list}));
    std::stringstream text;
    text << std::ifstream(list).rdbuf();
    std::remove(list.c_str());
    EXPECT_EQ(text.str(), "dev001 TCPIP:127.0.91.10/17221,3000\n"
                          "dev002 TCPIP:127.0.91.11/17221,3000\n"
                          "dev003 TCPIP:127.0.91.12/17221,3000\n");

    // A write on the second device is seen there over both links, and by no other device.
    test::SimDevice writer(u"TCPIP:127.0.91.11/17221,3000");
    ASSERT_EQ(writer->put_Par(0x1004, 0, VT_I4, test::VariantOf(VT_I4, 77)), S_OK);
    const struct {
        const char16_t* link;
        LONG value;
    } reads[] = {{u"TCPIP:127.0.91.11/17222,3000,SSL", 77},
                 {u"TCPIP:127.0.91.10/17221,3000", -123456},
                 {u"TCPIP:127.0.91.12/17222,3000,SSL", -123456}};
    for (const auto& read : reads) {
        test::SimDevice device(read.link);
        VARIANT v;
        ASSERT_EQ(device->get_Par(0x1004, 0, VT_I4, &v), S_OK) << "error " << device->errorCode;
        EXPECT_EQ(v.lVal, read.value);
    }
    EXPECT_EQ(sim.WaitExit(SIGTERM), 0);
}

} // namespace
} // namespace kelvo::sim
