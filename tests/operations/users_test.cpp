// User accounts, permissions and roles on the scripted transport: requests
// byte for byte, the answer checks, every failure step of the user
// administration exchange, and the length limits of counted texts.
#include "operations/answers.h"
#include "support/trace_capture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace kelvo::test {
namespace {

// A VT_ARRAY | VT_VARIANT argument built from element setters; owns the array.
class VariantArray {
public:
    explicit VariantArray(std::size_t count, LONG lower = 0) {
        SAFEARRAYBOUND bound{static_cast<ULONG>(count), lower};
        v_.vt = VT_ARRAY | VT_VARIANT;
        v_.parray = SafeArrayCreate(VT_VARIANT, 1, &bound);
    }
    VARIANT& at(std::size_t i) { return static_cast<VARIANT*>(v_.parray->pvData)[i]; }
    void Bool(std::size_t i, bool on) {
        at(i).vt = VT_BOOL;
        at(i).boolVal = on ? VARIANT_TRUE : VARIANT_FALSE;
    }
    VARIANT& get() { return v_; }

private:
    Variant v_;
};

std::u16string Repeat(std::u16string_view piece, int times) {
    std::u16string out;
    for (int i = 0; i < times; ++i)
        out += piece;
    return out;
}

std::string ToUtf8(BSTR b) {
    return Utf16ToUtf8(BstrView(b));
}

// ---------------------------------------------------------------- requests

struct RequestCase {
    const char* name;
    std::function<HRESULT(CKelvo*)> call;
    const char* entry;
    const char* request; // TCP frame, node 0x21, first counter
    Bytes answer;        // success answer data
};

const RequestCase kRequests[] = {
    {"CreateUser",
     [](CKelvo* k) { return k->CreateUser(Bstr(u"abcde").get(), Bstr(u"12345678").get()); },
     "CKelvo::CreateUser abcde 12345678",
     "21 00 00 11 04 30 05 61 62 63 64 65 08 31 32 33 34 35 36 37 38", Counted("abcde")},
    {"DeleteUser", [](CKelvo* k) { return k->DeleteUser(Bstr(u"op").get()); },
     "CKelvo::DeleteUser op", "21 00 00 05 05 30 02 6f 70", Counted("op")},
    {"ChangePasswordAdmin",
     [](CKelvo* k) { return k->ChangePasswordAdmin(Bstr(u"op").get(), Bstr(u"new").get()); },
     "CKelvo::ChangePasswordAdmin op new", "21 00 00 09 03 30 02 6f 70 03 6e 65 77", Counted("op")},
    {"ChangePasswordUser",
     [](CKelvo* k) { return k->ChangePasswordUser(Bstr(u"old").get(), Bstr(u"nu").get()); },
     "CKelvo::ChangePasswordUser old nu",
     "21 00 00 09 02 30 03 6f 6c 64 02 6e 75",
     {0}},
    {"GetAllUsers",
     [](CKelvo* k) {
         BSTR out = nullptr;
         HRESULT hr = k->GetAllUsers(&out);
         SysFreeString(out);
         return hr;
     },
     "CKelvo::GetAllUsers",
     "21 00 00 02 0a 30",
     {0}},
    {"GetPermissionsAndRole",
     [](CKelvo* k) {
         Variant out;
         return k->GetPermissionsAndRole(Bstr(u"op").get(), &out);
     },
     "CKelvo::GetPermissionsAndRole op", "21 00 00 05 06 30 02 6f 70",
     Concat(Counted("op"), {1, 0, 0, 0, 0, 0, 0, 0, 0})},
    {"SetPermissionsAndRole",
     [](CKelvo* k) {
         VariantArray bits(40);
         bits.Bool(0, true);
         bits.Bool(33, true);
         return k->SetPermissionsAndRole(Bstr(u"op").get(), 7, bits.get());
     },
     "CKelvo::SetPermissionsAndRole op 7", "21 00 00 0e 07 30 02 6f 70 07 01 00 00 00 02 00 00 00",
     Counted("op")},
    // Null texts travel as empty counted texts.
    {"NullTexts",
     [](CKelvo* k) { return k->CreateUser(nullptr, nullptr); },
     "CKelvo::CreateUser (null) (null)",
     "21 00 00 04 04 30 00 00",
     {0}},
};

class Request : public ::testing::TestWithParam<RequestCase> {};

TEST_P(Request, IsSentByteForByteAndAnsweredWithSuccess) {
    const RequestCase& rc = GetParam();
    ConnectedKelvo c;
    c.kelvo->canNode = 0x21;
    c.kelvo->errorCode = 9;
    // The success word follows from the command code in the expected request.
    const std::string request = rc.request;
    const auto byteAt = [&request](std::size_t i) {
        return static_cast<std::uint8_t>(std::stoi(request.substr(3 * i, 2), nullptr, 16));
    };
    const std::uint16_t code = static_cast<std::uint16_t>(byteAt(4) | byteAt(5) << 8);
    c.transport->Answer(AnswerFrame(0, SuccessWord(code), rc.answer));
    TraceCapture trace;

    EXPECT_EQ(rc.call(c.kelvo), S_OK);
    EXPECT_EQ(c.kelvo->errorCode, 0);
    ASSERT_EQ(c.transport->writes.size(), 1u);
    EXPECT_EQ(Hex(c.transport->writes[0]), rc.request);
    EXPECT_EQ(c.transport->Count("Unlock"), 1);
    ASSERT_FALSE(trace.lines.empty());
    EXPECT_EQ(trace.lines.front(), rc.entry);
}

INSTANTIATE_TEST_SUITE_P(Users, Request, ::testing::ValuesIn(kRequests),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CreateUser, TextsGoOutInTheThreadCodePage) {
    ConnectedKelvo c;
    c.transport->Answer(AnswerFrame(0, 0x3040, {2, 0xE9, 0x80}));
    EXPECT_EQ(c.kelvo->CreateUser(Bstr(u"\u00E9\u20AC").get(), Bstr(u"").get()), S_OK);
    EXPECT_EQ(Hex(c.transport->writes.at(0)), "00 00 00 06 04 30 02 e9 80 00");
}

// ---------------------------------------------------------------- user list

TEST(GetAllUsers, ListsEveryNameFollowedByATab) {
    struct Case {
        Bytes answer;
        const char* expected;
    };
    const Case cases[] = {
        {{0}, ""},
        {Concat(Concat({2}, Counted("a")), Counted("bc")), "a\tbc\t"},
        {Concat(Concat({2}, Counted("")), Counted("\xE9")), "\t\u00E9\t"},
    };
    for (const Case& tc : cases) {
        ConnectedKelvo c(true, 3);
        c.transport->Answer(c.Wire(AnswerFrame(0, 0x30A0, tc.answer)));
        BSTR out = nullptr;
        EXPECT_EQ(c.kelvo->GetAllUsers(&out), S_OK);
        EXPECT_EQ(ToUtf8(out), tc.expected);
        const std::vector<std::string>& calls = c.transport->calls;
        EXPECT_EQ(calls[calls.size() - 2], "Read 2 10000"); // the CRC trailer, last
        SysFreeString(out);
    }
}

TEST(GetAllUsers, LeavesTheResultAloneOnFailure) {
    ConnectedKelvo c;
    c.transport->AnswerThenTimeout(AnswerFrame(0, 0x30A0, {2, 1, 'a'}));
    BSTR out = reinterpret_cast<BSTR>(0x1234);
    EXPECT_EQ(c.kelvo->GetAllUsers(&out), E_FAIL);
    EXPECT_EQ(out, reinterpret_cast<BSTR>(0x1234));
    EXPECT_EQ(c.kelvo->errorCode, 7);
    EXPECT_EQ(c.kelvo->GetAllUsers(nullptr), E_POINTER);
}

// ------------------------------------------------------- the login user echo

TEST(ChangePasswordUser, ChecksAnEchoedNameAgainstTheLoginUser) {
    struct Case {
        const char* name;
        std::u16string userName;
        Bytes echo;
        HRESULT hr;
        SHORT code;
    };
    const Case cases[] = {
        {"empty echo, any user", u"admin", {0}, S_OK, 0},
        {"empty echo, no user", u"", {0}, S_OK, 0},
        {"the login user", u"admin", Counted("admin"), S_OK, 0},
        {"another user", u"admin", Counted("admiN"), E_FAIL, 11},
        {"shorter name", u"admin", Counted("adm"), E_FAIL, 11},
        {"echo without a login user", u"", Counted("x"), E_FAIL, 11},
    };
    for (const Case& tc : cases) {
        ConnectedKelvo c(true, 3);
        c.kelvo->userName = tc.userName;
        c.transport->Answer(c.Wire(AnswerFrame(0, 0x3020, tc.echo)));
        TraceCapture trace;
        EXPECT_EQ(c.kelvo->ChangePasswordUser(Bstr(u"a").get(), Bstr(u"b").get()), tc.hr)
            << tc.name;
        EXPECT_EQ(c.kelvo->errorCode, tc.code) << tc.name;
        if (tc.code == 11) {
            EXPECT_EQ(trace.lines.back(), "CKelvo::ChangePasswordUser fail 6") << tc.name;
            EXPECT_EQ(c.transport->Count("Read 2"), 0) << tc.name; // no CRC read
        }
    }
}

// ------------------------------------------------------------- failure table

struct FailureCase {
    const char* name;
    bool serial;
    std::function<HRESULT(CKelvo*)> call;
    Script script;
    SHORT code;
    const char* lastTrace; // null: only the entry line is traced
};

HRESULT Create(CKelvo* k) {
    return k->CreateUser(Bstr(u"abc").get(), Bstr(u"pw").get());
}
HRESULT ListUsers(CKelvo* k) {
    BSTR out = nullptr;
    HRESULT hr = k->GetAllUsers(&out);
    SysFreeString(out);
    return hr;
}
HRESULT GetPermissions(CKelvo* k) {
    Variant out;
    return k->GetPermissionsAndRole(Bstr(u"abc").get(), &out);
}
HRESULT SetPermissions(CKelvo* k) {
    VariantArray bits(1);
    return k->SetPermissionsAndRole(Bstr(u"abc").get(), 1, bits.get());
}
HRESULT Delete(CKelvo* k) {
    return k->DeleteUser(Bstr(u"abc").get());
}
HRESULT AdminPassword(CKelvo* k) {
    return k->ChangePasswordAdmin(Bstr(u"abc").get(), Bstr(u"x").get());
}
HRESULT OwnPassword(CKelvo* k) {
    return k->ChangePasswordUser(Bstr(u"o").get(), Bstr(u"n").get());
}

const Bytes kAbc = Counted("abc");

const FailureCase kFailures[] = {
    {"LockRefused", false, Create, RefuseLock(), 6, nullptr},
    {"SendFails", false, Create, FailSend(), 8, nullptr},
    {"HeaderTimeout", false, Create, Silence(), 7, "CKelvo::CreateUser fail 3 (tmo 10000 len 6)"},
    {"WrongCounter", false, Delete, Reply(AnswerFrame(5, 0x3050, kAbc)), 4,
     "CKelvo::DeleteUser fail 4 (frameCount received: 5, frameCount sent: 0)"},
    {"DeviceError", false, Create, Reply(AnswerFrame(0, 0x3041, DeviceError(0x16000002))), 1,
     "CKelvo::CreateUser FAILED (error code: 369098754)"},
    {"DeviceErrorTimeout", false, AdminPassword, ReplyCut(AnswerFrame(0, 0x3031, {4, 1})), 7,
     "CKelvo::ChangePasswordAdmin read error timeout (tmo 10000 len 5)"},
    {"OtherStatus", false, Create, Reply(AnswerFrame(0, 0x3042, kAbc)), 5,
     "CKelvo::CreateUser fail 12 (12354)"},
    {"EchoTimeout", false, Create, ReplyCut(AnswerFrame(0, 0x3040, {3, 'a'})), 7,
     "CKelvo::CreateUser fail 5 (tmo 10000 len 4)"},
    {"EchoOtherName", true, Create, Reply(AnswerFrame(0, 0x3040, Counted("abd"))), 11,
     "CKelvo::CreateUser fail 6"},
    {"EchoOtherLength", true, Delete, Reply(AnswerFrame(0, 0x3050, {2, 'a', 'b', 'c'})), 11,
     "CKelvo::DeleteUser fail 6"},
    {"SetEchoOtherName", true, SetPermissions, Reply(AnswerFrame(0, 0x3070, Counted("ABC"))), 11,
     "CKelvo::SetPermissionsAndRole fail 6"},
    {"SetEchoTimeout", false, SetPermissions, ReplyCut(AnswerFrame(0, 0x3070, {3})), 7,
     "CKelvo::SetPermissionsAndRole fail 5 (tmo 10000 len 4)"},
    {"OwnPasswordLengthTimeout", false, OwnPassword, ReplyCut(AnswerFrame(0, 0x3020)), 7,
     "CKelvo::ChangePasswordUser fail 5 (tmo 10000 len 1)"},
    {"OwnPasswordNameTimeout", false, OwnPassword, ReplyCut(AnswerFrame(0, 0x3020, {5, 'a'})), 7,
     "CKelvo::ChangePasswordUser fail 5 (tmo 10000 len 5)"},
    {"PermissionsShort", false, GetPermissions,
     ReplyCut(AnswerFrame(0, 0x3060, Concat(kAbc, {1, 2, 3}))), 7,
     "CKelvo::GetPermissionsAndRole fail 5 (tmo 10000 len 13)"},
    {"PermissionsOtherName", true, GetPermissions,
     Reply(AnswerFrame(0, 0x3060, Concat(Counted("abx"), Bytes(9, 0)))), 11,
     "CKelvo::GetPermissionsAndRole fail 6"},
    {"ListCountTimeout", false, ListUsers, ReplyCut(AnswerFrame(0, 0x30A0)), 7,
     "CKelvo::GetAllUsers fail 5 (tmo 10000 len 1)"},
    {"ListLengthTimeout", false, ListUsers, ReplyCut(AnswerFrame(0, 0x30A0, {2, 1, 'a'})), 7,
     "CKelvo::GetAllUsers fail 5 (tmo 10000 len 1)"},
    {"ListNameTimeout", false, ListUsers, ReplyCut(AnswerFrame(0, 0x30A0, {1, 7, 'a'})), 7,
     "CKelvo::GetAllUsers fail 6 (tmo 10000 len 7)"},
    {"SerialEchoTimeout", true, Create, Silence(), 7,
     "CKelvo::CreateUser read serial address fail (tmo 10000 len 1)"},
    {"SerialWrongAddress", true, Create, Raw(SerialWrap(4, AnswerFrame(0, 0x3040, kAbc))), 12,
     "CKelvo::CreateUser read serial address fail (request addr: 3, response addr: 4)"},
    {"SerialCrcTimeout", true, Create, ReplyCut(AnswerFrame(0, 0x3040, kAbc)), 7,
     "CKelvo::CreateUser CRC timeout fail 7 (tmo 10000 len 2)"},
    {"SerialCrcMismatch", true, ListUsers, Spoiled(AnswerFrame(0, 0x30A0, {0}), 0x40), 13, nullptr},
    {"SerialDeviceErrorCrc", true, Delete,
     Spoiled(Concat(AnswerFrame(0, 0x3051), DeviceError(1)), 0x01), 13, nullptr},
};

class ExchangeFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ExchangeFailure, StoresTheCodeTracesTheStepAndUnlocksOnce) {
    const FailureCase& fc = GetParam();
    ConnectedKelvo c(fc.serial, 3);
    fc.script(c);
    TraceCapture trace;

    EXPECT_EQ(fc.call(c.kelvo), E_FAIL);

    EXPECT_EQ(c.kelvo->errorCode, fc.code);
    EXPECT_EQ(c.transport->Count("Unlock"), fc.code == 6 ? 0 : 1);
    EXPECT_EQ(c.transport->lockDepth, 0);
    ASSERT_FALSE(trace.lines.empty());
    if (fc.lastTrace) {
        EXPECT_EQ(trace.lines.back(), fc.lastTrace);
    }
    if (fc.code == 6 || fc.code == 8) {
        EXPECT_EQ(trace.lines.size(), 1u);
    }
    if (fc.code == 11) { // the echo is checked before the CRC trailer is read
        EXPECT_EQ(c.transport->Count("Read 2"), 0);
    }
    for (std::uint32_t category : trace.categories)
        EXPECT_EQ(category, 2u);
}

INSTANTIATE_TEST_SUITE_P(Users, ExchangeFailure, ::testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UserExchange, DeviceErrorLeavesTheDeviceCode) {
    ConnectedKelvo c;
    c.transport->Answer(Concat(AnswerFrame(0, 0x3051), DeviceError(0x16000001)));
    EXPECT_EQ(c.kelvo->DeleteUser(Bstr(u"nobody").get()), E_FAIL);
    EXPECT_EQ(c.kelvo->errorCode, 1);
    EXPECT_EQ(c.kelvo->deviceStatus, 0x16000001u);
    // The object stays usable; the next call takes the next counter.
    c.transport->Answer(AnswerFrame(1, 0x30A0, {0}));
    BSTR out = nullptr;
    EXPECT_EQ(c.kelvo->GetAllUsers(&out), S_OK);
    SysFreeString(out);
}

// ---------------------------------------------------------------- limits

TEST(CountedTexts, TooLongRequestsAreRefusedBeforeAnythingIsSent) {
    struct Case {
        const char* name;
        std::u16string first;
        std::u16string second;
        bool sent;
    };
    const std::u16string c255(255, u'x');
    const Case cases[] = {
        {"two texts of 251 bytes", std::u16string(126, u'a'), std::u16string(125, u'b'), true},
        {"two texts of 252 bytes", std::u16string(126, u'a'), std::u16string(126, u'b'), false},
        {"a name of 256", std::u16string(256, u'a'), u"", false},
        {"a password of 256", u"a", std::u16string(256, u'b'), false},
        {"300 code units in 150 bytes", Repeat(u"\U0001F600", 150), u"", false},
    };
    for (const Case& tc : cases) {
        ConnectedKelvo c;
        c.kelvo->errorCode = 0;
        const std::string echoed(tc.first.size(), 'a');
        c.transport->Answer(AnswerFrame(0, 0x3040, Counted(echoed)));
        TraceCapture trace;
        const HRESULT hr = c.kelvo->CreateUser(Bstr(tc.first).get(), Bstr(tc.second).get());
        EXPECT_EQ(hr, tc.sent ? S_OK : E_FAIL) << tc.name;
        EXPECT_EQ(c.kelvo->errorCode, tc.sent ? 0 : 10) << tc.name;
        EXPECT_EQ(c.transport->Count("Lock"), tc.sent ? 1 : 0) << tc.name;
        EXPECT_EQ(c.transport->writes.size(), tc.sent ? 1u : 0u) << tc.name;
        if (tc.sent) {
            EXPECT_EQ(c.transport->writes[0][3], 255) << tc.name;
        }
    }
}

TEST(CountedTexts, ASingleNameKeepsTheFrameLengthByteBelow256) {
    // DeleteUser: length byte 3 + L; SetPermissionsAndRole: 12 + L.
    for (std::size_t l : {252u, 253u}) {
        ConnectedKelvo c;
        c.transport->Answer(AnswerFrame(0, 0x3050, Counted(std::string(l, 'n'))));
        const HRESULT hr = c.kelvo->DeleteUser(Bstr(std::u16string(l, u'n')).get());
        EXPECT_EQ(hr, l == 252 ? S_OK : E_FAIL) << l;
        EXPECT_EQ(c.transport->writes.size(), l == 252 ? 1u : 0u) << l;
    }
    for (std::size_t l : {243u, 244u}) {
        ConnectedKelvo c;
        c.transport->Answer(AnswerFrame(0, 0x3070, Counted(std::string(l, 'n'))));
        VariantArray bits(1);
        const HRESULT hr =
            c.kelvo->SetPermissionsAndRole(Bstr(std::u16string(l, u'n')).get(), 0, bits.get());
        EXPECT_EQ(hr, l == 243 ? S_OK : E_FAIL) << l;
        EXPECT_EQ(c.kelvo->errorCode, l == 243 ? 0 : 10) << l;
    }
}

// ---------------------------------------------------------------- permissions

TEST(GetPermissionsAndRole, RoleAndBitsBecomeA65ElementArray) {
    ConnectedKelvo c(true, 3);
    Bytes answer = Counted("op");
    answer.push_back(3);
    answer.resize(answer.size() + 8);
    stle_u32(&answer[4], 0x00000005);
    stle_u32(&answer[8], 0x80000000);
    c.transport->Answer(c.Wire(AnswerFrame(0, 0x3060, answer)));
    Variant result;
    ASSERT_EQ(c.kelvo->GetPermissionsAndRole(Bstr(u"op").get(), &result), S_OK);
    ASSERT_EQ(result.vt, VT_ARRAY | VT_VARIANT);
    LONG lower = -1, upper = -1;
    SafeArrayGetLBound(result.parray, 1, &lower);
    SafeArrayGetUBound(result.parray, 1, &upper);
    EXPECT_EQ(lower, 0);
    EXPECT_EQ(upper, 64);
    const auto* items = static_cast<const VARIANT*>(result.parray->pvData);
    EXPECT_EQ(items[0].vt, VT_UI1);
    EXPECT_EQ(items[0].bVal, 3);
    std::vector<int> set;
    for (int i = 1; i <= 64; ++i) {
        ASSERT_EQ(items[i].vt, VT_BOOL) << i;
        ASSERT_TRUE(items[i].boolVal == VARIANT_TRUE || items[i].boolVal == VARIANT_FALSE) << i;
        if (items[i].boolVal)
            set.push_back(i);
    }
    EXPECT_EQ(set, (std::vector<int>{1, 3, 64}));
}

TEST(GetPermissionsAndRole, WritesNoResultOnFailure) {
    ConnectedKelvo c;
    c.transport->Answer(Concat(AnswerFrame(0, 0x3061), DeviceError(5)));
    Variant result;
    result.vt = VT_I4;
    result.lVal = 17;
    EXPECT_EQ(c.kelvo->GetPermissionsAndRole(Bstr(u"op").get(), &result), E_FAIL);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 17);
}

std::string PermissionWords(const Bytes& frame) {
    // [header 6][counted name][role][low 4][high 4]
    const std::size_t at = 6 + 1 + frame[6] + 1;
    char text[32];
    std::snprintf(text, sizeof text, "%08x %08x", ldle_u32(&frame[at]), ldle_u32(&frame[at + 4]));
    return text;
}

TEST(SetPermissionsAndRole, ElementIStandsForBitI) {
    struct Case {
        const char* name;
        std::function<void(VariantArray&)> fill;
        std::size_t count;
        const char* words;
    };
    const Case cases[] = {
        {"true false true",
         [](VariantArray& a) {
             a.Bool(0, true);
             a.Bool(1, false);
             a.Bool(2, true);
         },
         3, "00000005 00000000"},
        {"70 times true",
         [](VariantArray& a) {
             for (std::size_t i = 0; i < 70; ++i)
                 a.Bool(i, true);
         },
         70, "ffffffff ffffffff"},
        {"a VT_I4 element leaves its bit clear",
         [](VariantArray& a) {
             a.at(0).vt = VT_I4;
             a.at(0).lVal = 1;
             a.Bool(1, true);
         },
         2, "00000002 00000000"},
        {"any non-zero VT_BOOL counts",
         [](VariantArray& a) {
             a.at(40).vt = VT_BOOL;
             a.at(40).boolVal = 1;
         },
         41, "00000000 00000100"},
        {"empty array", [](VariantArray&) {}, 0, "00000000 00000000"},
    };
    for (const Case& tc : cases) {
        ConnectedKelvo c;
        c.transport->Answer(AnswerFrame(0, 0x3070, Counted("op")));
        VariantArray bits(tc.count);
        tc.fill(bits);
        EXPECT_EQ(c.kelvo->SetPermissionsAndRole(Bstr(u"op").get(), 2, bits.get()), S_OK)
            << tc.name;
        ASSERT_EQ(c.transport->writes.size(), 1u) << tc.name;
        EXPECT_EQ(c.transport->writes[0].size(), 18u) << tc.name;
        EXPECT_EQ(PermissionWords(c.transport->writes[0]), tc.words) << tc.name;
    }
}

TEST(SetPermissionsAndRole, TheArrayOfGetShiftsEveryBitByOne) {
    ConnectedKelvo c;
    Bytes answer = Concat(Counted("op"), {9, 0x01, 0, 0, 0x80, 0, 0, 0, 0x80});
    c.transport->Answer(AnswerFrame(0, 0x3060, answer));
    c.transport->Answer(AnswerFrame(1, 0x3070, Counted("op")));
    Variant got;
    ASSERT_EQ(c.kelvo->GetPermissionsAndRole(Bstr(u"op").get(), &got), S_OK);
    ASSERT_EQ(c.kelvo->SetPermissionsAndRole(Bstr(u"op").get(), 9, got), S_OK);
    // bits 0, 31 and 63 come back as 1 and 32; the element of bit 63 (index 64) is ignored.
    EXPECT_EQ(PermissionWords(c.transport->writes.at(1)), "00000002 00000001");
}

TEST(SetPermissionsAndRole, RefusesUnusableArgumentsWithoutSending) {
    struct Case {
        const char* name;
        bool nullName;
        VARTYPE vt;
        VARTYPE element; // VT_EMPTY: no array behind the argument
        LONG lower;
        HRESULT hr;
    };
    constexpr VARTYPE kArray = VT_ARRAY | VT_VARIANT;
    const Case cases[] = {
        {"a single VT_BOOL", false, VT_BOOL, VT_EMPTY, 0, KELVO_E_PERMISSIONS},
        {"a null name", true, kArray, VT_VARIANT, 0, KELVO_E_PERMISSIONS},
        {"an array of VT_BOOL", false, VT_ARRAY | VT_BOOL, VT_BOOL, 0, KELVO_E_PERMISSIONS},
        {"a null array", false, kArray, VT_EMPTY, 0, E_INVALIDARG},
        {"elements that are not VARIANT", false, kArray, VT_I4, 0, E_INVALIDARG},
        {"lower bound 1", false, kArray, VT_VARIANT, 1, E_INVALIDARG},
    };
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.name);
        ConnectedKelvo c;
        c.kelvo->errorCode = 4;
        SAFEARRAY* array =
            tc.element == VT_EMPTY ? nullptr : SafeArrayCreateVector(tc.element, tc.lower, 2);
        VARIANT permissions;
        VariantInit(&permissions);
        permissions.vt = tc.vt;
        if (tc.vt == VT_BOOL)
            permissions.boolVal = VARIANT_TRUE;
        else
            permissions.parray = array;
        TraceCapture trace;
        Bstr name(u"op");
        EXPECT_EQ(
            c.kelvo->SetPermissionsAndRole(tc.nullName ? nullptr : name.get(), 1, permissions),
            tc.hr);
        SafeArrayDestroy(array);
        EXPECT_EQ(c.kelvo->errorCode, 4);
        EXPECT_TRUE(c.transport->calls.empty());
        EXPECT_EQ(trace.lines.size(), 1u);
    }
}

} // namespace
} // namespace kelvo::test
