// User accounts, permissions and roles on the scripted transport: requests
// byte for byte, the answer checks, every failure step of the user
// administration exchange, and how counted texts wrap.
#include "operations/answers.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace kelvo::test {
namespace {

// A VT_ARRAY | VT_VARIANT argument built from element setters; owns the array.
class VariantArray {
public:
    explicit VariantArray(std::size_t count) {
        SAFEARRAYBOUND bound{static_cast<ULONG>(count), 0};
        v_.vt = VT_ARRAY | VT_VARIANT;
        v_.parray = SafeArrayCreate(VT_VARIANT, 1, &bound);
    }
    VARIANT& at(std::size_t i) { return static_cast<VARIANT*>(v_.parray->pvData)[i]; }
    void Bool(std::size_t i) {
        at(i).vt = VT_BOOL;
        at(i).boolVal = VARIANT_TRUE;
    }
    VARIANT& get() { return v_; }

private:
    Variant v_;
};

// The members with fixed arguments. The ones with a result check that a
// failure leaves it as it was.
HRESULT Create(CKelvo* k) {
    return k->CreateUser(Bstr(u"abc").get(), Bstr(u"pw").get());
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
HRESULT ListUsers(CKelvo* k) {
    BSTR out = reinterpret_cast<BSTR>(0x1234);
    const HRESULT hr = k->GetAllUsers(&out);
    if (FAILED(hr)) {
        EXPECT_EQ(out, reinterpret_cast<BSTR>(0x1234));
    } else {
        SysFreeString(out);
    }
    return hr;
}
HRESULT GetPermissions(CKelvo* k) {
    Variant out;
    out.vt = VT_I4;
    out.lVal = 17;
    const HRESULT hr = k->GetPermissionsAndRole(Bstr(u"abc").get(), &out);
    if (FAILED(hr)) {
        EXPECT_EQ(out.vt, VT_I4);
        EXPECT_EQ(out.lVal, 17);
    }
    return hr;
}
HRESULT SetPermissions(CKelvo* k) {
    VariantArray bits(40);
    bits.Bool(0);
    bits.Bool(33);
    return k->SetPermissionsAndRole(Bstr(u"abc").get(), 7, bits.get());
}

const Bytes kAbc = Counted("abc");

// ---------------------------------------------------------------- requests

struct RequestCase {
    const char* name;
    HRESULT (*call)(CKelvo*);
    const char* entry;
    const char* request; // TCP frame, node 0x21, first counter
    Bytes answer;        // success answer data
};

// clang-format off
const RequestCase kRequests[] = {
    {"CreateUser", Create, "CKelvo::CreateUser abc pw", "21 00 00 09 04 30 03 61 62 63 02 70 77", kAbc},
    {"DeleteUser", Delete, "CKelvo::DeleteUser abc", "21 00 00 06 05 30 03 61 62 63", kAbc},
    {"ChangePasswordAdmin", AdminPassword, "CKelvo::ChangePasswordAdmin abc x", "21 00 00 08 03 30 03 61 62 63 01 78", kAbc},
    {"ChangePasswordUser", OwnPassword, "CKelvo::ChangePasswordUser o n", "21 00 00 06 02 30 01 6f 01 6e", {0}},
    {"GetAllUsers", ListUsers, "CKelvo::GetAllUsers", "21 00 00 02 0a 30", {0}},
    {"GetPermissionsAndRole", GetPermissions, "CKelvo::GetPermissionsAndRole abc", "21 00 00 06 06 30 03 61 62 63",
     Concat(kAbc, {1, 0, 0, 0, 0, 0, 0, 0, 0})},
    {"SetPermissionsAndRole", SetPermissions, "CKelvo::SetPermissionsAndRole abc 7",
     "21 00 00 0f 07 30 03 61 62 63 07 01 00 00 00 02 00 00 00", kAbc},
    // Texts go out in the thread's code page; null texts as empty counted texts.
    {"CodePage", [](CKelvo* k) { return k->CreateUser(Bstr(u"\u00E9\u20AC").get(), Bstr(u"").get()); },
     "CKelvo::CreateUser \xC3\xA9\xE2\x82\xAC ", "21 00 00 06 04 30 02 e9 80 00", {2, 0xE9, 0x80}},
    {"NullTexts", [](CKelvo* k) { return k->CreateUser(nullptr, nullptr); }, "CKelvo::CreateUser (null) (null)",
     "21 00 00 04 04 30 00 00", {0}},
};
// clang-format on

TEST(UserRequest, IsSentByteForByteAndAnsweredWithSuccess) {
    for (const RequestCase& rc : kRequests) {
        SCOPED_TRACE(rc.name);
        ConnectedKelvo c;
        c.kelvo->canNode = 0x21;
        c.kelvo->errorCode = 9;
        // The success word follows from the command code in the expected request.
        const Bytes request = FromHex(rc.request);
        c.transport->Answer(AnswerFrame(0, SuccessWord(ldle_u16(&request[4])), rc.answer));
        TraceCapture trace;

        EXPECT_EQ(rc.call(c.kelvo), S_OK);
        EXPECT_EQ(c.kelvo->errorCode, 0);
        EXPECT_EQ(Hex(c.transport->writes.at(0)), rc.request);
        EXPECT_EQ(c.transport->Count("Unlock"), 1);
        EXPECT_EQ(trace.lines.at(0), rc.entry);
    }
}

// ------------------------------------------------------- the login user echo

TEST(ChangePasswordUser, ChecksAnEchoedNameAgainstTheLoginUser) {
    // (login user, echo, error code)
    const std::tuple<std::u16string, Bytes, int> cases[] = {
        {u"admin", {0}, 0}, // an empty echo goes with any user
        {u"", {0}, 0},
        {u"admin", Counted("admin"), 0},
        {u"admin", Counted("admiN"), 11},
        {u"admin", Counted("adm"), 11},
        {u"", Counted("x"), 11},
        {u"\U0001F600", Counted("??"), 0}, // two code units, one "?" filled up
        {u"\U0001F600", Counted("?"), 11},
    };
    for (const auto& [userName, echo, code] : cases) {
        SCOPED_TRACE(Hex(echo));
        ConnectedKelvo c(true, 3);
        c.kelvo->userName = userName;
        c.transport->Answer(c.Wire(AnswerFrame(0, 0x3020, echo)));
        TraceCapture trace;
        EXPECT_EQ(OwnPassword(c.kelvo), code ? E_FAIL : S_OK);
        EXPECT_EQ(c.kelvo->errorCode, code);
        if (code == 11) {
            EXPECT_EQ(trace.lines.back(), "CKelvo::ChangePasswordUser fail 6");
            EXPECT_EQ(c.transport->Count("Read 2"), 0); // no CRC read
        }
    }
}

// ------------------------------------------------------------- failure table

struct FailureCase {
    const char* name;
    bool serial;
    HRESULT (*call)(CKelvo*);
    Script script;
    SHORT code;
    std::string lastTrace; // "": only the entry line is traced
    std::uint32_t deviceStatus = 0;
};

const Bytes kBadError = Flip(SerialWrap(3, Concat(AnswerFrame(0, 0x3051), DeviceError(1))), 1, 1);

// clang-format off
const FailureCase kFailures[] = {
    {"DeviceError", false, Create, Reply(AnswerFrame(0, 0x3041, DeviceError(0x16000002))), 1,
     "CKelvo::CreateUser FAILED (error code: 369098754)", 0x16000002},
    {"EchoOtherName", true, Create, Reply(AnswerFrame(0, 0x3040, Counted("abd"))), 11, "CKelvo::CreateUser fail 6"},
    {"EchoOtherLength", true, Delete, Reply(AnswerFrame(0, 0x3050, {2, 'a', 'b', 'c'})), 11, "CKelvo::DeleteUser fail 6"},
    {"SetEchoOtherName", true, SetPermissions, Reply(AnswerFrame(0, 0x3070, Counted("ABC"))), 11,
     "CKelvo::SetPermissionsAndRole fail 6"},
    {"PermissionsOtherName", true, GetPermissions, Reply(AnswerFrame(0, 0x3060, Concat(Counted("abx"), Bytes(9, 0)))), 11,
     "CKelvo::GetPermissionsAndRole fail 6"},
    {"PermissionsDeviceError", false, GetPermissions, Reply(Concat(AnswerFrame(0, 0x3061), DeviceError(5))), 1,
     "CKelvo::GetPermissionsAndRole FAILED (error code: 5)", 5},
    {"ListNameTimeout", false, ListUsers, ReplyCut(AnswerFrame(0, 0x30A0, {1, 7, 'a'})), 7,
     "CKelvo::GetAllUsers fail 6 (tmo 10000 len 7)"},
    {"SerialDeviceErrorCrc", true, Delete, Raw(kBadError), 13, "CKelvo::DeleteUser CRC fail 0 " + CrcPair(kBadError)},
};
// clang-format on

class ExchangeFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ExchangeFailure, StoresTheCodeTracesTheStepAndUnlocksOnce) {
    const FailureCase& fc = GetParam();
    ConnectedKelvo c(fc.serial, 3);
    fc.script(c);
    ExpectFailure(
        c, [&] { return fc.call(c.kelvo); }, fc.code, "", fc.lastTrace);
    if (fc.deviceStatus) {
        EXPECT_EQ(c.kelvo->deviceStatus, fc.deviceStatus);
    }
    if (fc.code == 11) { // the echo is checked before the CRC trailer is read
        EXPECT_EQ(c.transport->Count("Read 2"), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Users, ExchangeFailure, ::testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- limits

// Counted texts are sent as written, never refused: the length byte is the
// number of UTF-16 code units modulo 256 (a character outside the BMP counts
// two), the text that many bytes of the code-page conversion (filled with "?"
// when it is shorter, cut when it is longer), and the frame length byte keeps
// its low 8 bits. The device echoes the first text so.
TEST(CountedTexts, LengthBytesWrapAndTextsFollowThem) {
    using Call = std::function<HRESULT(CKelvo*)>;
    const auto create = [](std::u16string first, std::u16string second) -> Call {
        return [=](CKelvo* k) { return k->CreateUser(Bstr(first).get(), Bstr(second).get()); };
    };
    const auto set = [](std::size_t l) -> Call {
        return [=](CKelvo* k) {
            VariantArray bits(1);
            return k->SetPermissionsAndRole(Bstr(std::u16string(l, u'n')).get(), 0, bits.get());
        };
    };
    const std::u16string n126(126, u'n');
    // (case, call, success word, text bytes of the first text, frame size)
    const std::tuple<const char*, Call, std::uint16_t, std::string, std::size_t> cases[] = {
        {"two texts of 252 bytes", create(n126, n126), 0x3040, std::string(126, 'n'), 260},
        {"a name of 256", create(std::u16string(256, u'n'), u"p"), 0x3040, "", 9},
        {"SetPermissionsAndRole 244", set(244), 0x3070, std::string(244, 'n'), 260},
    };
    for (const auto& [name, call, word, text, frame] : cases) {
        SCOPED_TRACE(name);
        ConnectedKelvo c;
        c.transport->Answer(AnswerFrame(0, word, Counted(text)));
        EXPECT_EQ(call(c.kelvo), S_OK);
        EXPECT_EQ(c.kelvo->errorCode, 0);
        ASSERT_EQ(c.transport->writes.size(), 1u);
        const Bytes& w = c.transport->writes[0];
        ASSERT_EQ(w.size(), frame);
        EXPECT_EQ(w[3], (frame - 4) % 256);
        EXPECT_EQ(w[6], text.size());
        EXPECT_EQ(std::string(w.begin() + 7, w.begin() + 7 + static_cast<long>(text.size())), text);
    }
    // A longer conversion is cut after the length byte's count of bytes.
    SetThreadCodePage(CodePage::Utf8);
    ConnectedKelvo c;
    c.transport->Answer(AnswerFrame(0, 0x3050, Counted("\xC3\xA4")));
    EXPECT_EQ(c.kelvo->DeleteUser(Bstr(u"\u00e4\u00e4").get()), S_OK);
    SetThreadCodePage(CodePage::Windows1252);
    EXPECT_EQ(Hex(c.transport->writes.at(0)), "00 00 00 05 05 30 02 c3 a4");
}

// ---------------------------------------------------------------- permissions

TEST(GetPermissionsAndRole, RoleAndBitsBecomeA65ElementArray) {
    ConnectedKelvo c(true, 3);
    Bytes answer = Concat(Counted("op"), {3});
    answer = Concat(Concat(answer, Le32(0x00000005)), Le32(0x80000000));
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

std::string PermissionWords(const Bytes& frame) {
    // [header 6][counted name][role][low 4][high 4]
    const std::size_t at = 6 + 1 + frame[6] + 1;
    char text[32];
    std::snprintf(text, sizeof text, "%08x %08x", ldle_u32(&frame[at]), ldle_u32(&frame[at + 4]));
    return text;
}

TEST(SetPermissionsAndRole, ElementIStandsForBitI) {
    // One letter per element: T, F VT_BOOL true and false, b VT_BOOL 1,
    // I VT_I4 1, '.' VT_EMPTY.
    const std::pair<std::string, const char*> cases[] = {
        {"TFT", "00000005 00000000"},
        {std::string(70, 'T'), "ffffffff ffffffff"},
        {"IT", "00000002 00000000"},                       // only VT_BOOL elements set their bit
        {std::string(40, '.') + "b", "00000000 00000100"}, // any non-zero VT_BOOL counts
        {"", "00000000 00000000"},
    };
    for (const auto& [elements, words] : cases) {
        SCOPED_TRACE(elements);
        ConnectedKelvo c;
        c.transport->Answer(AnswerFrame(0, 0x3070, Counted("op")));
        VariantArray bits(elements.size());
        for (std::size_t i = 0; i < elements.size(); ++i) {
            VARIANT& e = bits.at(i);
            if (elements[i] == 'I') {
                e.vt = VT_I4;
                e.lVal = 1;
            } else if (elements[i] != '.') {
                e.vt = VT_BOOL;
                e.boolVal = elements[i] == 'T' ? VARIANT_TRUE : elements[i] == 'b' ? 1 : 0;
            }
        }
        EXPECT_EQ(c.kelvo->SetPermissionsAndRole(Bstr(u"op").get(), 2, bits.get()), S_OK);
        EXPECT_EQ(PermissionWords(c.transport->writes.at(0)), words);
    }
}

TEST(SetPermissionsAndRole, RefusesUnusableArgumentsWithoutSending) {
    constexpr VARTYPE kArray = VT_ARRAY | VT_VARIANT;
    // (case, null name, argument type, array element type or VT_EMPTY for none, lower bound,
    // result)
    const std::tuple<const char*, bool, VARTYPE, VARTYPE, LONG, HRESULT> cases[] = {
        {"a single VT_BOOL", false, VT_BOOL, VT_EMPTY, 0, KELVO_E_PERMISSIONS},
        {"a null name", true, kArray, VT_VARIANT, 0, KELVO_E_PERMISSIONS},
        {"an array of VT_BOOL", false, VT_ARRAY | VT_BOOL, VT_BOOL, 0, KELVO_E_PERMISSIONS},
        {"a null array", false, kArray, VT_EMPTY, 0, E_INVALIDARG},
        {"elements that are not VARIANT", false, kArray, VT_I4, 0, E_INVALIDARG},
        {"lower bound 1", false, kArray, VT_VARIANT, 1, E_INVALIDARG},
    };
    for (const auto& [name, nullName, vt, element, lower, hr] : cases) {
        SCOPED_TRACE(name);
        ConnectedKelvo c;
        c.kelvo->errorCode = 4;
        SAFEARRAY* array = element == VT_EMPTY ? nullptr : SafeArrayCreateVector(element, lower, 2);
        VARIANT permissions;
        VariantInit(&permissions);
        permissions.vt = vt;
        if (vt == VT_BOOL)
            permissions.boolVal = VARIANT_TRUE;
        else
            permissions.parray = array;
        TraceCapture trace;
        Bstr op(u"op");
        EXPECT_EQ(c.kelvo->SetPermissionsAndRole(nullName ? nullptr : op.get(), 1, permissions),
                  hr);
        SafeArrayDestroy(array);
        EXPECT_EQ(c.kelvo->errorCode, 4);
        EXPECT_TRUE(c.transport->calls.empty());
        EXPECT_EQ(trace.lines.size(), 1u);
    }
}

} // namespace
} // namespace kelvo::test
