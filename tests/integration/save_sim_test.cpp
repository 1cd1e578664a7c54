// Save_Command end to end: the Kelvo object, the port adapter and the Linux
// transport against kelvo-sim over TCP, TLS and a pseudo-terminal serial link.
#include "device/kelvo_object.h"
#include "support/sim_device.h"
#include "support/sim_process.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace kelvo::test {
namespace {

using Device = SimDevice;

class SaveAgainstSim : public ::testing::Test {
protected:
    void SetUp() override { RegisterPortwayClass(); }

    // A devices folder of this test's own, for the comN link.
    std::string Devices() {
        const std::string dir = ::testing::TempDir() + "kelvo-devices-" +
                                ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                                "-" + std::to_string(getpid());
        std::filesystem::remove_all(dir);
        setenv("KELVO_DEVICES", dir.c_str(), 1);
        return dir;
    }
};

TEST_F(SaveAgainstSim, OverTcp) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.92.1", "--no-tls"}));
    Device d(u"TCPIP:127.0.92.1/17221,3000");
    ASSERT_EQ(d.opened, 1) << d.error;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(d->Save_Command(), S_OK);
    EXPECT_EQ(d->errorCode, 0);
}

TEST_F(SaveAgainstSim, OverTlsWithTheCertificateDates) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.92.2", "--no-tcp", "--print-fingerprint",
                           "--cert-not-before", "1700000000", "--cert-not-after", "2000000000"}));
    Device d(u"TCPIP:127.0.92.2/17222,3000,SSL");
    ASSERT_EQ(d.opened, 1) << d.error;
    EXPECT_EQ(d->Save_Command(), S_OK);
    ULONG notBefore = 0, notAfter = 0;
    EXPECT_EQ(d->get_SSLCertNotBefore(&notBefore), S_OK);
    EXPECT_EQ(d->get_SSLCertNotAfter(&notAfter), S_OK);
    EXPECT_EQ(notBefore, 1700000000u);
    EXPECT_EQ(notAfter, 2000000000u);
}

TEST_F(SaveAgainstSim, OverSerialWithAddress5) {
    Devices();
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.92.3", "--no-tcp", "--no-tls", "--serial",
                           "--serial-address", "5", "--link-com", "7"}));
    Device d(u"COM:7,921600,N,8,1", true, 5);
    ASSERT_EQ(d.opened, 1) << d.error;
    EXPECT_EQ(d->Save_Command(), S_OK);
    // Broadcast address: the device answers with its own address, accepted.
    d->address = 255;
    EXPECT_EQ(d->Save_Command(), S_OK);
    // Another address is not answered: the echo never comes.
    d->address = 6;
    d->timeOut = 200;
    EXPECT_EQ(d->Save_Command(), E_FAIL);
    EXPECT_EQ(d->errorCode, 7);
}

struct FaultCase {
    const char* name;
    const char* fault;
    bool serial;
    SHORT code;
    int slot; // own loopback address and comN
};

const FaultCase kFaults[] = {
    {"Silent", "silent", false, 7, 1},
    {"WrongCounter", "wrong-counter", false, 4, 2},
    {"WrongStatus", "wrong-status", false, 5, 3},
    {"DeviceError", "device-error:0x12345678", false, 1, 4},
    {"SerialSilent", "silent", true, 7, 5},
    {"SerialWrongCounter", "wrong-counter", true, 4, 6},
    {"SerialDeviceError", "device-error:0x12345678", true, 1, 7},
    {"SerialBadCrc", "bad-crc", true, 13, 8},
    {"SerialWrongAddress", "wrong-address", true, 12, 9},
};

class SaveFault : public SaveAgainstSim, public ::testing::WithParamInterface<FaultCase> {};

// The fault hits the first request only; the object stays usable.
TEST_P(SaveFault, GivesItsCodeAndTheNextRequestWorks) {
    const FaultCase& fc = GetParam();
    const int index = fc.slot;
    const std::string addr = "127.0.93." + std::to_string(index);
    std::vector<std::string> args = {"--addr",        addr, "--no-tls", "--fault", fc.fault,
                                     "--fault-count", "1"};
    if (fc.serial) {
        Devices();
        args.insert(args.end(), {"--no-tcp", "--serial", "--serial-address", "5", "--link-com",
                                 std::to_string(20 + index)});
    }
    SimProcess sim;
    ASSERT_TRUE(sim.Start(args));
    const std::u16string text =
        fc.serial ? u"COM:" + Utf8ToUtf16(std::to_string(20 + index)) + u",921600,N,8,1"
                  : u"TCPIP:" + Utf8ToUtf16(addr) + u"/17221,3000";
    Device d(text, fc.serial, 5);
    ASSERT_EQ(d.opened, 1) << d.error;
    d->timeOut = 300;

    EXPECT_EQ(d->Save_Command(), E_FAIL);
    SHORT code = 0;
    d->get_ErrorCode(&code);
    EXPECT_EQ(code, fc.code);
    if (fc.code == 1) {
        LONG status = 0;
        d->get_DeviceStatus(&status);
        EXPECT_EQ(static_cast<std::uint32_t>(status), 0x12345678u);
    }
    EXPECT_EQ(d->Save_Command(), S_OK);
    LONG success = 0;
    d->get_Success(&success);
    EXPECT_EQ(success, 1);
}

INSTANTIATE_TEST_SUITE_P(Faults, SaveFault, ::testing::ValuesIn(kFaults),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SaveAgainstSim, ClosedConnectionFailsAtOnceAndReopens) {
    SimProcess sim;
    ASSERT_TRUE(
        sim.Start({"--addr", "127.0.92.4", "--no-tls", "--fault", "close", "--fault-count", "1"}));
    Device d(u"TCPIP:127.0.92.4/17221,3000");
    ASSERT_EQ(d.opened, 1) << d.error;
    d->timeOut = 10000;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(d->Save_Command(), E_FAIL);
    EXPECT_EQ(d->errorCode, 7);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    ASSERT_EQ(d.Open(u"TCPIP:127.0.92.4/17221,3000"), 1);
    EXPECT_EQ(d->Save_Command(), S_OK);
}

struct OpenFailure {
    const char* name;
    const char16_t* text;
    PortwayErrorCode code;
};

TEST_F(SaveAgainstSim, OpenFailuresGiveTheTransportCodesWithinTheConnectTimeOut) {
    Devices();
    const OpenFailure cases[] = {
        {"closed port", u"TCPIP:127.0.92.5/17221,1000", PW_CONNECT_FAILED},
        {"unknown host", u"TCPIP:no-such-host.invalid/17221,1000", PW_HOST_NOT_FOUND},
        {"no device", u"COM:250,921600,N,8,1", PW_NO_DEVICE},
    };
    for (const auto& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        Device d(c.text);
        EXPECT_EQ(d.opened, 0) << c.name;
        EXPECT_EQ(d.error, c.code) << c.name;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500))
            << c.name;
        EXPECT_EQ(d->Save_Command(), E_FAIL);
    }
}

// Two processes with two threads each share one serial link through one comN;
// with the link lock their exchanges never mix, so every answer matches.
TEST_F(SaveAgainstSim, OneSerialLinkSharedByProcessesAndThreads) {
    Devices();
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.92.6", "--no-tcp", "--no-tls", "--serial",
                           "--serial-address", "3", "--link-com", "9"}));
    constexpr int kPerThread = 750;
    auto hammer = [] {
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 2; ++t) {
            threads.emplace_back([&failures, t] {
                Device d(u"COM:9,921600,N,8,1", true, 3);
                d->canNode = static_cast<std::uint8_t>(t);
                if (!d.opened) {
                    failures += kPerThread;
                    return;
                }
                for (int i = 0; i < kPerThread; ++i) {
                    if (d->Save_Command() != S_OK)
                        ++failures;
                }
            });
        }
        for (auto& th : threads)
            th.join();
        return failures.load();
    };
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(hammer() == 0 ? 0 : 1);
    const int failures = hammer();
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(failures, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
} // namespace kelvo::test
