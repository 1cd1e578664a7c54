// Login and logout over the scripted transport.
#include "protocol/bytes.h"
#include "support/connected_kelvo.h"
#include "support/trace_capture.h"

#include <gtest/gtest.h>

#include <functional>

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

TEST(Login, RequestCarriesCountedTexts) {
    ConnectedKelvo c;
    c.kelvo->canNode = 7;
    c.transport->Answer(Answer7(0, kLoginOk, {'a', 'b'}));
    TraceCapture trace;
    EXPECT_TRUE(c.kelvo->Login(u"ab", u"xyz", true));
    ASSERT_EQ(c.transport->writes.size(), 1u);
    EXPECT_EQ(Hex(c.transport->writes[0]), "07 00 00 09 01 30 02 61 62 03 78 79 7a");
    EXPECT_EQ(trace.lines.front(), "CKelvo::Login (ab xyz)");
    EXPECT_EQ(c.transport->Count("Unlock"), 1);
}

TEST(Login, TextsGoOutInTheThreadCodePage) {
    ConnectedKelvo c;
    c.transport->Answer(Answer7(0, kLoginOk, {0xE4}));
    EXPECT_TRUE(c.kelvo->Login(u"\u00e4", u"\u20ac", true));
    EXPECT_EQ(Hex(c.transport->writes[0]), "00 00 00 06 01 30 01 e4 01 80");
}

TEST(Login, SuccessKeepsTheErrorCode) {
    ConnectedKelvo c;
    c.kelvo->errorCode = 5;
    c.transport->Answer(Answer7(0, kLoginOk, {'u'}));
    EXPECT_TRUE(c.kelvo->Login(u"u", u"p", true));
    EXPECT_EQ(c.kelvo->errorCode, 5);
}

TEST(Login, OverlongTextIsRefusedBeforeSending) {
    ConnectedKelvo c;
    EXPECT_FALSE(c.kelvo->Login(std::u16string(256, u'a'), u"p", true));
    EXPECT_EQ(c.kelvo->errorCode, 10);
    EXPECT_TRUE(c.transport->calls.empty());
}

struct LoginFailure {
    const char* name;
    bool serial;
    std::function<Bytes()> answer; // empty answer: the device stays silent
    int code;
    const char* trace;
};

const LoginFailure kLoginFailures[] = {
    {"EchoTimeout", true, [] { return Bytes{}; }, 7, "CKelvo::Login fail 1 (tmo 10000 len 1)"},
    {"WrongEcho", true, [] { return SerialWrap(9, Answer7(0, kLoginOk, {'u'})); }, 12,
     "CKelvo::Login fail 2 (request addr: 5, response addr: 9)"},
    {"HeaderTimeout", false,
     [] {
         return Bytes{0, 0, 0};
     },
     7, "CKelvo::Login fail 3 (tmo 10000 len 7)"},
    {"WrongCounter", false, [] { return Answer7(3, kLoginOk, {'u'}); }, 4,
     "CKelvo::Login fail 4 (frameCount received: 3, frameCount sent: 0)"},
    {"NameTimeout", false,
     [] {
         Bytes b = Answer7(0, kLoginOk, {'u'});
         b.pop_back();
         return b;
     },
     7, "CKelvo::Login fail 5 (tmo 10000 len 1)"},
    {"CrcTimeout", true,
     [] {
         Bytes b = SerialWrap(5, Answer7(0, kLoginOk, {'u'}));
         b.resize(b.size() - 2);
         return b;
     },
     7, "CKelvo::Login fail 6 (tmo 10000 len 2)"},
    {"NameLengthDiffers", false,
     [] {
         return Answer7(0, kLoginOk, {'u', 'v'});
     },
     11, "CKelvo::Login fail 8 (data size received: 2, data size expected: 1)"},
    {"NameDiffers", false, [] { return Answer7(0, kLoginOk, {'v'}); }, 11,
     "CKelvo::Login fail 8 (data size received: 1, data size expected: 1)"},
    {"ErrorCodeTimeout", false,
     [] {
         return AnswerFrame(0, kLoginError, {0, 1, 2});
     },
     7, "CKelvo::Login fail 9 (tmo 10000 len 4)"},
    {"ErrorCrcTimeout", true,
     [] {
         Bytes b = SerialWrap(5, ErrorAnswer(0, kLoginError, 0x15000003));
         b.resize(b.size() - 2);
         return b;
     },
     7, "CKelvo::Login fail 10 (tmo 10000 len 2)"},
    {"DeviceError", false, [] { return ErrorAnswer(0, kLoginError, 0x15000003); }, 1,
     "CKelvo::Login fail 12 (error code: 352321539)"},
    {"UnknownStatus", false, [] { return Answer7(0, 0x1234, {}); }, 5,
     "CKelvo::Login fail 13 (unknown error: 4660)"},
};

class LoginFails : public ::testing::TestWithParam<LoginFailure> {};

TEST_P(LoginFails, WithItsStepAndCode) {
    const LoginFailure& f = GetParam();
    ConnectedKelvo c(f.serial, 5);
    const Bytes answer = f.answer();
    if (!answer.empty())
        c.transport->AnswerThenTimeout(answer);
    TraceCapture trace;
    EXPECT_FALSE(c.kelvo->Login(u"u", u"p", true));
    EXPECT_EQ(c.kelvo->errorCode, f.code);
    EXPECT_EQ(trace.lines.back(), f.trace);
    EXPECT_EQ(c.transport->Count("Unlock"), 1);
}

INSTANTIATE_TEST_SUITE_P(Steps, LoginFails, ::testing::ValuesIn(kLoginFailures),
                         [](const auto& info) { return std::string(info.param.name); });

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

class Relogin : public ::testing::TestWithParam<std::uint32_t> {};

// Lost or taken sessions: exactly one Logout and one more Login.
TEST_P(Relogin, LogsOutAndInOnce) {
    ConnectedKelvo c;
    c.transport->Answer(ErrorAnswer(0, kLoginError, GetParam()));
    c.transport->Answer(Answer7(1, kLogoutOk, {}));
    c.transport->Answer(ErrorAnswer(2, kLoginError, GetParam()));
    EXPECT_FALSE(c.kelvo->Login(u"u", u"p", true));
    EXPECT_EQ(c.kelvo->errorCode, 1);
    ASSERT_EQ(c.transport->writes.size(), 3u);
    EXPECT_EQ(c.transport->writes[0][4], 0x01);
    EXPECT_EQ(c.transport->writes[1][4], 0x09);
    EXPECT_EQ(c.transport->writes[2][4], 0x01);
    EXPECT_EQ(c.transport->Count("Unlock"), 3);
}

TEST_P(Relogin, SecondLoginMaySucceed) {
    ConnectedKelvo c;
    c.transport->Answer(ErrorAnswer(0, kLoginError, GetParam()));
    c.transport->Answer(Answer7(1, kLogoutOk, {}));
    c.transport->Answer(Answer7(2, kLoginOk, {'u'}));
    EXPECT_TRUE(c.kelvo->Login(u"u", u"p", true));
}

INSTANTIATE_TEST_SUITE_P(Codes, Relogin,
                         ::testing::Values(0x15000001u, 0x1500000Du, 0x1500000Eu, 0x1500000Fu));

TEST(Login, NoReloginWhenNotAllowedOrOtherCode) {
    for (auto [allow, code] : {std::pair{false, 0x1500000Eu}, std::pair{true, 0x15000002u}}) {
        ConnectedKelvo c;
        c.transport->Answer(ErrorAnswer(0, kLoginError, code));
        EXPECT_FALSE(c.kelvo->Login(u"u", u"p", allow));
        EXPECT_EQ(c.transport->writes.size(), 1u);
        EXPECT_EQ(c.kelvo->errorCode, 1);
    }
}

TEST(Login, FailedLogoutEndsTheRelogin) {
    ConnectedKelvo c;
    c.transport->Answer(ErrorAnswer(0, kLoginError, 0x1500000E));
    c.transport->Answer(Answer7(9, kLogoutOk, {}));
    EXPECT_FALSE(c.kelvo->Login(u"u", u"p", true));
    EXPECT_EQ(c.kelvo->errorCode, 4);
    EXPECT_EQ(c.transport->writes.size(), 2u);
}

TEST(Logout, ConfirmedLogoutKeepsTheErrorCode) {
    ConnectedKelvo c(true, 5);
    c.kelvo->errorCode = 9;
    c.transport->Answer(SerialWrap(5, Answer7(0, kLogoutOk, {1, 2, 3})));
    TraceCapture trace;
    EXPECT_TRUE(c.kelvo->Logout());
    EXPECT_EQ(c.kelvo->errorCode, 9);
    EXPECT_EQ(trace.lines.front(), "CKelvo::Logout ()");
}

TEST(Logout, FailureSteps) {
    struct Case {
        bool serial;
        Bytes answer;
        int code;
        const char* trace;
    } cases[] = {
        {true, {}, 7, "CKelvo::Logout fail 1 (tmo 10000 len 1)"},
        {true, SerialWrap(6, Answer7(0, kLogoutOk, {})), 12,
         "CKelvo::Logout fail 2 (reqest addr: 5, response addr: 6)"},
        {false, {}, 7, "CKelvo::Logout fail 3 (tmo 10000 len 7)"},
        {false, Answer7(1, kLogoutOk, {}), 4,
         "CKelvo::Logout fail 4 (frameCount received: 1, frameCount sent: 0)"},
        {false, AnswerFrame(0, kLogoutOk, {2, 0}), 7, "CKelvo::Logout fail 5 (tmo 10000 len 2)"},
        {false, AnswerFrame(0, kLogoutError, {0, 1}), 7, "CKelvo::Logout fail 8 (tmo 10000 len 4)"},
        {false, ErrorAnswer(0, kLogoutError, 77), 1, "CKelvo::Logout fail 11 (77)"},
        {false, Answer7(0, 0x3092, {}), 5, "CKelvo::Logout fail 12 (12434)"},
    };
    for (const Case& tc : cases) {
        ConnectedKelvo c(tc.serial, 5);
        if (!tc.answer.empty())
            c.transport->AnswerThenTimeout(tc.answer);
        TraceCapture trace;
        EXPECT_FALSE(c.kelvo->Logout());
        EXPECT_EQ(c.kelvo->errorCode, tc.code) << tc.trace;
        EXPECT_EQ(trace.lines.back(), tc.trace);
        EXPECT_EQ(c.transport->Count("Unlock"), 1);
    }
}

} // namespace
} // namespace kelvo::test
