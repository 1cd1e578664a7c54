// Login and logout over the scripted transport.
#include "protocol/bytes.h"
#include "support/connected_kelvo.h"
#include "support/trace_capture.h"

#include <gtest/gtest.h>

#include <vector>

namespace kelvo::test {
namespace {

constexpr std::uint16_t kLoginOk = 0x3010;
constexpr std::uint16_t kLoginError = 0x3011;
constexpr std::uint16_t kLogoutOk = 0x3090;
constexpr std::uint16_t kLogoutError = 0x3091;

// A 7-byte header answer: D, then the data.
Bytes Answer7(std::uint16_t counter, std::uint16_t status, const Bytes& data) {
    Bytes payload{static_cast<std::uint8_t>(data.size())};
    payload.insert(payload.end(), data.begin(), data.end());
    return AnswerFrame(counter, status, payload);
}

Bytes ErrorAnswer(std::uint16_t counter, std::uint16_t status, std::uint32_t code) {
    Bytes b = AnswerFrame(counter, status, {0, 0, 0, 0, 0});
    stle_u32(&b[7], code);
    return b;
}

// Counted texts: UTF-16 code units modulo 256 in the length bytes (a
// character outside the BMP counts two, its one "?" filled up to two), that
// many bytes of the code-page text; the frame length byte keeps its low 8 bits.
TEST(Login, RequestCarriesCountedTextsInTheThreadCodePage) {
    std::string longUser = "07 00 00 31 01 30 2c";
    for (int i = 0; i < 44; ++i)
        longUser += " 61";
    struct Case {
        std::u16string user, password;
        Bytes name;
        std::string request;
    } cases[] = {
        {u"ab", u"xyz", {'a', 'b'}, "07 00 00 09 01 30 02 61 62 03 78 79 7a"},
        {u"\u00e4", u"\u20ac", {0xE4}, "07 00 00 06 01 30 01 e4 01 80"},
        {u"\U0001F600", u"x", {'?', '?'}, "07 00 00 07 01 30 02 3f 3f 01 78"},
        {std::u16string(300, u'a'), u"p", Bytes(44, 'a'), longUser + " 01 70"},
    };
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.request);
        ConnectedKelvo c;
        c.kelvo->canNode = 7;
        c.kelvo->errorCode = 5; // a success keeps it
        c.transport->Answer(Answer7(0, kLoginOk, tc.name));
        TraceCapture trace;
        EXPECT_TRUE(c.kelvo->Login(tc.user, tc.password, true));
        ASSERT_EQ(c.transport->writes.size(), 1u);
        EXPECT_EQ(Hex(c.transport->writes[0]), tc.request);
        EXPECT_EQ(c.kelvo->errorCode, 5);
        EXPECT_EQ(c.transport->Count("Unlock"), 1);
        if (tc.user == u"ab") {
            EXPECT_EQ(trace.lines.front(), "CKelvo::Login (ab xyz)");
        }
    }
}

TEST(Login, FailsWithItsStepAndCode) {
    struct Case {
        bool serial;
        Bytes answer; // empty: the device stays silent
        int code;
        const char* trace;
    } cases[] = {
        {true, SerialWrap(9, Answer7(0, kLoginOk, {'u'})), 12,
         "CKelvo::Login fail 2 (request addr: 5, response addr: 9)"},
        {false, Answer7(0, kLoginOk, {'u', 'v'}), 11,
         "CKelvo::Login fail 8 (data size received: 2, data size expected: 1)"},
        {false, Answer7(0, kLoginOk, {'v'}), 11,
         "CKelvo::Login fail 8 (data size received: 1, data size expected: 1)"},
        {false, ErrorAnswer(0, kLoginError, 0x15000003), 1,
         "CKelvo::Login fail 12 (error code: 352321539)"},
    };
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.trace);
        ConnectedKelvo c(tc.serial, 5);
        if (!tc.answer.empty())
            c.transport->AnswerThenTimeout(tc.answer);
        TraceCapture trace;
        EXPECT_FALSE(c.kelvo->Login(u"u", u"p", true));
        EXPECT_EQ(c.kelvo->errorCode, tc.code);
        EXPECT_EQ(trace.lines.back(), tc.trace);
        EXPECT_EQ(c.transport->Count("Unlock"), 1);
    }
}

TEST(Login, CrcMismatchAfterErrorKeepsTheDeviceCode) {
    ConnectedKelvo c(true, 5);
    Bytes b = SerialWrap(5, ErrorAnswer(0, kLoginError, 0x1500000E));
    b.back() ^= 0xFF;
    c.transport->Answer(b);
    TraceCapture trace;
    EXPECT_FALSE(c.kelvo->Login(u"u", u"p", true));
    EXPECT_EQ(c.kelvo->errorCode, 13);
    EXPECT_EQ(c.kelvo->deviceStatus, 0x1500000Eu);
    EXPECT_EQ(trace.lines.back().rfind("CKelvo::Login fail 11 (calculated CRC: ", 0), 0u);
    EXPECT_EQ(c.transport->writes.size(), 1u); // no re-login after a broken answer
}

// Lost or taken sessions: at most one Logout and one more Login.
TEST(Login, ReloginOnlyForLostSessionsAndOnlyOnce) {
    struct Case {
        bool allow;
        std::uint32_t device;
        std::vector<Bytes> more; // answers after the first refusal
        bool ok;
        int code;
        std::vector<std::uint8_t> commands; // sent, in order
    };
    // clang-format off
    const Case cases[] = {
        {true, 0x15000001, {Answer7(1, kLogoutOk, {}), Answer7(2, kLoginOk, {'u'})}, true, 0, {1, 9, 1}},
        {true, 0x1500000D, {Answer7(1, kLogoutOk, {}), ErrorAnswer(2, kLoginError, 0x1500000D)}, false, 1, {1, 9, 1}},
        {true, 0x1500000E, {Answer7(1, kLogoutOk, {}), Answer7(2, kLoginOk, {'u'})}, true, 0, {1, 9, 1}},
        {true, 0x1500000F, {Answer7(1, kLogoutOk, {}), ErrorAnswer(2, kLoginError, 0x1500000F)}, false, 1, {1, 9, 1}},
        {false, 0x1500000E, {}, false, 1, {1}},
        {true, 0x15000002, {}, false, 1, {1}},
        {true, 0x1500000E, {Answer7(9, kLogoutOk, {})}, false, 4, {1, 9}}, // failed logout
    };
    // clang-format on
    for (const Case& tc : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << tc.device << " allow " << tc.allow);
        ConnectedKelvo c;
        c.transport->Answer(ErrorAnswer(0, kLoginError, tc.device));
        for (const Bytes& answer : tc.more)
            c.transport->Answer(answer);
        EXPECT_EQ(c.kelvo->Login(u"u", u"p", tc.allow), tc.ok);
        if (!tc.ok) {
            EXPECT_EQ(c.kelvo->errorCode, tc.code);
        }
        ASSERT_EQ(c.transport->writes.size(), tc.commands.size());
        for (std::size_t i = 0; i < tc.commands.size(); ++i)
            EXPECT_EQ(c.transport->writes[i][4], tc.commands[i]) << i;
        EXPECT_EQ(c.transport->Count("Unlock"), static_cast<int>(tc.commands.size()));
    }
}

TEST(Logout, ConfirmedOrFailedWithItsStep) {
    struct Case {
        bool serial;
        Bytes answer;
        int code;
        const char* trace;
    } cases[] = {
        {true, SerialWrap(5, Answer7(0, kLogoutOk, {1, 2, 3})), 9, "CKelvo::Logout ()"}, // done
        {true, SerialWrap(6, Answer7(0, kLogoutOk, {})), 12,
         "CKelvo::Logout fail 2 (reqest addr: 5, response addr: 6)"},
        {false, ErrorAnswer(0, kLogoutError, 77), 1, "CKelvo::Logout fail 11 (77)"},
    };
    for (const Case& tc : cases) {
        ConnectedKelvo c(tc.serial, 5);
        if (!tc.answer.empty())
            c.transport->AnswerThenTimeout(tc.answer);
        c.kelvo->errorCode = 9; // kept by a confirmed logout
        TraceCapture trace;
        EXPECT_EQ(c.kelvo->Logout(), tc.code == 9) << tc.trace;
        EXPECT_EQ(c.kelvo->errorCode, tc.code) << tc.trace;
        EXPECT_EQ(trace.lines.back(), tc.trace);
        EXPECT_EQ(c.transport->Count("Unlock"), 1);
    }
}

} // namespace
} // namespace kelvo::test
