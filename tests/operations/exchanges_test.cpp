// Every operation's exchange on the scripted transport, one table per shape:
// the request byte for byte with what the answer hands back and the trace,
// over TCP and serial; the failure steps each operation owns; the arguments
// refused before the port is touched. The shared steps (lock, send, echo,
// header, counter, success CRC) are the save's in tests/protocol, and the
// fault matrix runs every fault of kelvo-sim on every read of every operation.
#include "operations/answers.h"
#include "operations/ping.h"
#include "support/variant_of.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace kelvo::test {
namespace {

// ---------------------------------------------------------------- the calls

Call CreateUser(const std::u16string& name, const std::u16string& password) {
    return [=](CKelvo* k) { return k->CreateUser(Bstr(name).get(), Bstr(password).get()); };
}
const Call kCreate = CreateUser(u"abc", u"pw");
const Call kDelete = [](CKelvo* k) { return k->DeleteUser(Bstr(u"abc").get()); };
// The own password change checks an echoed name against the login user.
Call OwnPassword(const std::u16string& user) {
    return [user](CKelvo* k) {
        k->userName = user;
        return k->ChangePasswordUser(Bstr(u"o").get(), Bstr(u"n").get());
    };
}
// SetPermissionsAndRole with one letter per element: T, F VT_BOOL true and
// false, b VT_BOOL 1, I VT_I4 1, '.' VT_EMPTY.
Call SetBits(const std::u16string& name, BYTE role, std::string elements) {
    return [=](CKelvo* k) {
        Variant bits;
        bits.vt = VT_ARRAY | VT_VARIANT;
        bits.parray = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(elements.size()));
        for (std::size_t i = 0; i < elements.size(); ++i) {
            const char c = elements[i];
            if (c != '.')
                static_cast<VARIANT*>(bits.parray->pvData)[i] =
                    VariantOf(c == 'I' ? VT_I4 : VT_BOOL, c == 'T' ? VARIANT_TRUE : c != 'F');
        }
        return k->SetPermissionsAndRole(Bstr(name).get(), role, bits);
    };
}
const Call kSetPermissions = SetBits(u"abc", 7, "T" + std::string(32, '.') + "T");
Call ResetPassword(const std::u16string& key) {
    return [key](CKelvo* k) { return k->ResetAdminPassword(Bstr(key).get()); };
}
Call Certificate(LONG start, LONG expire) {
    return [=](CKelvo* k) { return k->CreateCertificate(start, expire); };
}

// Calls `call` with the caller's result set to `sentinel`: a failure leaves
// it so, a success renders it into `result`.
template <class T>
HRESULT Kept(std::string& result, T sentinel, const std::function<HRESULT(T*)>& call,
             const std::function<std::string(T)>& render) {
    T value = sentinel;
    const HRESULT hr = call(&value);
    if (FAILED(hr)) {
        EXPECT_EQ(value, sentinel);
        return hr;
    }
    result = render(value);
    return hr;
}
std::string TakeText(BSTR text) {
    const std::string utf8 = Utf16ToUtf8(BstrView(text));
    SysFreeString(text);
    return utf8;
}
const auto kBstr = reinterpret_cast<BSTR>(0x10);
HRESULT ListUsers(CKelvo* k, std::string& result) {
    return Kept<BSTR>(
        result, kBstr, [k](BSTR* out) { return k->GetAllUsers(out); }, TakeText);
}
HRESULT Key(CKelvo* k, std::string& result) {
    return Kept<BSTR>(
        result, kBstr, [k](BSTR* out) { return k->GetBVAdminKey(out); }, TakeText);
}
Call Ping(SHORT blink) {
    return [blink](CKelvo* k, std::string& result) {
        return Kept<BSTR>(
            result, kBstr, [&](BSTR* out) { return k->Ping(blink, out); }, TakeText);
    };
}
Call Push(VARTYPE vt, std::int64_t value) {
    return [=](CKelvo* k, std::string& result) {
        return Kept<LONG>(
            result, 77,
            [&](LONG* out) { return k->PushDataCommand(2, 0x105, VariantOf(vt, value), out); },
            [](LONG n) { return std::to_string(n); });
    };
}
HRESULT SafeObject(CKelvo* k, std::string& result) {
    return Kept<ULONG>(
        result, 77, [k](ULONG* out) { return k->ReadSafeObject(0x1234, 5, out); },
        [](ULONG n) { return std::to_string(n); });
}
HRESULT SafeRead(CKelvo* k, std::string& result) {
    return Kept<SAFEARRAY*>(
        result, reinterpret_cast<SAFEARRAY*>(0x1),
        [k](SAFEARRAY** out) { return k->SafeDataRead(out); },
        [](SAFEARRAY* read) {
            const auto* got = static_cast<const std::uint8_t*>(read->pvData);
            const std::string text = Hex(Bytes(got, got + read->rgsabound[0].cElements));
            SafeArrayDestroy(read);
            return text;
        });
}

// The role and the numbers of the bits set, from the 65-element array.
HRESULT GetPermissions(CKelvo* k, std::string& result) {
    Variant out;
    out.vt = VT_I4;
    out.lVal = 17;
    const HRESULT hr = k->GetPermissionsAndRole(Bstr(u"abc").get(), &out);
    if (FAILED(hr)) {
        EXPECT_EQ(out.vt, VT_I4);
        EXPECT_EQ(out.lVal, 17);
        return hr;
    }
    EXPECT_EQ(out.vt, VT_ARRAY | VT_VARIANT);
    EXPECT_EQ(out.parray->rgsabound[0].lLbound, 0);
    EXPECT_EQ(out.parray->rgsabound[0].cElements, 65u);
    const auto* items = static_cast<const VARIANT*>(out.parray->pvData);
    EXPECT_EQ(items[0].vt, VT_UI1);
    result = "role " + std::to_string(items[0].bVal) + " bits";
    for (int i = 1; i <= 64; ++i) {
        EXPECT_EQ(items[i].vt, VT_BOOL) << i;
        EXPECT_TRUE(items[i].boolVal == VARIANT_TRUE || items[i].boolVal == VARIANT_FALSE) << i;
        if (items[i].boolVal)
            result += " " + std::to_string(i);
    }
    return hr;
}

// n bytes from `start` on, `step` apart.
Bytes Counting(std::size_t n, std::uint8_t start, std::size_t step = 1) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(start + i * step);
    return b;
}

// A read into the caller's buffer (0xAA where nothing was written), shown up
// to the byte after `len`; a failure writes nothing.
HRESULT BufferResult(std::string& result, ULONG len, const std::function<HRESULT(BYTE*)>& call) {
    Bytes buf(256, 0xAA);
    const HRESULT hr = call(buf.data());
    if (FAILED(hr)) {
        EXPECT_EQ(std::count(buf.begin(), buf.end(), 0xAA), 256);
        return hr;
    }
    result = Hex(Bytes(buf.begin(), buf.begin() + len + 1));
    return hr;
}
Call ReadBlock(ULONG len) {
    return [len](CKelvo* k, std::string& result) {
        return BufferResult(result, len, [&](BYTE* buf) {
            return k->ReadDataBlock(1, 2, 0x0304, 0x05060708, 0x090A0B0C, len, buf);
        });
    };
}
Call ReadSsc(ULONG len) {
    return [len](CKelvo* k, std::string& result) {
        return BufferResult(result, len,
                            [&](BYTE* buf) { return k->ReadSSCBuffer(0x01020304, len, buf); });
    };
}
Call WriteBlock(ULONG len) {
    return [len](CKelvo* k) {
        Bytes data = Counting(len, 0xA0);
        return k->WriteDataBlock(1, 2, 0x0304, 0x05060708, 0x090A0B0C, len, data.data());
    };
}

// A one-dimensional byte array holding `bytes`, lower bound `lower`.
SAFEARRAY* ByteArray(const Bytes& bytes, LONG lower = 0) {
    SAFEARRAY* a = SafeArrayCreateVector(VT_UI1, lower, static_cast<ULONG>(bytes.size()));
    std::copy(bytes.begin(), bytes.end(), static_cast<std::uint8_t*>(a->pvData));
    return a;
}
// The caller's array is only read.
Call SafeWrite(std::function<SAFEARRAY*()> make) {
    return [make](CKelvo* k) {
        SAFEARRAY* array = make();
        const HRESULT hr = k->SafeDataWrite(array);
        if (array) {
            EXPECT_EQ(array->cLocks, 0u);
        }
        SafeArrayDestroy(array);
        return hr;
    };
}

// ------------------------------------------------------- request and answer

// The admin key block: 192 bytes, the first 0x0B for a leading zero digit.
const Bytes kKeyBlock = Counting(192, 11, 37);
std::string UpperDigits(const Bytes& bytes) {
    std::string text = Hex(bytes);
    std::erase(text, ' ');
    std::transform(text.begin(), text.end(), text.begin(), ::toupper);
    return text;
}

// Six ping items, each key, type (4 bytes), value length and value.
const Bytes kItems = FromHex("06 01 01 00 00 00 01 02 07 02 00 00 00 02 01 02 07 05 00 04 00 01 ff "
                             "09 09 00 07 00 02 e9 22 01 04 00 03 00 04 11 22 33 44 "
                             "02 04 00 03 00 01 01");

const Bytes kAbc = Counted("abc");
const std::string kBlockHead = "04 10 01 02 04 03 08 07 06 05 0c 0b 0a 09 ";
const std::string kNs = Repeated(" 6e", 126);
// SetPermissionsAndRole of "op" with role 2, up to the permission words.
const std::string kOpBits = "21 00 00 0e 07 30 02 6f 70 02 ";
// A longer conversion is cut after the length byte's count of bytes.
const Call kDeleteUtf8 = [](CKelvo* k) {
    SetThreadCodePage(CodePage::Utf8);
    const HRESULT hr = k->DeleteUser(Bstr(u"\u00e4\u00e4").get());
    SetThreadCodePage(CodePage::Windows1252);
    return hr;
};
const Call kWriteNothing = [](CKelvo* k) { return k->WriteDataBlock(0, 0, 0, 0, 0, 0, nullptr); };

// clang-format off
const ExchangeRow kExchanges[] = {
    // User administration. Texts go out in the thread's code page; null texts as empty counted
    // texts.
    {"CreateUser", kCreate, "21 00 00 09 04 30 03 61 62 63 02 70 77",
     kAbc, "", {"CKelvo::CreateUser abc pw"}},
    {"DeleteUser", kDelete, "21 00 00 06 05 30 03 61 62 63", kAbc, "", {"CKelvo::DeleteUser abc"}},
    {"ChangePasswordAdmin",
     [](CKelvo* k) { return k->ChangePasswordAdmin(Bstr(u"abc").get(), Bstr(u"x").get()); },
     "21 00 00 08 03 30 03 61 62 63 01 78", kAbc, "", {"CKelvo::ChangePasswordAdmin abc x"}},
    {"GetAllUsers", ListUsers, "21 00 00 02 0a 30", {0}, "", {"CKelvo::GetAllUsers"}},
    {"GetPermissionsAndRole", GetPermissions, "21 00 00 06 06 30 03 61 62 63",
     Concat(kAbc, {3, 5, 0, 0, 0, 0, 0, 0, 0x80}),
     "role 3 bits 1 3 64", {"CKelvo::GetPermissionsAndRole abc"}},
    {"SetPermissionsAndRole", kSetPermissions,
     "21 00 00 0f 07 30 03 61 62 63 07 01 00 00 00 02 00 00 00",
     kAbc, "", {"CKelvo::SetPermissionsAndRole abc 7"}},
    // Element i stands for bit i; only VT_BOOL elements set theirs, any non-zero one.
    {"BitsTFT", SetBits(u"op", 2, "TFT"),
     kOpBits + "05 00 00 00 00 00 00 00", Counted("op"), "", {}},
    {"Bits70", SetBits(u"op", 2, std::string(70, 'T')),
     kOpBits + "ff ff ff ff ff ff ff ff", Counted("op"), "", {}},
    {"BitsOnlyBool", SetBits(u"op", 2, "IT"),
     kOpBits + "02 00 00 00 00 00 00 00", Counted("op"), "", {}},
    {"BitsAnyNonZero", SetBits(u"op", 2, std::string(40, '.') + "b"),
     kOpBits + "00 00 00 00 00 01 00 00", Counted("op"), "", {}},
    {"BitsNone", SetBits(u"op", 2, ""), kOpBits + "00 00 00 00 00 00 00 00", Counted("op"), "", {}},
    // The own password: an empty echo goes with any user; a character outside the BMP is
    // two code units, and its one "?" is filled up to two.
    {"OwnPasswordEmptyEcho", OwnPassword(u"admin"),
     "21 00 00 06 02 30 01 6f 01 6e", {0}, "", {"CKelvo::ChangePasswordUser o n"}},
    {"OwnPasswordNoUser", OwnPassword(u""), "21 00 00 06 02 30 01 6f 01 6e", {0}, "", {}},
    {"OwnPasswordEcho", OwnPassword(u"admin"),
     "21 00 00 06 02 30 01 6f 01 6e", Counted("admin"), "", {}},
    {"OwnPasswordEchoFilled", OwnPassword(u"\U0001F600"),
     "21 00 00 06 02 30 01 6f 01 6e", Counted("??"), "", {}},
    // Counted texts are sent as written, never refused: the length byte is the number of UTF-16
    // code units modulo 256, the text that many bytes of the code-page conversion (filled with
    // "?" when shorter, cut when longer), and the frame length byte keeps its low 8 bits.
    {"CodePage", CreateUser(u"\u00E9\u20AC", u""), "21 00 00 06 04 30 02 e9 80 00",
     {2, 0xE9, 0x80}, "", {"CKelvo::CreateUser \xC3\xA9\xE2\x82\xAC "}},
    {"NullTexts", [](CKelvo* k) { return k->CreateUser(nullptr, nullptr); },
     "21 00 00 04 04 30 00 00", {0}, "", {"CKelvo::CreateUser (null) (null)"}},
    {"TwoTextsOf126", CreateUser(std::u16string(126, u'n'), std::u16string(126, u'n')),
     "21 00 00 00 04 30 7e" + kNs + " 7e" + kNs, Counted(std::string(126, 'n')), "", {}},
    {"NameOf256", CreateUser(std::u16string(256, u'n'), u"p"),
     "21 00 00 05 04 30 00 01 70", {0}, "", {}},
    {"PermissionsNameOf244", SetBits(std::u16string(244, u'n'), 0, "T"),
     "21 00 00 00 07 30 f4" + Repeated(" 6e", 244) + " 00 01 00 00 00 00 00 00 00",
     Counted(std::string(244, 'n')), "", {}},
    {"Utf8Cut", kDeleteUtf8, "21 00 00 05 05 30 02 c3 a4", Counted("\xC3\xA4"), "", {}},
    // Admin members. Pairs of key digits become bytes as the C library reads them in base 16;
    // above 252 bytes the count and length bytes keep their low 8 bits and every byte is sent.
    {"GetBVAdminKey", Key, "21 00 00 02 0b 30", kKeyBlock,
     UpperDigits(kKeyBlock), {"CKelvo::GetBVAdminKey"}},
    {"ResetKey", ResetPassword(u"0a1B"), "21 00 00 05 0c 30 02 0a 1b",
     {}, "", {"CKelvo::ResetAdminPassword 0a1B"}},
    {"ResetKeyNoDigits", ResetPassword(u"zz"), "21 00 00 04 0c 30 01 00",
     {}, "", {"CKelvo::ResetAdminPassword zz"}},
    {"ResetKeyStopsAtNoDigit", ResetPassword(u"f!"),
     "21 00 00 04 0c 30 01 0f", {}, "", {"CKelvo::ResetAdminPassword f!"}},
    {"ResetKeyBlankAndSign", ResetPassword(u" 7-1"),
     "21 00 00 05 0c 30 02 07 ff", {}, "", {"CKelvo::ResetAdminPassword  7-1"}},
    {"ResetKey0xAlone", ResetPassword(u"0x\u00E9A"), "21 00 00 05 0c 30 02 00 00",
     {}, "", {"CKelvo::ResetAdminPassword 0x\xC3\xA9" "A"}},
    {"ResetKey252", ResetPassword(std::u16string(2 * 252, u'7')),
     "21 00 00 ff 0c 30 fc" + Repeated(" 77", 252), {}, "", {}},
    {"ResetKey300", ResetPassword(std::u16string(2 * 300, u'7')),
     "21 00 00 2f 0c 30 2c" + Repeated(" 77", 300), {}, "", {}},
    {"CertificateDatesTimes1000", Certificate(1, -1),
     "21 00 00 12 0a 04 e8 03 00 00 00 00 00 00 18 fc ff ff ff ff ff ff",
     {}, "", {"CKelvo::CreateCertificate"}},
    {"CertificateSigned64Bits", Certificate(0x7FFFFFFF, static_cast<LONG>(0x80000000)),
     "21 00 00 12 0a 04 18 fc ff ff f3 01 00 00 00 00 00 00 0c fe ff ff",
     {}, "", {"CKelvo::CreateCertificate"}},
    // Device commands.
    {"Save", [](CKelvo* k) { return k->Save_Command(); },
     "21 00 00 02 0e 30", {}, "", {"CKelvo::Save_Command"}},
    {"ResetError", [](CKelvo* k) { return k->ResetError(3); },
     "21 00 00 03 0c 04 03", {}, "", {"CKelvo::ResetError 3"}},
    {"Reset", [](CKelvo* k) { return k->Reset_Command(); },
     "21 00 00 02 01 04", {0x5A}, "", {"CKelvo::Reset_Command"}},
    {"Restore", [](CKelvo* k) { return k->Restore_Command(0x7FFF1234); },
     "21 00 00 04 02 04 34 12", {0}, "", {"CKelvo::Restore_Command"}},
    {"RestoreNegative", [](CKelvo* k) { return k->Restore_Command(-2); },
     "21 00 00 04 02 04 fe ff", {0}, "", {"CKelvo::Restore_Command"}},
    {"DeleteErrorLog", [](CKelvo* k) { return k->DeleteErrorLog(); },
     "21 00 00 02 03 04", {}, "", {"CKelvo::DeleteErroLog"}},
    // Ping: the blink time is kept within 1000 to 10000; a short value is read zero-filled,
    // never from an earlier item; Windows-1252 E9 is U+00E9.
    {"PingEmpty", Ping(2000), "21 00 00 04 01 01 d0 07", {0}, "{  }", {"CKelvo::Ping"}},
    {"PingItems", Ping(0), "21 00 00 04 01 01 e8 03", kItems,
     "{ \"1\":true, \"7\":null, \"7\":255, \"9\":\"\xC3\xA9\"\", \"1\":1144201745, \"2\":1 }",
     {"CKelvo::Ping", "CKelvo::Ping fail 8: unknown datablock type 7 2"}},
    {"PingBlink999", Ping(999), "21 00 00 04 01 01 e8 03", {0}, "{  }", {"CKelvo::Ping"}},
    {"PingBlink1000", Ping(1000), "21 00 00 04 01 01 e8 03", {0}, "{  }", {"CKelvo::Ping"}},
    {"PingBlink4321", Ping(4321), "21 00 00 04 01 01 e1 10", {0}, "{  }", {"CKelvo::Ping"}},
    {"PingBlink10000", Ping(10000), "21 00 00 04 01 01 10 27", {0}, "{  }", {"CKelvo::Ping"}},
    {"PingBlink10001", Ping(10001), "21 00 00 04 01 01 10 27", {0}, "{  }", {"CKelvo::Ping"}},
    {"PingBlinkSmallest", Ping(-32768), "21 00 00 04 01 01 e8 03", {0}, "{  }", {"CKelvo::Ping"}},
    // Push-data commands send a value of 16 bits unless it is 0 or 0x4347; over a serial
    // link no answer is read.
    {"PushI4", Push(VT_I4, 300), "21 00 00 06 02 10 02 05 2c 01",
     {9}, "9", {"CKelvo::PushDataCommand 2 261"}, Links::Tcp},
    {"PushUI2", Push(VT_UI2, 7), "21 00 00 06 02 10 02 05 07 00",
     {9}, "9", {"CKelvo::PushDataCommand 2 261"}, Links::Tcp},
    {"PushI2", Push(VT_I2, -1), "21 00 00 06 02 10 02 05 ff ff",
     {9}, "9", {"CKelvo::PushDataCommand 2 261"}, Links::Tcp},
    {"PushUI4Cut", Push(VT_UI4, 0x10001), "21 00 00 06 02 10 02 05 01 00",
     {9}, "9", {"CKelvo::PushDataCommand 2 261"}, Links::Tcp},
    {"PushZero", Push(VT_I4, 0), "21 00 00 04 02 10 02 05",
     {9}, "9", {"CKelvo::PushDataCommand 2 261"}, Links::Tcp},
    {"Push4347", Push(VT_I4, 0x4347), "21 00 00 04 02 10 02 05",
     {9}, "9", {"CKelvo::PushDataCommand 2 261"}, Links::Tcp},
    {"PushUI4Cut4347", Push(VT_UI4, 0x14347), "21 00 00 04 02 10 02 05",
     {9}, "9", {"CKelvo::PushDataCommand 2 261"}, Links::Tcp},
    {"PushI8", Push(VT_I8, 300), "21 00 00 04 02 10 02 05",
     {9}, "9", {"CKelvo::PushDataCommand 2 261"}, Links::Tcp},
    {"PushSerial", Push(VT_EMPTY, 0), "21 00 00 04 02 10 02 05",
     {9}, "0", {"CKelvo::PushDataCommand 2 261"}, Links::Serial},
    // Data blocks and safety data; reads of length zero expect an empty answer.
    {"ReadDataBlock", ReadBlock(4),
     "21 00 00 12 03 10 01 02 04 03 08 07 06 05 0c 0b 0a 09 04 00 00 00",
     Concat(Le32(4), {9, 8, 7, 6}), "09 08 07 06 aa", {}},
    {"ReadDataBlock200", ReadBlock(200),
     "21 00 00 12 03 10 01 02 04 03 08 07 06 05 0c 0b 0a 09 c8 00 00 00",
     Concat(Le32(200), Bytes(200, 1)), Hex(Concat(Bytes(200, 1), {0xAA})), {}},
    {"ReadDataBlockNothing", ReadBlock(0),
     "21 00 00 12 03 10 01 02 04 03 08 07 06 05 0c 0b 0a 09 00 00 00 00", Le32(0), "aa", {}},
    {"WriteDataBlock", WriteBlock(10),
     "21 00 00 1c " + kBlockHead + "0a 00 00 00 " + Hex(Counting(10, 0xA0)), {}, "", {}},
    {"WriteDataBlock237", WriteBlock(237),
     "21 00 00 ff " + kBlockHead + "ed 00 00 00 " + Hex(Counting(237, 0xA0)), {}, "", {}},
    {"WriteDataBlockNothingFromNoBuffer", kWriteNothing,
     "21 00 00 12 04 10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00", {}, "", {}},
    {"ReadSSCBuffer", ReadSsc(3), "21 00 00 07 01 10 04 03 02 01 03",
     {3, 0xC1, 0xC2, 0xC3}, "c1 c2 c3 aa", {}},
    {"ReadSSCBuffer200", ReadSsc(200), "21 00 00 07 01 10 04 03 02 01 c8",
     Concat({200}, Bytes(200, 1)), Hex(Concat(Bytes(200, 1), {0xAA})), {}},
    {"ReadSSCBufferNothing", ReadSsc(0), "21 00 00 07 01 10 04 03 02 01 00", {0}, "aa", {}},
    {"SafeDataWrite", SafeWrite([] { return ByteArray(Counting(40, 0x40)); }),
     "21 00 00 2a 01 50 " + Hex(Counting(40, 0x40)), {}, "", {}},
    {"SafeDataRead", SafeRead, "21 00 00 02 02 50",
     Counting(40, 0x80), Hex(Counting(40, 0x80)), {}},
    {"ReadSafeObject", SafeObject, "21 00 00 05 03 50 34 12 05",
     {0xFF, 0xFF, 0xFF, 0xFF, 0x2C, 0x01, 0x00, 0x00}, "300", {}},
};
// clang-format on

TEST(Exchange, RequestIsExactAndTheAnswerIsHandedBack) {
    ExpectExchanges(kExchanges);
}

// ---------------------------------------------------------------- failures

const Bytes kBadUserError =
    Flip(SerialWrap(5, Concat(AnswerFrame(0, 0x3051), DeviceError(1))), 1, 1);
const Bytes kBadCertificate = Flip(SerialWrap(5, AnswerFrame(0, 1184)), 1, 0x80);
const Bytes kResetErrorError = Concat(AnswerFrame(0, 0x04C1), DeviceError(0x100));
const Bytes kDeleteError = AnswerFrame(0, 0x0431, {4, 1, 0, 0, 0x0A});
const Bytes kBadResetOk = Flip(SerialWrap(5, AnswerFrame(0, 0x0410, {0})), 1, 0x40);
const Bytes kBadDeleteError = Flip(SerialWrap(5, kDeleteError), 2, 0x01);
const Bytes kBadResetErrorError = Flip(SerialWrap(5, kResetErrorError), 1, 0x01);
const Bytes kBadPingSuccess =
    Flip(SerialWrap(5, AnswerFrame(0, kPingSuccess, FromHex("01 01 01 00 00 00 01 01"))), 1, 0x80);
const Bytes kBadPingError =
    Flip(SerialWrap(5, AnswerFrame(0, kPingError, {4, 0x78, 0x56, 0x34, 0x12})), 1, 0x01);
const Call kReset = [](CKelvo* k) { return k->Reset_Command(); };
const Bytes kL2 = {2, 0x34, 0x12}, kL7 = {7, 1, 2, 3, 4, 5, 6, 7};
const std::string kAxisFail = "CKelvo::ResetError fail 11 (error code: ";
const std::string kOwnFail = "CKelvo::ChangePasswordUser fail 6";
Script OwnEcho(const char* name) {
    return Reply(AnswerFrame(0, 0x3020, Counted(name)));
}
const Call kDeleteLog = [](CKelvo* k) { return k->DeleteErrorLog(); };
const Call kResetError = [](CKelvo* k) { return k->ResetError(1); };
const std::string kCert = "CKelvo::CreateCertificate ", kResetFail = "CKelvo::Reset_Command fail ",
                  kDeleteFail = "CKelvo::DeleteErrorLog fail ";

// Reset, restore and the log deletion read the device code themselves (after a
// length byte for the deletion); the axis error reset reads it after a length
// byte within the standard transaction. The ping stores the device code even
// when the CRC then fails.
// clang-format off
const FailureRow kFailures[] = {
    {"UserDeviceError", false, kCreate, Reply(AnswerFrame(0, 0x3041, DeviceError(0x16000002))), 1,
     "CKelvo::CreateUser FAILED (error code: 369098754)", 0x16000002},
    {"UserEchoOtherName", true, kCreate,
     Reply(AnswerFrame(0, 0x3040, Counted("abd"))), 11, "CKelvo::CreateUser fail 6"},
    {"UserEchoOtherLength", true, kDelete,
     Reply(AnswerFrame(0, 0x3050, {2, 'a', 'b', 'c'})), 11, "CKelvo::DeleteUser fail 6"},
    {"SetEchoOtherName", true, kSetPermissions, Reply(AnswerFrame(0, 0x3070, Counted("ABC"))),
     11, "CKelvo::SetPermissionsAndRole fail 6"},
    {"OwnPasswordEchoOtherCase", true, OwnPassword(u"admin"), OwnEcho("admiN"), 11, kOwnFail},
    {"OwnPasswordEchoShorter", true, OwnPassword(u"admin"), OwnEcho("adm"), 11, kOwnFail},
    {"OwnPasswordEchoNoUser", true, OwnPassword(u""), OwnEcho("x"), 11, kOwnFail},
    {"OwnPasswordEchoNotFilled", true, OwnPassword(u"\U0001F600"), OwnEcho("?"), 11, kOwnFail},
    {"PermissionsOtherName", true, GetPermissions,
     Reply(AnswerFrame(0, 0x3060, Concat(Counted("abx"), Bytes(9, 0)))),
     11, "CKelvo::GetPermissionsAndRole fail 6"},
    {"PermissionsDeviceError", false, GetPermissions,
     Reply(Concat(AnswerFrame(0, 0x3061), DeviceError(5))), 1,
     "CKelvo::GetPermissionsAndRole FAILED (error code: 5)", 5},
    {"ListNameTimeout", false, ListUsers, ReplyCut(AnswerFrame(0, 0x30A0, {1, 7, 'a'})),
     7, "CKelvo::GetAllUsers fail 6 (tmo 10000 len 7)"},
    {"UserErrorCrc", true, kDelete, Raw(kBadUserError), 13,
     "CKelvo::DeleteUser CRC fail 0 " + CrcPair(kBadUserError)},
    {"KeyDeviceError", false, Key, Reply(Concat(AnswerFrame(0, 0x30B1), DeviceError(78))),
     1, "CKelvo::GetBVAdminKey FAILED (error code: 78)", 78},
    {"CertificateDeviceError", false, Certificate(10, 20),
     Reply(Concat(AnswerFrame(0, 1185), DeviceError(0x16000006))),
     1, kCert + "FAILED (error code: 369098758)", 0x16000006},
    {"CertificateCrc", true, Certificate(10, 20), Raw(kBadCertificate),
     13, kCert + "CRC fail 5 " + CrcPair(kBadCertificate)},
    {"ResetPasswordRefused", true, ResetPassword(u"00"),
     Reply(Concat(AnswerFrame(0, 0x30C1), DeviceError(0x16000005))), 1,
     "CKelvo::ResetAdminPassword FAILED (error code: 369098757)", 0x16000005},
    {"ResetDeviceError", true, kReset, Reply(AnswerFrame(0, 0x0411, {0, 0x0C, 0, 0, 0x0B})),
     1, kResetFail + "10 (error code: 184549388)", 0x0B00000C},
    {"ResetUnexpectedStatus", false, kReset, Reply(AnswerFrame(0, 0x1234, {0})),
     5, "CKelvo::Reset_Command fail (4660)"},
    {"ResetSuccessCrc", true, kReset, Raw(kBadResetOk),
     13, kResetFail + "6 " + CrcPair(kBadResetOk)},
    {"DeleteLogDeviceError", false, kDeleteLog, Reply(kDeleteError),
     1, kDeleteFail + "11 (error code: 167772161)", 0x0A000001},
    {"DeleteLogErrorCrc", true, kDeleteLog, Raw(kBadDeleteError), 13,
     kDeleteFail + "10 " + CrcPair(kBadDeleteError), 0x0A000001},
    {"ResetErrorDeviceError", false, kResetError,
     Reply(kResetErrorError), 1, kAxisFail + "256)", 0x100},
    {"ResetErrorCrc", true, kResetError, Raw(kBadResetErrorError), 13,
     "CKelvo::ResetError CRC fail 9 " + CrcPair(kBadResetErrorError), 0x100},
    {"PingSuccessCrc", true, Ping(1000), Raw(kBadPingSuccess),
     13, "CKelvo::Ping CRC fail 9 " + CrcPair(kBadPingSuccess)},
    {"PingErrorCrc", true, Ping(1000), Raw(kBadPingError), 13,
     "CKelvo::Ping CRC fail 12 " + CrcPair(kBadPingError), 0x12345678},
    {"PingDeviceError", false, Ping(1000),
     Reply(AnswerFrame(0, kPingError, {4, 0x02, 0x00, 0x00, 0x15})),
     1, "CKelvo::Ping fail 14 (error code: 352321538)", 0x15000002},
    {"PushDeviceError", false, Push(VT_EMPTY, 0), Reply(AnswerFrame(0, 0x1021, {0, 4, 1, 0, 0, 0})),
     1, "CKelvo::PushDataCommand FAILED (error code: 1)", 1},
    {"PushUnexpectedStatus", false, Push(VT_EMPTY, 0),
     Reply(AnswerFrame(0, 0x1022, {0})), 5, "CKelvo::PushDataCommand fail 12 (4130)"},
    {"BlockReadShort", false, ReadBlock(32),
     Reply(AnswerFrame(0, 0x1030, Concat(Le32(16), Bytes(16, 1)))),
     10, "CKelvo::ReadDataBlock fail 6 (lenAnswer 16 len 32)"},
    {"SscReadShort", false, ReadSsc(32), Reply(AnswerFrame(0, 0x1010, Concat({16}, Bytes(16, 1)))),
     10, "CKelvo::ReadSSCBuffer fail 6 (lenAnswer 16 len 32)"},
    // Success word + 1 is no device error for the block write; 0x0221 is.
    {"BlockWriteUnexpectedStatus", false, WriteBlock(4),
     Reply(AnswerFrame(0, 0x1041)), 5, "CKelvo::WriteDataBlock fail 12 (4161)"},
    {"BlockWriteDeviceError", false, WriteBlock(4),
     Reply(Concat(AnswerFrame(0, 0x0221), DeviceError(7))),
     1, "CKelvo::WriteDataBlock FAILED (error code: 7)", 7},
    {"SafeReadDeviceError", false, SafeRead,
     Reply(Concat(AnswerFrame(0, 0x5021), DeviceError(0x15000002))), 1,
     "CKelvo::SafeDataRead FAILED (error code: 352321538)", 0x15000002},
    {"SafeObjectDeviceError", false, SafeObject,
     Reply(Concat(AnswerFrame(0, 0x5031, Bytes(8)), DeviceError(3))),
     1, "CKelvo::ReadSafeObject FAILED (error code: 3)", 3},
    // A length byte other than 4: all L bytes are read and covered by the CRC; the first (at
    // most 4) of them are the code.
    {"ResetErrorL0", false, kResetError,
     Reply(AnswerFrame(0, 0x04C1, {0})), 1, kAxisFail + "0)", 0},
    {"ResetErrorL2", true, kResetError,
     Reply(AnswerFrame(0, 0x04C1, kL2)), 1, kAxisFail + "4660)", 0x1234},
    {"ResetErrorL7", false, kResetError, Reply(AnswerFrame(0, 0x04C1, kL7)),
     1, kAxisFail + "67305985)", 0x04030201},
    {"ResetErrorL7Serial", true, kResetError, Reply(AnswerFrame(0, 0x04C1, kL7)),
     1, kAxisFail + "67305985)", 0x04030201},
    {"DeleteLogL0", true, kDeleteLog, Reply(AnswerFrame(0, 0x0431, {0})),
     1, kDeleteFail + "11 (error code: 0)", 0},
    {"DeleteLogL2", false, kDeleteLog, Reply(AnswerFrame(0, 0x0431, kL2)),
     1, kDeleteFail + "11 (error code: 4660)", 0x1234},
    {"DeleteLogL7", false, kDeleteLog, Reply(AnswerFrame(0, 0x0431, kL7)),
     1, kDeleteFail + "11 (error code: 67305985)", 0x04030201},
    {"DeleteLogL7Serial", true, kDeleteLog, Reply(AnswerFrame(0, 0x0431, kL7)),
     1, kDeleteFail + "11 (error code: 67305985)", 0x04030201},
};
// clang-format on

TEST(Exchange, FailureStoresTheCodeTracesTheStepAndUnlocksOnce) {
    ExpectFailures(kFailures);
}

// ---------------------------------------------------------------- refusals

// SetPermissionsAndRole with a name (or none) and a permissions argument of
// type `vt`: a single VT_BOOL, or an array of `element` from `lower` (none for
// VT_EMPTY).
Call Permissions(bool name, VARTYPE vt, VARTYPE element, LONG lower) {
    return [=](CKelvo* k) {
        SAFEARRAY* array = element == VT_EMPTY ? nullptr : SafeArrayCreateVector(element, lower, 2);
        VARIANT permissions = VariantOf(vt, VARIANT_TRUE); // a single VT_BOOL is true
        if (vt != VT_BOOL)
            permissions.parray = array;
        const HRESULT hr =
            k->SetPermissionsAndRole(name ? Bstr(u"op").get() : nullptr, 1, permissions);
        SafeArrayDestroy(array);
        return hr;
    };
}

const std::vector<std::string> kSetTrace = {"CKelvo::SetPermissionsAndRole op 1"};
const std::vector<std::string> kSafeTrace = {"CKelvo::SafeDataWrite"};

// clang-format off
const RefusalRow kRefusals[] = {
    {"SetPermissionsSingleBool", Permissions(true, VT_BOOL, VT_EMPTY, 0),
     KELVO_E_PERMISSIONS, 42, kSetTrace},
    {"SetPermissionsNullName", Permissions(false, VT_ARRAY | VT_VARIANT, VT_VARIANT, 0),
     KELVO_E_PERMISSIONS, 42, {"CKelvo::SetPermissionsAndRole (null) 1"}},
    {"SetPermissionsArrayOfBool", Permissions(true, VT_ARRAY | VT_BOOL, VT_BOOL, 0),
     KELVO_E_PERMISSIONS, 42, kSetTrace},
    {"SetPermissionsNullArray", Permissions(true, VT_ARRAY | VT_VARIANT, VT_EMPTY, 0),
     E_INVALIDARG, 42, kSetTrace},
    {"SetPermissionsNotVariants", Permissions(true, VT_ARRAY | VT_VARIANT, VT_I4, 0),
     E_INVALIDARG, 42, kSetTrace},
    {"SetPermissionsLowerBound1", Permissions(true, VT_ARRAY | VT_VARIANT, VT_VARIANT, 1),
     E_INVALIDARG, 42, kSetTrace},
    // An empty or odd key fails before anything is sent.
    {"ResetKeyEmpty", ResetPassword(u""), E_FAIL, 42, {"CKelvo::ResetAdminPassword "}},
    {"ResetKeyOdd", ResetPassword(u"abc"), E_FAIL, 42, {"CKelvo::ResetAdminPassword abc"}},
    {"ResetKeyOneDigit", ResetPassword(u"0"), E_FAIL, 42, {"CKelvo::ResetAdminPassword 0"}},
    {"ResetKeyNull", [](CKelvo* k) { return k->ResetAdminPassword(nullptr); },
     E_FAIL, 42, {"CKelvo::ResetAdminPassword (null)"}},
    // Length limits: 200 bytes read, 237 written.
    {"BlockRead201", ReadBlock(201), E_FAIL, 10,
     {"CKelvo::ReadDataBlock 1 2 772 84281096 151653132 201"}},
    {"BlockReadNoBuffer", [](CKelvo* k) { return k->ReadDataBlock(0, 0, 0, 0, 0, 1, nullptr); },
     E_FAIL, 10, {"CKelvo::ReadDataBlock 0 0 0 0 0 1"}},
    {"Ssc201", ReadSsc(201), E_FAIL, 10, {}},
    {"SscNoBuffer", [](CKelvo* k) { return k->ReadSSCBuffer(0, 1, nullptr); }, E_FAIL, 10, {}},
    {"BlockWrite238", WriteBlock(238), E_FAIL, 10,
     {"CKelvo::WriteDataBlock 1 2 772 84281096 151653132 238"}},
    {"BlockWriteNoBuffer", [](CKelvo* k) { return k->WriteDataBlock(0, 0, 0, 0, 0, 1, nullptr); },
     E_FAIL, 10, {"CKelvo::WriteDataBlock 0 0 0 0 0 1"}},
    // Safety data is 40 bytes in a one-dimensional byte array from 0; the counter is used up.
    {"SafeWriteMissing", SafeWrite([] { return static_cast<SAFEARRAY*>(nullptr); }),
     E_INVALIDARG, 42, kSafeTrace, 1},
    {"SafeWrite39", SafeWrite([] { return ByteArray(Bytes(39)); }), E_FAIL, 10, kSafeTrace, 1},
    {"SafeWrite41", SafeWrite([] { return ByteArray(Bytes(41)); }), E_FAIL, 10, kSafeTrace, 1},
    {"SafeWriteTwoByTwenty", SafeWrite([] {
         const SAFEARRAYBOUND b[2] = {{20, 0}, {2, 0}};
         return SafeArrayCreate(VT_UI1, 2, b);
     }),
     E_FAIL, 10, kSafeTrace, 1},
    {"SafeWriteLongs", SafeWrite([] { return SafeArrayCreateVector(VT_I4, 0, 40); }),
     E_INVALIDARG, 42, kSafeTrace, 1},
    {"SafeWriteLowerBound1", SafeWrite([] { return ByteArray(Bytes(40), 1); }),
     E_INVALIDARG, 42, kSafeTrace, 1},
    {"SafeReadNoResult", [](CKelvo* k) { return k->SafeDataRead(nullptr); },
     E_POINTER, 42, {"CKelvo::SafeDataRead"}},
    {"SafeObjectNoResult", [](CKelvo* k) { return k->ReadSafeObject(1, 1, nullptr); },
     E_POINTER, 42, {"CKelvo::ReadSafeObject"}},
};
// clang-format on

TEST(Exchange, RefusalTouchesNoPort) {
    ExpectRefusals(kRefusals);
}

// Streamed bytes are read without lock or request (on serial links only; the
// tool tests meet E_NOTIMPL over TCP).
TEST(Exchange, ReadPushDataTakesStreamedBytesWithoutLock) {
    ConnectedKelvo c(true, 5);
    c.kelvo->errorCode = 3;
    c.transport->Deliver({1, 2, 3, 4, 5});
    BYTE buf[4] = {};
    USHORT len = 0;
    EXPECT_EQ(c.kelvo->ReadPushData(buf, 4, &len), S_OK);
    EXPECT_EQ(len, 4);
    EXPECT_EQ(buf[3], 4);
    EXPECT_EQ(c.transport->Count("Lock"), 0);
    EXPECT_EQ(c.transport->Count("Write"), 0);
    len = 99;
    EXPECT_EQ(c.kelvo->ReadPushData(buf, 4, &len), 7); // only one byte left: time-out
    EXPECT_EQ(len, 99);
    EXPECT_EQ(c.kelvo->errorCode, 3);
    // The length is the low 16 bits of the size.
    std::vector<BYTE> big(70000);
    c.transport->Deliver(Bytes(70000, 0xAB));
    EXPECT_EQ(c.kelvo->ReadPushData(big.data(), 70000, &len), S_OK);
    EXPECT_EQ(len, static_cast<USHORT>(70000 & 0xFFFF));
}

} // namespace
} // namespace kelvo::test
