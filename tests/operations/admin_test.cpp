// Admin key block, admin password reset and certificate request on the
// scripted transport: requests byte for byte, the key text both ways, and the
// failure steps particular to these members.
#include "operations/answers.h"
#include "support/trace_capture.h"

#include <gtest/gtest.h>

#include <string>

namespace kelvo::test {
namespace {

// ---------------------------------------------------------------- admin key

TEST(GetBVAdminKey, GivesTheBlockAs384UpperCaseDigits) {
    struct Case {
        const char* name;
        Bytes block;
        std::string expected;
    };
    Bytes counting(192);
    std::string countingText;
    for (int i = 0; i < 192; ++i) {
        counting[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i * 37 + 11);
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", (i * 37 + 11) & 0xFF);
        countingText += pair;
    }
    const Case cases[] = {
        {"all zero", Bytes(192, 0), std::string(384, '0')},
        {"mixed", counting, countingText},
    };
    for (const Case& tc : cases) {
        ConnectedKelvo c(true, 9);
        c.kelvo->canNode = 4;
        c.transport->Answer(c.Wire(AnswerFrame(0, 0x30B0, tc.block)));
        TraceCapture trace;
        BSTR out = nullptr;
        ASSERT_EQ(c.kelvo->GetBVAdminKey(&out), S_OK) << tc.name;
        EXPECT_EQ(Utf16ToUtf8(BstrView(out)), tc.expected) << tc.name;
        EXPECT_EQ(SysStringLen(out), 384u);
        SysFreeString(out);
        ASSERT_EQ(c.transport->writes.size(), 1u);
        EXPECT_EQ(Hex(Bytes(c.transport->writes[0].begin() + 1, c.transport->writes[0].end() - 2)),
                  "04 00 00 02 0b 30");
        EXPECT_EQ(c.transport->Count("Read 192 10000"), 1);
        EXPECT_EQ(trace.lines.front(), "CKelvo::GetBVAdminKey");
    }
}

TEST(GetBVAdminKey, FailureSteps) {
    struct Case {
        const char* name;
        bool serial;
        Bytes answer; // sent, then a time-out
        bool cut;
        SHORT code;
        const char* trace;
    };
    const Case cases[] = {
        {"short block", false, AnswerFrame(0, 0x30B0, Bytes(191, 1)), true, 7,
         "CKelvo::GetBVAdminKey fail 5 (tmo 10000 len 192)"},
        {"header time-out",
         false,
         {0, 0},
         true,
         7,
         "CKelvo::GetBVAdminKey fail 3 (tmo 10000 len 6)"},
        {"wrong counter", false, AnswerFrame(2, 0x30B0, Bytes(192, 1)), false, 4,
         "CKelvo::GetBVAdminKey fail 4 (frameCount received: 2, frameCount sent: 0)"},
        {"other status", false, AnswerFrame(0, 0x30B2), false, 5,
         "CKelvo::GetBVAdminKey fail 12 (12466)"},
        {"device error", false, Concat(AnswerFrame(0, 0x30B1), DeviceError(77)), false, 1,
         "CKelvo::GetBVAdminKey FAILED (error code: 77)"},
        {"CRC time-out", true, Concat({9}, AnswerFrame(0, 0x30B0, Bytes(192, 1))), true, 7,
         "CKelvo::GetBVAdminKey CRC timeout fail 7 (tmo 10000 len 2)"},
    };
    for (const Case& tc : cases) {
        ConnectedKelvo c(tc.serial, 9);
        if (tc.cut)
            c.transport->AnswerThenTimeout(tc.answer);
        else
            c.transport->Answer(tc.answer);
        TraceCapture trace;
        BSTR out = reinterpret_cast<BSTR>(0x10);
        EXPECT_EQ(c.kelvo->GetBVAdminKey(&out), E_FAIL) << tc.name;
        EXPECT_EQ(out, reinterpret_cast<BSTR>(0x10)) << tc.name;
        EXPECT_EQ(c.kelvo->errorCode, tc.code) << tc.name;
        EXPECT_EQ(trace.lines.back(), tc.trace) << tc.name;
        EXPECT_EQ(c.transport->Count("Unlock"), 1) << tc.name;
    }
}

// ---------------------------------------------------------------- reset

TEST(ResetAdminPassword, KeyTextBecomesCountedBytes) {
    struct Case {
        std::u16string key;
        const char* request;
    };
    const Case cases[] = {
        {u"0a1B", "00 00 00 05 0c 30 02 0a 1b"},
        {u"zz", "00 00 00 04 0c 30 01 00"},           // no digits give 0
        {u"f!", "00 00 00 04 0c 30 01 0f"},           // parsing stops at the '!'
        {u" 7-1", "00 00 00 05 0c 30 02 07 ff"},      // a blank and a sign are taken
        {u"0x\u00E9A", "00 00 00 05 0c 30 02 00 00"}, // "0x" alone is 0
    };
    for (const Case& tc : cases) {
        ConnectedKelvo c;
        c.transport->Answer(AnswerFrame(0, 0x30C0));
        TraceCapture trace;
        EXPECT_EQ(c.kelvo->ResetAdminPassword(Bstr(tc.key).get()), S_OK);
        ASSERT_EQ(c.transport->writes.size(), 1u);
        EXPECT_EQ(Hex(c.transport->writes[0]), tc.request);
        EXPECT_EQ(trace.lines.front(), "CKelvo::ResetAdminPassword " + Utf16ToUtf8(tc.key));
        EXPECT_EQ(c.kelvo->errorCode, 0);
    }
}

TEST(ResetAdminPassword, EmptyOrOddKeysFailWithoutSendingOrStoring) {
    for (const char16_t* key : {u"", u"abc", u"0", static_cast<const char16_t*>(nullptr)}) {
        ConnectedKelvo c;
        c.kelvo->errorCode = 4;
        TraceCapture trace;
        Bstr text(key ? key : u"");
        EXPECT_EQ(c.kelvo->ResetAdminPassword(key ? text.get() : nullptr), E_FAIL);
        EXPECT_EQ(c.kelvo->errorCode, 4);
        EXPECT_TRUE(c.transport->calls.empty());
        EXPECT_EQ(trace.lines.size(), 1u);
    }
}

TEST(ResetAdminPassword, KeysAbove252BytesAreRefusedWithCode10) {
    for (std::size_t bytes : {252u, 253u}) {
        ConnectedKelvo c;
        c.transport->Answer(AnswerFrame(0, 0x30C0));
        const std::u16string key(2 * bytes, u'7');
        const HRESULT hr = c.kelvo->ResetAdminPassword(Bstr(key).get());
        if (bytes == 252) {
            EXPECT_EQ(hr, S_OK);
            ASSERT_EQ(c.transport->writes.size(), 1u);
            EXPECT_EQ(c.transport->writes[0].size(), 259u);
            EXPECT_EQ(c.transport->writes[0][3], 255);
            EXPECT_EQ(c.transport->writes[0][6], 252);
        } else {
            EXPECT_EQ(hr, E_FAIL);
            EXPECT_EQ(c.kelvo->errorCode, 10);
            EXPECT_TRUE(c.transport->calls.empty());
        }
    }
}

TEST(ResetAdminPassword, DeviceRefusal) {
    ConnectedKelvo c(true, 2);
    c.transport->Answer(c.Wire(Concat(AnswerFrame(0, 0x30C1), DeviceError(0x16000005))));
    TraceCapture trace;
    EXPECT_EQ(c.kelvo->ResetAdminPassword(Bstr(u"00").get()), E_FAIL);
    EXPECT_EQ(c.kelvo->errorCode, 1);
    EXPECT_EQ(c.kelvo->deviceStatus, 0x16000005u);
    EXPECT_EQ(trace.lines.back(), "CKelvo::ResetAdminPassword FAILED (error code: 369098757)");
}

// ---------------------------------------------------------------- certificate

TEST(CreateCertificate, SendsBothDatesTimes1000AsSigned64Bits) {
    struct Case {
        LONG start;
        LONG expire;
        const char* dates;
    };
    const Case cases[] = {
        {1, -1, "e8 03 00 00 00 00 00 00 18 fc ff ff ff ff ff ff"},
        {0x7FFFFFFF, static_cast<LONG>(0x80000000),
         "18 fc ff ff f3 01 00 00 00 00 00 00 0c fe ff ff"},
    };
    for (const Case& tc : cases) {
        ConnectedKelvo c;
        c.transport->Answer(AnswerFrame(0, 0x04A0));
        TraceCapture trace;
        EXPECT_EQ(c.kelvo->CreateCertificate(tc.start, tc.expire), S_OK);
        ASSERT_EQ(c.transport->writes.size(), 1u);
        const Bytes& frame = c.transport->writes[0];
        ASSERT_EQ(frame.size(), 22u);
        EXPECT_EQ(Hex(Bytes(frame.begin(), frame.begin() + 6)), "00 00 00 12 0a 04");
        EXPECT_EQ(Hex(Bytes(frame.begin() + 6, frame.end())), tc.dates);
        EXPECT_EQ(trace.lines.front(), "CKelvo::CreateCertificate");
        EXPECT_EQ(trace.lines.size(), 1u);
    }
}

TEST(CreateCertificate, FailureSteps) {
    struct Case {
        const char* name;
        bool serial;
        Bytes answer;
        bool cut;
        SHORT code;
        const char* trace;
    };
    const Case cases[] = {
        {"device error", false, Concat(AnswerFrame(0, 1185), DeviceError(0x16000006)), false, 1,
         "CKelvo::CreateCertificate FAILED (error code: 369098758)"},
        {"other status", false, AnswerFrame(0, 1186), false, 5,
         "CKelvo::CreateCertificate fail 12 (1186)"},
        {"wrong counter", false, AnswerFrame(1, 1184), false, 4,
         "CKelvo::CreateCertificate fail 4 (frameCount received: 1, frameCount sent: 0)"},
        {"CRC time-out", true, Concat({1}, AnswerFrame(0, 1184)), true, 7,
         "CKelvo::CreateCertificate CRC timeout fail 5 (tmo 10000 len 2)"},
        {"serial echo time-out",
         true,
         {},
         true,
         7,
         "CKelvo::CreateCertificate read serial address fail (tmo 10000 len 1)"},
    };
    for (const Case& tc : cases) {
        ConnectedKelvo c(tc.serial, 1);
        // An empty answer: nothing comes at all.
        if (!tc.answer.empty() && tc.cut)
            c.transport->AnswerThenTimeout(tc.answer);
        else if (!tc.answer.empty())
            c.transport->Answer(tc.answer);
        TraceCapture trace;
        EXPECT_EQ(c.kelvo->CreateCertificate(10, 20), E_FAIL) << tc.name;
        EXPECT_EQ(c.kelvo->errorCode, tc.code) << tc.name;
        EXPECT_EQ(trace.lines.back(), tc.trace) << tc.name;
        EXPECT_EQ(c.transport->Count("Unlock"), 1) << tc.name;
    }
}

TEST(CreateCertificate, SerialCrcMismatchIsStep5) {
    ConnectedKelvo c(true, 1);
    Bytes b = SerialWrap(1, AnswerFrame(0, 1184));
    const std::uint16_t good = ldle_u16(&b[b.size() - 2]);
    b[b.size() - 1] ^= 0x80;
    c.transport->Answer(b);
    TraceCapture trace;
    EXPECT_EQ(c.kelvo->CreateCertificate(10, 20), E_FAIL);
    EXPECT_EQ(c.kelvo->errorCode, 13);
    EXPECT_EQ(trace.lines.back(),
              "CKelvo::CreateCertificate CRC fail 5 (calculated CRC: " + std::to_string(good) +
                  ",  response CRC: " + std::to_string(good ^ 0x8000) + ")");
}

} // namespace
} // namespace kelvo::test
