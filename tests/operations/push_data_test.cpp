// Push-data commands and streamed bytes over the scripted transport.
#include "operations/answers.h"
#include "support/variant_of.h"

#include <gtest/gtest.h>

namespace kelvo::test {
namespace {

TEST(PushData, ValueFieldRules) {
    struct Case {
        VARTYPE vt;
        std::int64_t value;
        const char* request;
    } cases[] = {
        {VT_I4, 300, "00 00 00 06 02 10 02 05 2c 01"},
        {VT_UI2, 7, "00 00 00 06 02 10 02 05 07 00"},
        {VT_I2, -1, "00 00 00 06 02 10 02 05 ff ff"},
        {VT_UI4, 0x10001, "00 00 00 06 02 10 02 05 01 00"},
        {VT_I4, 0, "00 00 00 04 02 10 02 05"},
        {VT_I4, 0x4347, "00 00 00 04 02 10 02 05"},
        {VT_UI4, 0x14347, "00 00 00 04 02 10 02 05"},
        {VT_EMPTY, 300, "00 00 00 04 02 10 02 05"},
        {VT_R8, 300, "00 00 00 04 02 10 02 05"},
        {VT_I8, 300, "00 00 00 04 02 10 02 05"},
    };
    for (const Case& tc : cases) {
        ConnectedKelvo c;
        c.transport->Answer(AnswerFrame(0, 0x1020, {9}));
        LONG result = -1;
        EXPECT_EQ(c.kelvo->PushDataCommand(2, 0x105, VariantOf(tc.vt, tc.value), &result), S_OK);
        EXPECT_EQ(Hex(c.transport->writes.at(0)), tc.request) << tc.vt << " " << tc.value;
        EXPECT_EQ(result, 9);
    }
}

TEST(PushData, SerialCommandReadsNoAnswer) {
    ConnectedKelvo c(true, 5);
    c.kelvo->errorCode = 4;
    LONG result = -1;
    TraceCapture trace;
    EXPECT_EQ(c.kelvo->PushDataCommand(0, 1, VariantOf(VT_EMPTY, 0), &result), S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(c.kelvo->errorCode, 0);
    EXPECT_EQ(c.transport->Count("Read"), 0);
    EXPECT_EQ(c.transport->Count("Unlock"), 1);
    EXPECT_EQ(trace.lines.front(), "CKelvo::PushDataCommand 0 1");
}

TEST(PushData, AnswerFailures) {
    const std::tuple<Bytes, int, const char*> cases[] = {
        {AnswerFrame(0, 0x1021, {0, 4, 1, 0, 0, 0}), 1,
         "CKelvo::PushDataCommand FAILED (error code: 1)"},
        {AnswerFrame(0, 0x1022, {0}), 5, "CKelvo::PushDataCommand fail 12 (4130)"},
    };
    for (const auto& [answer, code, last] : cases) {
        ConnectedKelvo c;
        c.transport->Answer(answer);
        LONG result = 77;
        ExpectFailure(
            c, [&] { return c.kelvo->PushDataCommand(1, 2, VariantOf(VT_EMPTY, 0), &result); },
            code, "CKelvo::PushDataCommand 1 2", last);
        EXPECT_EQ(result, 77);
    }
}

// Streamed bytes are read without lock or request, on serial links only.
TEST(PushData, ReadTakesStreamedBytesWithoutLock) {
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

    ConnectedKelvo tcp;
    tcp.transport->Deliver({1, 2});
    EXPECT_EQ(tcp.kelvo->ReadPushData(buf, 2, &len), E_NOTIMPL);
    EXPECT_EQ(tcp.transport->Count("Read"), 0);
}

} // namespace
} // namespace kelvo::test
