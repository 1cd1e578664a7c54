// Connecting for real: Init with a connection text, login, failed opens,
// Close, a connection the device closes, and TLS with its certificate.
// Processes sharing a link: PortwayLockTest.TwoProcessesOfTwoThreadsHammerOneLink.
// Init stopping a running stream on the serial line: the kelvo tool's
// KelvoToolSessionSimulator.ConnectingStopsAStreamAndLogsInOnTheSerialLine.
#include "integration/sim_link.h"
#include "operations/password_encoding.h"

namespace kelvo::test {
namespace {

class ConnectToSim : public SimTest {
protected:
    ConnectToSim() : k(new CKelvo) {
        RegisterPortwayClass();
        k->AddRef();
    }
    ~ConnectToSim() override { k->Release(); }

    HRESULT Init(const std::u16string& text) { return k->Init(Bstr(text).get()); }
    static std::u16string WithLogin(const std::u16string& pass, const std::u16string& transport) {
        return u"Kelvo:255,2000,0,admin," + ScramblePassword(pass) + u"#" + transport;
    }
    CKelvo* k;
};

TEST_F(ConnectToSim, LoginOverTcpThenWorkAndClose) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.94.1", "--no-tls", "--require-login"}));
    const std::u16string tcp = u"TCPIP:127.0.94.1/1,2000";
    // Without credentials the device refuses.
    EXPECT_EQ(Init(tcp), S_OK);
    EXPECT_EQ(k->Save_Command(), E_FAIL);
    EXPECT_EQ(k->errorCode, 1);
    EXPECT_EQ(k->deviceStatus, 0x15000002u);
    // A wrong password fails Init and drops the adapter.
    EXPECT_EQ(static_cast<std::uint32_t>(Init(WithLogin(u"wrong", tcp))), 0x80040502u);
    EXPECT_EQ(k->errorCode, 1);
    EXPECT_EQ(k->portAdapter, nullptr);

    EXPECT_EQ(Init(WithLogin(u"admin", tcp)), S_OK);
    LONG active = 0;
    k->get_Active(&active);
    EXPECT_EQ(active, 1);
    EXPECT_EQ(k->Save_Command(), S_OK);
    EXPECT_EQ(k->Close(), S_OK);
    EXPECT_EQ(k->portAdapter, nullptr);
}

// The transport's code mapped where it has one.
TEST_F(ConnectToSim, OpenFailuresMapTheTransportCodes) {
    for (auto [text, code] : {std::pair<const char16_t*, SHORT>{u"TCPIP:127.0.94.7/1,500", 16},
                              {u"TCPIP:no-such-host.invalid/1,500", 15},
                              {u"COM:250", 0}}) {
        k->errorCode = 0;
        EXPECT_EQ(static_cast<std::uint32_t>(Init(text)), 0x80040502u) << Utf16ToUtf8(text);
        EXPECT_EQ(k->errorCode, code) << Utf16ToUtf8(text);
        EXPECT_EQ(k->Save_Command(), E_FAIL);
    }
}

TEST_F(ConnectToSim, ClosedConnectionFailsAtOnceAndReopens) {
    SimProcess sim;
    auto d = Start(sim, Link::Tcp, "127.0.92.4", {"--fault", "close", "--fault-count", "1"});
    (*d)->timeOut = 10000;
    EXPECT_EQ((*d)->Save_Command(), E_FAIL);
    EXPECT_EQ((*d)->errorCode, 7);
    ASSERT_EQ(d->Open(u"TCPIP:127.0.92.4/17221,3000"), 1);
    EXPECT_EQ((*d)->Save_Command(), S_OK);
}

// User administration and a new certificate over TLS; every user and security
// operation also runs over TCP and the serial line in the fault matrix.
using UsersAgainstSim = SimTest;

TEST_F(UsersAgainstSim, AccountsAndANewCertificateOverTls) {
    SimProcess sim;
    auto d = Start(sim, Link::Tls, "127.0.108.1",
                   {"--cert-not-before", "1700000000", "--cert-not-after", "1800000000"});
    ASSERT_TRUE((*d)->Login(u"admin", u"admin", true));
    EXPECT_EQ((*d)->CreateUser(Bstr(u"op").get(), Bstr(u"pw1").get()), S_OK);
    Bstr users;
    EXPECT_EQ((*d)->GetAllUsers(users.out()), S_OK);
    EXPECT_EQ(Utf16ToUtf8(users.view()), "admin\top\t");

    // The new certificate is served from the next connection on.
    EXPECT_EQ((*d)->CreateCertificate(1750000000, 1950000000), S_OK);
    const auto dates = [&] {
        ULONG notBefore = 0, notAfter = 0;
        EXPECT_EQ((*d)->get_SSLCertNotBefore(&notBefore), S_OK);
        EXPECT_EQ((*d)->get_SSLCertNotAfter(&notAfter), S_OK);
        return std::pair{notBefore, notAfter};
    };
    EXPECT_EQ(dates(), (std::pair<ULONG, ULONG>{1700000000, 1800000000}));
    ASSERT_EQ(d->Open(u"TCPIP:127.0.108.1/17222,3000,SSL"), 1) << d->error;
    EXPECT_EQ(dates(), (std::pair<ULONG, ULONG>{1750000000, 1950000000}));
}

} // namespace
} // namespace kelvo::test
