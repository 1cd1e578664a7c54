// Login and logout over the scripted transport.
#include "operations/answers.h"

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
    return AnswerFrame(counter, status, Concat({static_cast<std::uint8_t>(data.size())}, data));
}

// An error answer: a zero byte, then the device's code.
Bytes ErrorAnswer(std::uint16_t counter, std::uint16_t status, std::uint32_t code) {
    return AnswerFrame(counter, status, Concat({0}, Le32(code)));
}

// Login (logout false) and Logout on an object whose code is 9. The request's
// counted texts: UTF-16 code units modulo 256 in the length bytes (a character
// outside the BMP counts two, its one "?" filled up to two), that many bytes of
// the code-page text; the frame length byte keeps its low 8 bits. A failure: its
// step in the trace (its start), the error code and the device status; a
// success keeps the code.
TEST(Login, AndLogoutSendTheirRequestAndFailWithTheirStepAndCode) {
    const Bytes badCrc = Flip(SerialWrap(5, ErrorAnswer(0, kLoginError, 0x1500000E)));
    const std::string longUser = "07 00 00 31 01 30 2c" + Repeated(" 61", 44);
    struct Case {
        bool logout, serial;
        Bytes answer; // the device then stays silent
        int code;
        std::uint32_t status;
        std::string trace; // the last line; empty: not compared
        std::u16string user = u"u", password = u"p";
        std::string request = ""; // empty: not compared
    } cases[] = {
        {false, false, Answer7(0, kLoginOk, {'a', 'b'}), 9, 0, "CKelvo::Login (ab xyz)", u"ab",
         u"xyz", "07 00 00 09 01 30 02 61 62 03 78 79 7a"},
        {false, false, Answer7(0, kLoginOk, {0xE4}), 9, 0, "", u"\u00e4", u"\u20ac",
         "07 00 00 06 01 30 01 e4 01 80"},
        {false, false, Answer7(0, kLoginOk, {'?', '?'}), 9, 0, "", u"\U0001F600", u"x",
         "07 00 00 07 01 30 02 3f 3f 01 78"},
        {false, false, Answer7(0, kLoginOk, Bytes(44, 'a')), 9, 0, "", std::u16string(300, u'a'),
         u"p", longUser + " 01 70"},
        {false, true, SerialWrap(9, Answer7(0, kLoginOk, {'u'})), 12, 0,
         "CKelvo::Login fail 2 (request addr: 5, response addr: 9)"},
        {false, false, Answer7(0, kLoginOk, {'u', 'v'}), 11, 0,
         "CKelvo::Login fail 8 (data size received: 2, data size expected: 1)"},
        {false, false, Answer7(0, kLoginOk, {'v'}), 11, 0,
         "CKelvo::Login fail 8 (data size received: 1, data size expected: 1)"},
        {false, false, ErrorAnswer(0, kLoginError, 0x15000003), 1, 0x15000003,
         "CKelvo::Login fail 12 (error code: 352321539)"},
        // A broken answer after an error: the device's code stays, no re-login.
        {false, true, badCrc, 13, 0x1500000E,
         "CKelvo::Login fail 11 (calculated CRC: 3352,  response CRC: 61976)"},
        {true, true, SerialWrap(5, Answer7(0, kLogoutOk, {1, 2, 3})), 9, 0, "CKelvo::Logout ()"},
        {true, true, SerialWrap(6, Answer7(0, kLogoutOk, {})), 12, 0,
         "CKelvo::Logout fail 2 (reqest addr: 5, response addr: 6)"},
        {true, false, ErrorAnswer(0, kLogoutError, 77), 1, 77, "CKelvo::Logout fail 11 (77)"},
    };
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.trace + " " + tc.request);
        ConnectedKelvo c(tc.serial, 5);
        c.kelvo->canNode = 7;
        c.transport->AnswerThenTimeout(tc.answer);
        c.kelvo->errorCode = 9;
        TraceCapture trace;
        EXPECT_EQ(tc.logout ? c.kelvo->Logout() : c.kelvo->Login(tc.user, tc.password, true),
                  tc.code == 9);
        EXPECT_EQ(c.kelvo->errorCode, tc.code);
        EXPECT_EQ(c.kelvo->deviceStatus, tc.status);
        if (!tc.trace.empty()) {
            EXPECT_EQ(trace.lines.back(), tc.trace);
        }
        ASSERT_EQ(c.transport->writes.size(), 1u);
        if (!tc.request.empty()) {
            EXPECT_EQ(Hex(c.transport->writes[0]), tc.request);
        }
        EXPECT_EQ(c.transport->Count("Unlock"), 1);
    }
}

// Lost or taken sessions: at most one Logout and one more Login.
TEST(Login, ReloginOnlyForLostSessionsAndOnlyOnce) {
    // A Logout answers the second request (its counter), a Login the third.
    struct Case {
        bool allow;
        std::uint32_t device;
        bool ok;
        int code;
        std::vector<std::uint8_t> commands; // sent, in order
        std::uint16_t logoutCounter = 1;
    } cases[] = {
        {true, 0x15000001, true, 0, {1, 9, 1}},  {true, 0x1500000D, false, 1, {1, 9, 1}},
        {true, 0x1500000E, true, 0, {1, 9, 1}},  {true, 0x1500000F, false, 1, {1, 9, 1}},
        {false, 0x1500000E, false, 1, {1}},      {true, 0x15000002, false, 1, {1}},
        {true, 0x1500000E, false, 4, {1, 9}, 9}, // failed logout
    };
    for (const Case& tc : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << tc.device << " allow " << tc.allow);
        ConnectedKelvo c;
        c.transport->Answer(ErrorAnswer(0, kLoginError, tc.device));
        if (tc.commands.size() > 1)
            c.transport->Answer(Answer7(tc.logoutCounter, kLogoutOk, {}));
        if (tc.commands.size() > 2)
            c.transport->Answer(tc.ok ? Answer7(2, kLoginOk, {'u'})
                                      : ErrorAnswer(2, kLoginError, tc.device));
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

} // namespace
} // namespace kelvo::test
