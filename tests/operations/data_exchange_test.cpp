// Data blocks, safety data, safety objects and the SSC buffer on the scripted
// transport: requests byte for byte, the length limits, every failure step in
// TCP and serial mode, and what the caller's buffers hold afterwards.
#include "operations/answers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace kelvo::test {
namespace {

using ::testing::ElementsAre;

Bytes Counting(std::size_t n, std::uint8_t start = 0) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(start + i);
    return b;
}

// A one-dimensional byte array holding `bytes`, lower bound `lower`.
SAFEARRAY* ByteArray(const Bytes& bytes, LONG lower = 0) {
    SAFEARRAY* a = SafeArrayCreateVector(VT_UI1, lower, static_cast<ULONG>(bytes.size()));
    std::copy(bytes.begin(), bytes.end(), static_cast<std::uint8_t*>(a->pvData));
    return a;
}

struct ArrayGuard {
    SAFEARRAY* array = nullptr;
    ~ArrayGuard() { SafeArrayDestroy(array); }
};

// ---------------------------------------------------------------- the six operations

// One operation with fixed arguments: how it is called, what it traces first,
// its answer header, status pair, success data and CRC step. The calls with a
// result check that a failure leaves it as it was.
struct Op {
    const char* name;
    std::function<HRESULT(CKelvo*)> call;
    std::string entry;
    const char* prefix;
    std::size_t header;
    std::uint16_t ok;
    std::uint16_t error;
    Bytes okData; // after the 6-byte header, TCP form
    int crcStep;
};

BYTE g_buffer[256];

std::string Pointer(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

HRESULT CallSafeRead(CKelvo* k) {
    SAFEARRAY* const sentinel = reinterpret_cast<SAFEARRAY*>(0x1);
    ArrayGuard g{sentinel};
    const HRESULT hr = k->SafeDataRead(&g.array);
    if (FAILED(hr)) {
        EXPECT_EQ(g.array, sentinel);
        g.array = nullptr;
    }
    return hr;
}

HRESULT CallSafeWrite(CKelvo* k) {
    ArrayGuard g{ByteArray(Counting(40))};
    return k->SafeDataWrite(g.array);
}

HRESULT CallSafeObject(CKelvo* k) {
    ULONG v = 77;
    const HRESULT hr = k->ReadSafeObject(0x1234, 5, &v);
    if (FAILED(hr)) {
        EXPECT_EQ(v, 77u);
    }
    return hr;
}

// clang-format off
const Op kOps[] = {
    {"ReadDataBlock", [](CKelvo* k) { return k->ReadDataBlock(1, 2, 3, 4, 5, 4, g_buffer); },
     "CKelvo::ReadDataBlock 1 2 3 4 5 4", "CKelvo::ReadDataBlock", 6, 0x1030, 0x1031, Concat(Le32(4), {9, 8, 7, 6}), 8},
    {"WriteDataBlock", [](CKelvo* k) { return k->WriteDataBlock(1, 2, 3, 4, 5, 4, g_buffer); },
     "CKelvo::WriteDataBlock 1 2 3 4 5 4", "CKelvo::WriteDataBlock", 6, 0x1040, 0x0221, {}, 7},
    {"SafeDataWrite", CallSafeWrite, "CKelvo::SafeDataWrite", "CKelvo::SafeDataWrite", 6, 0x5010, 0x5011, {}, 7},
    {"SafeDataRead", CallSafeRead, "CKelvo::SafeDataRead", "CKelvo::SafeDataRead", 6, 0x5020, 0x5021, Counting(40), 8},
    {"ReadSafeObject", CallSafeObject, "CKelvo::ReadSafeObject", "CKelvo::ReadSafeObject", 14, 0x5030, 0x5031,
     {0, 0, 0, 0, 0x2C, 1, 0, 0}, 8},
    {"ReadSSCBuffer", [](CKelvo* k) { return k->ReadSSCBuffer(7, 4, g_buffer); },
     "CKelvo::ReadSSCBuffer 7 4 " + Pointer(g_buffer), "CKelvo::ReadSSCBuffer", 6, 0x1010, 0x1011, {4, 1, 2, 3, 4}, 8},
};
// clang-format on

// ---------------------------------------------------------------- requests and results

TEST(DataExchange, RequestsAreExactAndAnswersAreDelivered) {
    ConnectedKelvo c;
    c.kelvo->canNode = 0x21;
    BYTE buf[16] = {};

    c.transport->Answer(AnswerFrame(0, 0x1030, Concat(Le32(4), {9, 8, 7, 6})));
    EXPECT_EQ(c.kelvo->ReadDataBlock(1, 2, 0x0304, 0x05060708, 0x090A0B0C, 4, buf), S_OK);
    EXPECT_EQ(Hex(c.transport->writes.back()),
              "21 00 00 12 03 10 01 02 04 03 08 07 06 05 0c 0b 0a 09 04 00 00 00");
    EXPECT_EQ(Hex(Bytes(buf, buf + 5)), "09 08 07 06 00");

    const Bytes data = Counting(10, 0xA0);
    c.transport->Answer(AnswerFrame(1, 0x1040));
    EXPECT_EQ(c.kelvo->WriteDataBlock(1, 2, 0x0304, 0x05060708, 0x090A0B0C, 10,
                                      const_cast<BYTE*>(data.data())),
              S_OK);
    EXPECT_EQ(Hex(c.transport->writes.back()),
              "21 01 00 1c 04 10 01 02 04 03 08 07 06 05 0c 0b 0a 09 0a 00 00 00 " + Hex(data));

    ArrayGuard safe{ByteArray(Counting(40, 0x40))};
    c.transport->Answer(AnswerFrame(2, 0x5010));
    EXPECT_EQ(c.kelvo->SafeDataWrite(safe.array), S_OK);
    EXPECT_EQ(Hex(c.transport->writes.back()), "21 02 00 2a 01 50 " + Hex(Counting(40, 0x40)));
    EXPECT_EQ(safe.array->cLocks, 0u); // the caller's array is only read

    ArrayGuard read;
    c.transport->Answer(AnswerFrame(3, 0x5020, Counting(40, 0x80)));
    EXPECT_EQ(c.kelvo->SafeDataRead(&read.array), S_OK);
    EXPECT_EQ(Hex(c.transport->writes.back()), "21 03 00 02 02 50");
    ASSERT_NE(read.array, nullptr);
    VARTYPE vt = VT_EMPTY;
    SafeArrayGetVartype(read.array, &vt);
    EXPECT_EQ(vt, VT_UI1);
    EXPECT_EQ(SafeArrayGetDim(read.array), 1u);
    EXPECT_EQ(read.array->rgsabound[0].lLbound, 0);
    EXPECT_EQ(read.array->rgsabound[0].cElements, 40u);
    const auto* got = static_cast<const std::uint8_t*>(read.array->pvData);
    EXPECT_EQ(Bytes(got, got + 40), Counting(40, 0x80));

    ULONG value = 0;
    c.transport->Answer(AnswerFrame(4, 0x5030, {0xFF, 0xFF, 0xFF, 0xFF, 0x2C, 0x01, 0x00, 0x00}));
    EXPECT_EQ(c.kelvo->ReadSafeObject(0x1234, 5, &value), S_OK);
    EXPECT_EQ(Hex(c.transport->writes.back()), "21 04 00 05 03 50 34 12 05");
    EXPECT_EQ(value, 300u);

    c.transport->Answer(AnswerFrame(5, 0x1010, {3, 0xC1, 0xC2, 0xC3}));
    EXPECT_EQ(c.kelvo->ReadSSCBuffer(0x01020304, 3, buf), S_OK);
    EXPECT_EQ(Hex(c.transport->writes.back()), "21 05 00 07 01 10 04 03 02 01 03");
    EXPECT_EQ(Hex(Bytes(buf, buf + 4)), "c1 c2 c3 06");
    EXPECT_EQ(c.transport->Count("Unlock"), 6);
}

TEST(DataExchange, ReadsOfLengthZeroExpectAnEmptyAnswer) {
    ConnectedKelvo c;
    BYTE buf[1] = {0x55};
    c.transport->Answer(AnswerFrame(0, 0x1030, Le32(0)));
    EXPECT_EQ(c.kelvo->ReadDataBlock(0, 0, 0, 0, 0, 0, buf), S_OK);
    c.transport->Answer(AnswerFrame(1, 0x1010, {0}));
    EXPECT_EQ(c.kelvo->ReadSSCBuffer(0, 0, buf), S_OK);
    EXPECT_EQ(buf[0], 0x55);
    EXPECT_EQ(c.transport->Count("Read 4"), 1);
    EXPECT_EQ(c.transport->Count("Read 1"), 1);
    EXPECT_EQ(c.transport->Count("Read 6"), 2);
    EXPECT_EQ(c.transport->Count("Read 0"), 0);
}

// Every operation also succeeds in serial mode with the CRC over all it read.
TEST(DataExchange, SerialSucceedsWithTheRunningCrc) {
    for (const Op& op : kOps) {
        SCOPED_TRACE(op.name);
        ConnectedKelvo c(true, 5);
        c.kelvo->errorCode = 9;
        c.transport->Answer(c.Wire(AnswerFrame(0, op.ok, op.okData)));
        EXPECT_EQ(op.call(c.kelvo), S_OK);
        EXPECT_EQ(c.kelvo->errorCode, 0);
        EXPECT_EQ(c.transport->Count("Read 2"), 1);
        EXPECT_EQ(c.transport->Count("Unlock"), 1);
    }
}

// ---------------------------------------------------------------- length limits

TEST(DataExchange, LengthLimitsRefuseWithoutSending) {
    using Call = std::function<HRESULT(CKelvo*, BYTE*)>;
    const Bytes block200 = AnswerFrame(0, 0x1030, Concat(Le32(200), Bytes(200, 1)));
    const Bytes ssc200 = AnswerFrame(0, 0x1010, Concat({200}, Bytes(200, 1)));
    const Bytes written = AnswerFrame(0, 0x1040);
    // clang-format off
    const std::tuple<const char*, Call, Bytes> cases[] = { // answer empty: refused
        {"BlockRead200", [](CKelvo* k, BYTE* b) { return k->ReadDataBlock(0, 0, 0, 0, 0, 200, b); }, block200},
        {"BlockRead201", [](CKelvo* k, BYTE* b) { return k->ReadDataBlock(0, 0, 0, 0, 0, 201, b); }, {}},
        {"BlockReadNoBuffer", [](CKelvo* k, BYTE*) { return k->ReadDataBlock(0, 0, 0, 0, 0, 1, nullptr); }, {}},
        {"Ssc200", [](CKelvo* k, BYTE* b) { return k->ReadSSCBuffer(0, 200, b); }, ssc200},
        {"Ssc201", [](CKelvo* k, BYTE* b) { return k->ReadSSCBuffer(0, 201, b); }, {}},
        {"SscNoBuffer", [](CKelvo* k, BYTE*) { return k->ReadSSCBuffer(0, 1, nullptr); }, {}},
        {"BlockWrite237", [](CKelvo* k, BYTE* b) { return k->WriteDataBlock(0, 0, 0, 0, 0, 237, b); }, written},
        {"BlockWrite238", [](CKelvo* k, BYTE* b) { return k->WriteDataBlock(0, 0, 0, 0, 0, 238, b); }, {}},
        {"BlockWriteNoBuffer", [](CKelvo* k, BYTE*) { return k->WriteDataBlock(0, 0, 0, 0, 0, 1, nullptr); }, {}},
        {"BlockWriteNothingFromNoBuffer", [](CKelvo* k, BYTE*) { return k->WriteDataBlock(0, 0, 0, 0, 0, 0, nullptr); }, written},
    };
    // clang-format on
    for (const auto& [name, call, answer] : cases) {
        SCOPED_TRACE(name);
        ConnectedKelvo c;
        BYTE buf[256] = {};
        if (!answer.empty())
            c.transport->Answer(answer);
        const HRESULT hr = call(c.kelvo, buf);
        if (answer.empty()) {
            EXPECT_EQ(hr, E_FAIL);
            EXPECT_EQ(c.kelvo->errorCode, 10);
            EXPECT_TRUE(c.transport->calls.empty());
            EXPECT_EQ(c.kelvo->frameCount, 0) << "the frame counter does not move";
            continue;
        }
        EXPECT_EQ(hr, S_OK);
        const Bytes& frame = c.transport->writes.at(0);
        EXPECT_EQ(frame[3], frame.size() - 4); // the length byte counts everything after it
        EXPECT_EQ(buf[199], answer == written ? 0 : 1);
        EXPECT_EQ(buf[200], 0);
    }
}

TEST(DataExchange, AnAnswerLengthMismatchLeavesTheBufferUntouched) {
    for (const bool serial : {false, true}) {
        ConnectedKelvo c(serial, 5);
        BYTE buf[32];
        std::fill(std::begin(buf), std::end(buf), 0xAA);
        c.transport->Answer(c.Wire(AnswerFrame(0, 0x1030, Concat(Le32(16), Bytes(16, 1)))));
        c.transport->Answer(c.Wire(AnswerFrame(1, 0x1010, Concat({16}, Bytes(16, 1)))));
        TraceCapture trace;

        EXPECT_EQ(c.kelvo->ReadDataBlock(1, 1, 1, 1, 0, 32, buf), E_FAIL);
        EXPECT_EQ(c.kelvo->errorCode, 10);
        EXPECT_EQ(trace.lines.back(), "CKelvo::ReadDataBlock fail 6 (lenAnswer 16 len 32)");
        EXPECT_EQ(c.kelvo->ReadSSCBuffer(0, 32, buf), E_FAIL);
        EXPECT_EQ(c.kelvo->errorCode, 10);
        EXPECT_EQ(trace.lines.back(), "CKelvo::ReadSSCBuffer fail 6 (lenAnswer 16 len 32)");

        EXPECT_TRUE(std::all_of(std::begin(buf), std::end(buf), [](BYTE b) { return b == 0xAA; }));
        EXPECT_EQ(c.transport->Count("Unlock"), 2);
    }
}

// ---------------------------------------------------------------- refused arguments

TEST(DataExchange, UnusableSafetyArraysAreRefusedWithTheCounterUsedUp) {
    using Make = std::function<SAFEARRAY*()>;
    const auto twoByTwenty = [] {
        const SAFEARRAYBOUND b[2] = {{20, 0}, {2, 0}};
        return SafeArrayCreate(VT_UI1, 2, b);
    };
    // clang-format off
    const std::tuple<const char*, Make, HRESULT, int> cases[] = { // errorCode 4: left as it was
        {"Missing", [] { return static_cast<SAFEARRAY*>(nullptr); }, E_INVALIDARG, 4},
        {"Bytes39", [] { return ByteArray(Bytes(39)); }, E_FAIL, 10},
        {"Bytes41", [] { return ByteArray(Bytes(41)); }, E_FAIL, 10},
        {"Empty", [] { return ByteArray(Bytes()); }, E_FAIL, 10},
        {"TwoByTwenty", twoByTwenty, E_FAIL, 10},
        {"LongsNotBytes", [] { return SafeArrayCreateVector(VT_I4, 0, 40); }, E_INVALIDARG, 4},
        {"LongsOf39", [] { return SafeArrayCreateVector(VT_I4, 0, 39); }, E_INVALIDARG, 4},
        {"LowerBound1", [] { return ByteArray(Bytes(40), 1); }, E_INVALIDARG, 4},
    };
    // clang-format on
    for (const auto& [name, make, result, code] : cases) {
        SCOPED_TRACE(name);
        ConnectedKelvo c;
        c.kelvo->errorCode = 4;
        ArrayGuard g{make()};
        TraceCapture trace;
        EXPECT_EQ(c.kelvo->SafeDataWrite(g.array), result);
        EXPECT_EQ(c.kelvo->errorCode, code);
        EXPECT_TRUE(c.transport->calls.empty());
        EXPECT_THAT(trace.lines, ElementsAre("CKelvo::SafeDataWrite"));
        EXPECT_EQ(c.kelvo->frameCount, 1);
        if (g.array) {
            EXPECT_EQ(g.array->cLocks, 0u);
        }
    }
}

TEST(DataExchange, NullResultPointersAreRefusedUntouched) {
    ConnectedKelvo c;
    EXPECT_EQ(c.kelvo->SafeDataRead(nullptr), E_POINTER);
    EXPECT_EQ(c.kelvo->ReadSafeObject(1, 1, nullptr), E_POINTER);
    EXPECT_TRUE(c.transport->calls.empty());
    EXPECT_EQ(c.kelvo->frameCount, 0);
}

// ---------------------------------------------------------------- every failure step

struct Failure {
    std::string name;
    const Op* op;
    bool serial;
    Script script;
    int code;
    std::string lastTrace; // "": only the entry line
    std::uint32_t deviceStatus = 0;
};

std::vector<Failure> AllFailures() {
    std::vector<Failure> out;
    const auto n = [](std::size_t i) { return std::to_string(i); };
    for (const Op& op : kOps) {
        const std::string p = op.prefix;
        const Bytes ok = AnswerFrame(0, op.ok, op.okData);
        const Bytes fill(op.header - 6, 0); // between the 6-byte header and the error answer
        const Bytes error = Concat(AnswerFrame(0, op.error, fill), DeviceError(0x15000002));
        const Bytes badOk = Flip(SerialWrap(5, ok), 1, 0x80);
        const Bytes badError = Flip(SerialWrap(5, error), 1, 0x01);
        auto add = [&](const char* name, bool serial, Script script, int code,
                       const std::string& trace, std::uint32_t status = 0) {
            out.push_back({std::string(op.name) + "_" + name, &op, serial, std::move(script), code,
                           trace, status});
        };
        // clang-format off
        add("LockRefused", false, RefuseLock(), 6, "");
        add("SendFails", false, FailSend(), 8, "");
        add("HeaderTimeout", false, Raw(Bytes(op.header - 1, 0), true), 7, p + " fail 3 (tmo 10000 len " + n(op.header) + ")");
        add("WrongCounter", false, Reply(AnswerFrame(7, op.ok, op.okData)), 4, p + " fail 4 (frameCount received: 7, frameCount sent: 0)");
        add("DeviceError", false, Reply(error), 1, p + " FAILED (error code: 352321538)", 0x15000002);
        add("ErrorAnswerTimeout", false, ReplyCut(AnswerFrame(0, op.error, fill)), 7, p + " read error timeout (tmo 10000 len 5)");
        add("UnexpectedStatus", false, Reply(AnswerFrame(0, 0x1234, fill)), 5, p + " fail 12 (4660)");
        add("SerialEchoTimeout", true, Silence(), 7, p + " read serial address fail (tmo 10000 len 1)");
        add("SerialWrongEcho", true, Raw(SerialWrap(6, ok)), 12, p + " read serial address fail (request addr: 5, response addr: 6)");
        add("SerialBadCrc", true, Raw(badOk), 13, p + " CRC fail " + n(op.crcStep) + " " + CrcPair(badOk));
        add("SerialCrcTimeout", true, ReplyCut(ok), 7, p + " CRC timeout fail " + n(op.crcStep) + " (tmo 10000 len 2)");
        add("SerialDeviceErrorBadCrc", true, Raw(badError), 13, p + " CRC fail 0 " + CrcPair(badError));
        // clang-format on
    }

    // The data steps of the reads, and the block write's own error word.
    const Op &block = kOps[0], &write = kOps[1], &safe = kOps[3], &ssc = kOps[5];
    const std::string b = "CKelvo::ReadDataBlock fail ", s = "CKelvo::ReadSSCBuffer fail ";
    // clang-format off
    out.insert(out.end(), {
        {"ReadDataBlock_LengthTimeout", &block, false, ReplyCut(AnswerFrame(0, 0x1030, {4, 0})), 7, b + "5 (tmo 10000 len 4)"},
        {"ReadDataBlock_LengthDiffers", &block, false, Reply(AnswerFrame(0, 0x1030, Concat(Le32(5), Bytes(5)))), 10,
         b + "6 (lenAnswer 5 len 4)"},
        {"ReadDataBlock_DataTimeout", &block, false, ReplyCut(AnswerFrame(0, 0x1030, Concat(Le32(4), {1}))), 7, b + "7 (tmo 10000 len 4)"},
        {"ReadSSCBuffer_LengthTimeout", &ssc, false, ReplyCut(AnswerFrame(0, 0x1010)), 7, s + "5 (tmo 10000 len 1)"},
        {"ReadSSCBuffer_LengthDiffers", &ssc, false, Reply(AnswerFrame(0, 0x1010, {3, 1, 2, 3})), 10, s + "6 (lenAnswer 3 len 4)"},
        {"ReadSSCBuffer_DataTimeout", &ssc, false, ReplyCut(AnswerFrame(0, 0x1010, {4, 1, 2})), 7, s + "7 (tmo 10000 len 4)"},
        {"SafeDataRead_DataTimeout", &safe, false, ReplyCut(AnswerFrame(0, 0x5020, Bytes(10))), 7,
         "CKelvo::SafeDataRead fail 7 (tmo 10000 len 40)"},
        // Success word + 1 is no device error for the block write.
        {"WriteDataBlock_SuccessPlusOne", &write, false, Reply(AnswerFrame(0, 0x1041)), 5, "CKelvo::WriteDataBlock fail 12 (4161)"},
    });
    // clang-format on
    return out;
}

class DataFailure : public ::testing::TestWithParam<Failure> {};

TEST_P(DataFailure, SetsCodeTracesAndUnlocksOnce) {
    const Failure& f = GetParam();
    ConnectedKelvo c(f.serial, 5);
    f.script(c);
    ExpectFailure(
        c, [&] { return f.op->call(c.kelvo); }, f.code, f.op->entry, f.lastTrace);
    EXPECT_EQ(c.transport->Count("Lock"), 1);
    if (f.deviceStatus) {
        EXPECT_EQ(c.kelvo->deviceStatus, f.deviceStatus);
    }
}

INSTANTIATE_TEST_SUITE_P(DataExchange, DataFailure, ::testing::ValuesIn(AllFailures()),
                         [](const auto& info) { return info.param.name; });

} // namespace
} // namespace kelvo::test
