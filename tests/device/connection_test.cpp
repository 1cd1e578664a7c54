// Connection texts, Init, Close and ConfString over the scripted transport.
#include "device/connection_text.h"
#include "device/kelvo_object.h"
#include "operations/password_encoding.h"
#include "support/scoped_env.h"
#include "support/scripted_transport.h"
#include "support/temp_folder.h"
#include "support/trace_capture.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <tuple>

namespace kelvo::test {
namespace {

class Connection : public ::testing::Test {
protected:
    ~Connection() override { transport->Release(); }
    HRESULT Init(const char16_t* text) {
        Bstr b(text);
        return k->Init(b.get());
    }
    std::u16string ConfString() {
        Bstr b;
        k->get_ConfString(b.out());
        return std::u16string(b.view());
    }
    std::optional<CKelvo> object_{std::in_place};
    CKelvo* k = &*object_;
    ScriptedTransport* transport = ScriptedTransport::Prepare();
};

struct InitCase {
    const char* name;
    const char16_t* text;
    HRESULT result;
    const char16_t* opened; // transport text, or null when nothing was opened
};

const InitCase kInitCases[] = {
    {"ComShort", u"COM:3", S_OK, u"COM:3,921600,N,8,1"},
    {"ComWrongBaud", u"COM:3,115200", KELVO_E_CONNECTION_TEXT, nullptr},
    {"ComZero", u"COM:0", KELVO_E_CONNECTION_TEXT, nullptr},
    {"Com257", u"COM:257", KELVO_E_CONNECTION_TEXT, nullptr},
    {"Com256", u"com:256", S_OK, u"COM:256,921600,N,8,1"},
    {"ComNoItem", u"COM:", KELVO_E_CONNECTION_TEXT, nullptr},
    {"TcpSsl", u"TCPIP:10.0.0.7/1234,3000,SSL", S_OK, u"TCPIP:10.0.0.7/17222,3000,SSL"},
    {"TcpPlain", u"tcpip:dev.local/1,2500", S_OK, u"TCPIP:dev.local/17221,2500"},
    {"TcpOtherFourth", u"TCPIP:h/1,100,TLS", S_OK, u"TCPIP:h/17221,100"},
    {"TcpTwoItems", u"TCPIP:10.0.0.7/1234", KELVO_E_CONNECTION_TEXT, nullptr},
    {"TcpFiveItems", u"TCPIP:a/1,2,SSL,x", KELVO_E_CONNECTION_TEXT, nullptr},
    {"Sock", u"SOCK:bridge_COM,1,921600,N,8,1", KELVO_E_CONNECTION_TEXT, nullptr},
    {"Unknown", u"USB:1", KELVO_E_CONNECTION_TEXT, nullptr},
    {"DevicePart", u"Kelvo:7,2000,3#COM:1", S_OK, u"COM:1,921600,N,8,1"},
    {"BadDevicePart", u"Other:7,2000,3#COM:1", KELVO_E_CONNECTION_TEXT, nullptr},
    {"ThreePieces", u"A#B#C", KELVO_E_CONNECTION_TEXT, nullptr},
    {"Empty", u"", KELVO_E_CONNECTION_TEXT, nullptr},
};

TEST_F(Connection, InitOpensTheBuiltTransportText) {
    for (const InitCase& c : kInitCases) {
        SCOPED_TRACE(c.name);
        transport->Release();
        k = &object_.emplace();
        transport = ScriptedTransport::Prepare();
        EXPECT_EQ(Init(c.text), c.result);
        if (c.opened) {
            EXPECT_EQ(transport->openedWith, c.opened);
            LONG active = 0;
            k->get_Active(&active);
            EXPECT_EQ(active, 1);
            continue;
        }
        EXPECT_EQ(transport->Count("Open"), 0);
        EXPECT_NE(k->portAdapter, nullptr); // a refused text leaves a closed adapter
    }
}

TEST_F(Connection, DevicePartSetsTimeOutNodeAndAddress) {
    k->address = 9;
    k->errorCode = 7;
    // Five pieces: the user alone is ignored, no login.
    EXPECT_EQ(Init(u"Kelvo:7,2000,3,someone#COM:1"), S_OK);
    // Init does not reset the error.
    EXPECT_EQ(std::tuple(k->timeOut, k->canNode, k->address, k->errorCode),
              std::tuple(2000, 3, 255, 7));
    EXPECT_TRUE(k->userName.empty());
    EXPECT_EQ(transport->Count("Write"), 0);
}

TEST_F(Connection, DevicePartWithCredentialsLogsIn) {
    // Login answer: header with D = 5, status 0x3010, the user name echoed.
    Bytes answer = AnswerFrame(0, 0x3010, {5, 'a', 'd', 'm', 'i', 'n'});
    answer[3] = 3;
    transport->Answer(answer);
    const std::u16string text =
        u"Kelvo:1,500,2,admin," + std::u16string(u"5A5B54585B") + u"#TCPIP:h/1,100";
    EXPECT_EQ(Init(text.c_str()), S_OK);
    EXPECT_EQ(std::pair(k->userName, k->password),
              std::pair(std::u16string(u"admin"), UnscramblePassword(u"5A5B54585B")));
    ASSERT_EQ(transport->writes.size(), 1u);
    EXPECT_EQ(transport->writes[0][5], 0x30); // login command 0x3001
}

TEST_F(Connection, RefusedInitKeepsWhatWasReadAndLeavesTheObjectUsable) {
    EXPECT_EQ(Init(u"COM:3,115200"), KELVO_E_CONNECTION_TEXT);
    EXPECT_EQ(std::tuple(k->port, k->serialMode, k->tcpMode), std::tuple(3, 1, 0));
    EXPECT_EQ(k->Init(nullptr), KELVO_E_CONNECTION_TEXT);
    EXPECT_EQ(Init(u"TCPIP:h/1,100"), S_OK);
    transport->Answer(AnswerFrame(0, 0x30E0));
    EXPECT_EQ(k->Save_Command(), S_OK);
}

TEST_F(Connection, SerialStreamIsStoppedBeforeTheFirstRequest) {
    transport->Deliver({1, 2, 3, 4, 5, 6});
    TraceCapture trace;
    EXPECT_EQ(Init(u"COM:1"), S_OK);
    ASSERT_EQ(transport->writes.size(), 1u);
    // [address][node][counter][4][0x02 0x10][stream 0][command 1][CRC]
    EXPECT_EQ(Hex(Bytes(transport->writes[0].begin(), transport->writes[0].end() - 2)),
              "ff 00 00 00 04 02 10 00 01");
    EXPECT_EQ(trace.lines.at(0), "CKelvo::Init : Wavetrap acquisition on serial port maybe in "
                                 "progress, sending STOP cmd");
    // The probe holds the link lock: another process's answer is no stream.
    const auto probe = std::find(transport->calls.begin(), transport->calls.end(), "Read 4 100");
    ASSERT_NE(probe, transport->calls.end());
    ASSERT_NE(probe, transport->calls.begin());
    EXPECT_EQ(*(probe - 1), "Lock");
    EXPECT_EQ(*(probe + 1), "Unlock");
}

TEST_F(Connection, CloseLogsOutAndKeepsActive) {
    EXPECT_EQ(Init(u"TCPIP:h/1,100"), S_OK);
    transport->Answer(AnswerFrame(0, 0x3090, {0}));
    transport->calls.clear();
    EXPECT_EQ(k->Close(), S_OK);
    ASSERT_EQ(transport->writes.size(), 1u);
    EXPECT_EQ(Hex(transport->writes[0]), "00 00 00 02 09 30");
    EXPECT_EQ(transport->Count("Close"), 1);
    EXPECT_EQ(k->portAdapter, nullptr);
    EXPECT_EQ(k->active, true);
    EXPECT_EQ(k->Close(), S_OK); // nothing left to close
}

TEST_F(Connection, SecondInitReplacesTheAdapterWithoutLogout) {
    EXPECT_EQ(Init(u"TCPIP:h/1,100"), S_OK);
    ScriptedTransport* second = ScriptedTransport::Prepare();
    EXPECT_EQ(Init(u"COM:2"), S_OK);
    EXPECT_EQ(transport->Count("Write"), 0);
    EXPECT_EQ(transport->Count("Close"), 1);
    second->Release();
}

TEST_F(Connection, ConfStringRoundTripsCredentialsScrambled) {
    EXPECT_EQ(ConfString(), u"Kelvo:255,10000,0#TCPIP:/17221,5000");
    std::tie(k->userName, k->password, k->canNode, k->address, k->sslMode, k->host) =
        std::tuple(u"op", u"abc", 4, 9, 1, u"10.1.2.3");
    EXPECT_EQ(ConfString(), u"Kelvo:9,10000,4,op,39383B#TCPIP:10.1.2.3/17222,5000,SSL");
    Bstr text(ConfString());
    k->userName.clear();
    k->password.clear();
    EXPECT_EQ(k->put_ConfString(text.get()), S_OK);
    EXPECT_EQ(std::tuple(k->userName, k->password, k->address), std::tuple(u"op", u"abc", 255));
}

TEST_F(Connection, PutConfStringResetsAndParsesTwoPieces) {
    std::tie(k->port, k->timeOut, k->host) = std::tuple(9, 1, u"kept");
    Bstr text(u"Kelvo:1,500,2#COM:4#x");
    EXPECT_EQ(k->put_ConfString(text.get()), S_OK);
    EXPECT_EQ(std::tuple(k->timeOut, k->canNode, k->port, k->baudRate),
              std::tuple(500, 2, 4, 921600));
    EXPECT_EQ(k->host, u"kept");
    Bstr refused(u"USB:1");
    k->timeOut = 1;
    EXPECT_EQ(k->put_ConfString(refused.get()), S_OK);
    EXPECT_EQ(std::pair(k->timeOut, k->port), std::pair(10000, 1));
    EXPECT_EQ(k->put_ConfString(nullptr), S_OK);
}

TEST_F(Connection, SockModeBuildsTheBridgeText) {
    std::tie(k->tcpMode, k->sockMode, k->port) = std::tuple(0, 1, 5);
    k->sockName = Bstr(u"lab");
    EXPECT_EQ(BuildTransportText(*k), u"SOCK:lab_COM,5,921600,N,8,1");
}

TEST(ConnectionText, DecimalsReadLikeTheCLibrary) {
    const std::pair<const char16_t*, int> cases[] = {
        {u"42", 42},
        {u"  -7x", -7},
        {u"+3", 3},
        {u"x1", 0},
        {u"", 0},
        {u"0012", 12},
        {u"99999999999", 2147483647},
    };
    for (const auto& [text, value] : cases)
        EXPECT_EQ(ReadDecimal(text), value) << Utf16ToUtf8(text);
}

// The remembered port lives in DeviceLink.ini of the per-user settings folder.
class RememberedPort : public Connection {
protected:
    void Store(const char* text) { std::ofstream(folder_ / "DeviceLink.ini") << text; }
    TempFolder folder_{"appdata"};
    ScopedEnv appdata_{"APPDATA", folder_.path()};
};

TEST_F(RememberedPort, StoredPortReplacesTheParsedOne) {
    Store("[Kelvo]\nLastPort=7\n");
    k->rememberPort = true;
    EXPECT_EQ(Init(u"COM:3"), S_OK);
    EXPECT_EQ(transport->openedWith, u"COM:7,921600,N,8,1");
    Store("[Kelvo]\nLastPort=12\n");
    Bstr text(u"COM:3");
    k->put_ConfString(text.get());
    EXPECT_EQ(k->port, 12);
}

TEST_F(RememberedPort, IgnoredWhenSwitchedOffMissingOrOnTcp) {
    Store("[kelvo]\nlastport = 7\n");
    EXPECT_EQ(Init(u"COM:3"), S_OK); // rememberPort off
    EXPECT_EQ(transport->openedWith, u"COM:3,921600,N,8,1");
    k->rememberPort = true;
    Store("[Other]\nLastPort=7\n");
    ScriptedTransport* t = ScriptedTransport::Prepare();
    EXPECT_EQ(Init(u"COM:3"), S_OK);
    EXPECT_EQ(t->openedWith, u"COM:3,921600,N,8,1");
    t->Release();
}

TEST_F(RememberedPort, WrittenAndReadBack) {
    WriteRememberedPort(42);
    EXPECT_EQ(ReadRememberedPort(), 42);
    ScopedEnv noAppdata("APPDATA", nullptr), noConfig("XDG_CONFIG_HOME", nullptr),
        noHome("HOME", nullptr);
    EXPECT_EQ(ReadRememberedPort(), kNoRememberedPort);
}

} // namespace
} // namespace kelvo::test
