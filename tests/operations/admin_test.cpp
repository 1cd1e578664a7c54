// Admin key block, admin password reset and certificate request on the
// scripted transport: requests byte for byte, the key text both ways, and the
// failure steps particular to these members (the steps they share with the
// user accounts are in users_test.cpp).
#include "operations/answers.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace kelvo::test {
namespace {

// ---------------------------------------------------------------- admin key

TEST(GetBVAdminKey, GivesTheBlockAs384UpperCaseDigits) {
    Bytes block(192);
    std::string expected;
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<std::uint8_t>(i * 37 + 11); // 0x0B first: a leading zero
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", block[i]);
        expected += pair;
    }
    ConnectedKelvo c(true, 9);
    c.kelvo->canNode = 4;
    c.transport->Answer(c.Wire(AnswerFrame(0, 0x30B0, block)));
    TraceCapture trace;
    Bstr out;
    ASSERT_EQ(c.kelvo->GetBVAdminKey(out.out()), S_OK);
    EXPECT_EQ(Utf16ToUtf8(out.view()), expected);
    EXPECT_EQ(Hex(c.transport->writes.at(0)), Hex(SerialWrap(9, FromHex("04 00 00 02 0b 30"))));
    EXPECT_EQ(c.transport->Count("Read 192 10000"), 1);
    EXPECT_EQ(trace.lines.front(), "CKelvo::GetBVAdminKey");
}

// ---------------------------------------------------------------- reset

// Pairs of key digits become the key bytes as the C library reads them in
// base 16; an empty or odd key fails before anything is sent (the error code
// kept). Above 252 bytes the count and length bytes keep their low 8 bits and
// every key byte is sent.
TEST(ResetAdminPassword, KeyTextBecomesCountedBytes) {
    std::string longest = "00 00 00 ff 0c 30 fc";
    std::string wrapped = "00 00 00 2f 0c 30 2c";
    for (int i = 0; i < 300; ++i) {
        longest += i < 252 ? " 77" : "";
        wrapped += " 77";
    }
    const std::tuple<std::u16string, std::string, int> cases[] = {
        // request "": refused
        {u"0a1B", "00 00 00 05 0c 30 02 0a 1b", 0},
        {u"zz", "00 00 00 04 0c 30 01 00", 0},           // no digits give 0
        {u"f!", "00 00 00 04 0c 30 01 0f", 0},           // parsing stops at the '!'
        {u" 7-1", "00 00 00 05 0c 30 02 07 ff", 0},      // a blank and a sign are taken
        {u"0x\u00E9A", "00 00 00 05 0c 30 02 00 00", 0}, // "0x" alone is 0
        {std::u16string(2 * 252, u'7'), longest, 0},
        {std::u16string(2 * 300, u'7'), wrapped, 0},
        {u"", "", 4},
        {u"abc", "", 4},
        {u"0", "", 4},
    };
    for (const auto& [key, request, code] : cases) {
        SCOPED_TRACE(Utf16ToUtf8(key.substr(0, 8)) + " length " + std::to_string(key.size()));
        ConnectedKelvo c;
        c.kelvo->errorCode = 4;
        c.transport->Answer(AnswerFrame(0, 0x30C0));
        TraceCapture trace;
        EXPECT_EQ(c.kelvo->ResetAdminPassword(Bstr(key).get()), request.empty() ? E_FAIL : S_OK);
        EXPECT_EQ(c.kelvo->errorCode, code);
        if (key.size() < 100) { // longer trace lines are cut
            EXPECT_EQ(trace.lines.front(), "CKelvo::ResetAdminPassword " + Utf16ToUtf8(key));
        }
        if (request.empty()) {
            EXPECT_TRUE(c.transport->calls.empty());
        } else {
            EXPECT_EQ(Hex(c.transport->writes.at(0)), request);
        }
        if (code == 4) {
            EXPECT_EQ(trace.lines.size(), 1u);
        }
    }
    ConnectedKelvo c;
    c.kelvo->errorCode = 4;
    EXPECT_EQ(c.kelvo->ResetAdminPassword(nullptr), E_FAIL);
    EXPECT_EQ(c.kelvo->errorCode, 4);
    EXPECT_TRUE(c.transport->calls.empty());
}

// ---------------------------------------------------------------- certificate

TEST(CreateCertificate, SendsBothDatesTimes1000AsSigned64Bits) {
    const std::tuple<LONG, LONG, const char*> cases[] = {
        {1, -1, "e8 03 00 00 00 00 00 00 18 fc ff ff ff ff ff ff"},
        {0x7FFFFFFF, static_cast<LONG>(0x80000000),
         "18 fc ff ff f3 01 00 00 00 00 00 00 0c fe ff ff"},
    };
    for (const auto& [start, expire, dates] : cases) {
        ConnectedKelvo c;
        c.transport->Answer(AnswerFrame(0, 0x04A0));
        TraceCapture trace;
        EXPECT_EQ(c.kelvo->CreateCertificate(start, expire), S_OK);
        EXPECT_EQ(Hex(c.transport->writes.at(0)), std::string("00 00 00 12 0a 04 ") + dates);
        EXPECT_EQ(trace.lines, std::vector<std::string>{"CKelvo::CreateCertificate"});
    }
}

// ---------------------------------------------------------------- failures

HRESULT Key(CKelvo* k) {
    BSTR out = reinterpret_cast<BSTR>(0x10);
    const HRESULT hr = k->GetBVAdminKey(&out);
    EXPECT_EQ(out, reinterpret_cast<BSTR>(0x10)); // untouched on failure
    return hr;
}
HRESULT Certificate(CKelvo* k) {
    return k->CreateCertificate(10, 20);
}
HRESULT ResetPassword(CKelvo* k) {
    return k->ResetAdminPassword(Bstr(u"00").get());
}

const Bytes kBadCertificate = Flip(SerialWrap(1, AnswerFrame(0, 1184)), 1, 0x80);

// The shared steps are the save's in tests/protocol; every fault of kelvo-sim
// on every read of these members is in the fault matrix.
TEST(AdminMembers, FailureSteps) {
    struct Case {
        const char* name;
        bool serial;
        std::function<HRESULT(CKelvo*)> call;
        Script script;
        int code;
        std::string trace;
        std::uint32_t deviceStatus = 0;
    };
    const std::string key = "CKelvo::GetBVAdminKey ", cert = "CKelvo::CreateCertificate ";
    // clang-format off
    const Case cases[] = {
        {"key device error", false, Key, Reply(Concat(AnswerFrame(0, 0x30B1), DeviceError(77))), 1, key + "FAILED (error code: 77)", 77},
        {"certificate device error", false, Certificate, Reply(Concat(AnswerFrame(0, 1185), DeviceError(0x16000006))), 1,
         cert + "FAILED (error code: 369098758)", 0x16000006},
        {"certificate CRC mismatch", true, Certificate, Raw(kBadCertificate), 13, cert + "CRC fail 5 " + CrcPair(kBadCertificate)},
        {"reset refused", true, ResetPassword, Reply(Concat(AnswerFrame(0, 0x30C1), DeviceError(0x16000005))), 1,
         "CKelvo::ResetAdminPassword FAILED (error code: 369098757)", 0x16000005},
    };
    // clang-format on
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.name);
        ConnectedKelvo c(tc.serial, 1);
        tc.script(c);
        ExpectFailure(
            c, [&] { return tc.call(c.kelvo); }, tc.code, "", tc.trace);
        EXPECT_EQ(c.kelvo->deviceStatus, tc.deviceStatus);
    }
}

} // namespace
} // namespace kelvo::test
