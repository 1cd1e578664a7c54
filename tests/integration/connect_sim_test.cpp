// Connecting for real: Init with a connection text, login, lost logins, a
// running push-data stream on the serial line, Close.
#include "device/kelvo_object.h"
#include "operations/password_encoding.h"
#include "support/sim_process.h"
#include "transport/portway/portway.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace kelvo::test {
namespace {

class ConnectToSim : public ::testing::Test {
protected:
    ConnectToSim() : k(new CKelvo) {
        RegisterPortwayClass();
        k->AddRef();
    }
    ~ConnectToSim() override { k->Release(); }

    HRESULT Init(const std::u16string& text) {
        Bstr b(text);
        return k->Init(b.get());
    }
    static std::u16string WithLogin(const std::u16string& user, const std::u16string& pass,
                                    const std::u16string& transport) {
        return u"Kelvo:255,2000,0," + user + u"," + ScramblePassword(pass) + u"#" + transport;
    }
    // A comN link of this test's own.
    void Devices() {
        const std::string dir = ::testing::TempDir() + "kelvo-connect-" +
                                ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                                "-" + std::to_string(getpid());
        std::filesystem::remove_all(dir);
        setenv("KELVO_DEVICES", dir.c_str(), 1);
    }
    CKelvo* k;
};

TEST_F(ConnectToSim, LoginOverTcpThenWorkAndClose) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.94.1", "--no-tls", "--require-login"}));
    EXPECT_EQ(Init(WithLogin(u"admin", u"admin", u"TCPIP:127.0.94.1/1,2000")), S_OK);
    LONG active = 0;
    k->get_Active(&active);
    EXPECT_EQ(active, 1);
    EXPECT_EQ(k->Save_Command(), S_OK);
    EXPECT_EQ(k->Close(), S_OK);
    EXPECT_EQ(k->portAdapter, nullptr);
}

TEST_F(ConnectToSim, WithoutLoginTheDeviceRefuses) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.94.2", "--no-tls", "--require-login"}));
    EXPECT_EQ(Init(u"TCPIP:127.0.94.2/1,2000"), S_OK);
    EXPECT_EQ(k->Save_Command(), E_FAIL);
    EXPECT_EQ(k->errorCode, 1);
    EXPECT_EQ(k->deviceStatus, 0x15000002u);
}

TEST_F(ConnectToSim, WrongPasswordFailsInitAndASecondInitWorks) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.94.3", "--no-tls"}));
    EXPECT_EQ(
        static_cast<std::uint32_t>(Init(WithLogin(u"admin", u"wrong", u"TCPIP:127.0.94.3/1,2000"))),
        0x80040502u);
    EXPECT_EQ(k->errorCode, 1);
    EXPECT_EQ(k->portAdapter, nullptr);
    EXPECT_EQ(Init(WithLogin(u"admin", u"admin", u"TCPIP:127.0.94.3/1,2000")), S_OK);
    EXPECT_EQ(k->Save_Command(), S_OK);
}

TEST_F(ConnectToSim, LostLoginIsRepairedOnce) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.94.4", "--no-tls", "--lost-login", "1"}));
    EXPECT_EQ(Init(WithLogin(u"admin", u"admin", u"TCPIP:127.0.94.4/1,2000")), S_OK);
    EXPECT_EQ(k->Save_Command(), S_OK);
}

TEST_F(ConnectToSim, LoginOverSerial) {
    Devices();
    SimProcess sim;
    ASSERT_TRUE(
        sim.Start({"--addr", "127.0.94.5", "--no-tcp", "--no-tls", "--serial", "--serial-address",
                   "4", "--link-com", "31", "--require-login", "--lost-login", "1"}));
    EXPECT_EQ(Init(WithLogin(u"admin", u"admin", u"COM:31")), S_OK);
    EXPECT_EQ(k->Save_Command(), S_OK);
    EXPECT_EQ(static_cast<std::uint32_t>(Init(WithLogin(u"admin", u"nope", u"COM:31"))),
              0x80040502u);
    EXPECT_EQ(k->errorCode, 1);
}

TEST_F(ConnectToSim, RunningStreamIsStoppedByInit) {
    Devices();
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.94.6", "--no-tcp", "--no-tls", "--serial", "--link-com",
                           "32", "--stream-at-start"}));
    EXPECT_EQ(Init(u"COM:32"), S_OK);
    EXPECT_EQ(k->Save_Command(), S_OK);
    EXPECT_EQ(k->Save_Command(), S_OK);
}

TEST_F(ConnectToSim, OpenFailuresMapTheTransportCodes) {
    EXPECT_EQ(static_cast<std::uint32_t>(Init(u"TCPIP:127.0.94.7/1,500")), 0x80040502u);
    EXPECT_EQ(k->errorCode, 16);
    EXPECT_EQ(static_cast<std::uint32_t>(Init(u"TCPIP:no-such-host.invalid/1,500")), 0x80040502u);
    EXPECT_EQ(k->errorCode, 15);
    SHORT code = 0;
    k->get_ErrorCode(&code);
    EXPECT_EQ(code, 15);
}

} // namespace
} // namespace kelvo::test
