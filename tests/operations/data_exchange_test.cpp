// Data blocks, safety data, safety objects and the SSC buffer on the scripted
// transport: requests byte for byte, the length limits, every failure step in
// TCP and serial mode, and what the caller's buffers hold afterwards.
#include "operations/answers.h"
#include "support/trace_capture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace kelvo::test {
namespace {

using ::testing::ElementsAre;
using ::testing::StartsWith;

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
// its answer header, status pair, success data and CRC step.
struct Op {
    const char* name;
    std::function<HRESULT(CKelvo*)> call;
    const char* entry; // first trace line, or its start when it holds a pointer
    const char* prefix;
    std::size_t header;
    std::uint16_t ok;
    std::uint16_t error;
    Bytes okData; // after the 6-byte header, TCP form
    int crcStep;
};

BYTE g_buffer[256];

HRESULT CallSafeRead(CKelvo* k) {
    ArrayGuard g;
    return k->SafeDataRead(&g.array);
}

HRESULT CallSafeWrite(CKelvo* k) {
    ArrayGuard g{ByteArray(Counting(40))};
    return k->SafeDataWrite(g.array);
}

const Op kOps[] = {
    {"ReadDataBlock", [](CKelvo* k) { return k->ReadDataBlock(1, 2, 3, 4, 5, 4, g_buffer); },
     "CKelvo::ReadDataBlock 1 2 3 4 5 4", "CKelvo::ReadDataBlock", 6, 0x1030, 0x1031,
     Concat(Le32(4), {9, 8, 7, 6}), 8},
    {"WriteDataBlock",
     [](CKelvo* k) { return k->WriteDataBlock(1, 2, 3, 4, 5, 4, g_buffer); },
     "CKelvo::WriteDataBlock 1 2 3 4 5 4",
     "CKelvo::WriteDataBlock",
     6,
     0x1040,
     0x0221,
     {},
     7},
    {"SafeDataWrite",
     CallSafeWrite,
     "CKelvo::SafeDataWrite",
     "CKelvo::SafeDataWrite",
     6,
     0x5010,
     0x5011,
     {},
     7},
    {"SafeDataRead", CallSafeRead, "CKelvo::SafeDataRead", "CKelvo::SafeDataRead", 6, 0x5020,
     0x5021, Counting(40), 8},
    {"ReadSafeObject",
     [](CKelvo* k) {
         ULONG v = 0;
         return k->ReadSafeObject(0x1234, 5, &v);
     },
     "CKelvo::ReadSafeObject",
     "CKelvo::ReadSafeObject",
     14,
     0x5030,
     0x5031,
     {0, 0, 0, 0, 0x2C, 1, 0, 0},
     8},
    {"ReadSSCBuffer",
     [](CKelvo* k) { return k->ReadSSCBuffer(7, 4, g_buffer); },
     "CKelvo::ReadSSCBuffer 7 4 ",
     "CKelvo::ReadSSCBuffer",
     6,
     0x1010,
     0x1011,
     {4, 1, 2, 3, 4},
     8},
};

// The answer filler between the 6-byte header and the error answer.
Bytes HeaderFill(const Op& op) {
    return Bytes(op.header - 6, 0);
}

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
    const Bytes& write = c.transport->writes.back();
    ASSERT_EQ(write.size(), 32u);
    EXPECT_EQ(write[3], 28);
    EXPECT_EQ(Hex(write),
              "21 01 00 1c 04 10 01 02 04 03 08 07 06 05 0c 0b 0a 09 0a 00 00 00 " + Hex(data));

    ArrayGuard safe{ByteArray(Counting(40, 0x40))};
    c.transport->Answer(AnswerFrame(2, 0x5010));
    EXPECT_EQ(c.kelvo->SafeDataWrite(safe.array), S_OK);
    EXPECT_EQ(Hex(c.transport->writes.back()), "21 02 00 2a 01 50 " + Hex(Counting(40, 0x40)));
    // The caller's array is only read.
    EXPECT_EQ(safe.array->cLocks, 0u);

    ArrayGuard read;
    c.transport->Answer(AnswerFrame(3, 0x5020, Counting(40, 0x80)));
    EXPECT_EQ(c.kelvo->SafeDataRead(&read.array), S_OK);
    EXPECT_EQ(Hex(c.transport->writes.back()), "21 03 00 02 02 50");
    ASSERT_NE(read.array, nullptr);
    VARTYPE vt = VT_EMPTY;
    SafeArrayGetVartype(read.array, &vt);
    LONG lower = -1, upper = -1;
    SafeArrayGetLBound(read.array, 1, &lower);
    SafeArrayGetUBound(read.array, 1, &upper);
    EXPECT_EQ(vt, VT_UI1);
    EXPECT_EQ(SafeArrayGetDim(read.array), 1u);
    EXPECT_EQ(lower, 0);
    EXPECT_EQ(upper, 39);
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
    EXPECT_EQ(c.transport->writes.back().size(), 11u);
    EXPECT_EQ(Hex(Bytes(buf, buf + 4)), "c1 c2 c3 06");
    EXPECT_EQ(c.transport->Count("Unlock"), 6);
}

TEST(DataExchange, ReadSafeObjectTakesTheWholeHeaderInOneRead) {
    ConnectedKelvo c;
    c.transport->Answer(AnswerFrame(0, 0x5030, {1, 2, 3, 4, 0x2C, 1, 0, 0}));
    ULONG value = 0;
    EXPECT_EQ(c.kelvo->ReadSafeObject(1, 2, &value), S_OK);
    EXPECT_THAT(c.transport->calls, ElementsAre("Lock", "Reset", "Write 00 00 00 05 03 50 01 00 02",
                                                "Flush", "Read 14 10000", "Unlock"));
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

// ---------------------------------------------------------------- length limits

struct LimitCase {
    const char* name;
    std::function<HRESULT(CKelvo*, BYTE*)> call;
    Bytes answer; // empty: refused, nothing sent
};

const Bytes kBlock200 = AnswerFrame(0, 0x1030, Concat(Le32(200), Bytes(200, 1)));
const Bytes kSsc200 = AnswerFrame(0, 0x1010, Concat({200}, Bytes(200, 1)));
const Bytes kWritten = AnswerFrame(0, 0x1040);

const LimitCase kLimits[] = {
    {"BlockRead200", [](CKelvo* k, BYTE* b) { return k->ReadDataBlock(0, 0, 0, 0, 0, 200, b); },
     kBlock200},
    {"BlockRead201",
     [](CKelvo* k, BYTE* b) { return k->ReadDataBlock(0, 0, 0, 0, 0, 201, b); },
     {}},
    {"BlockReadNoBuffer",
     [](CKelvo* k, BYTE*) { return k->ReadDataBlock(0, 0, 0, 0, 0, 1, nullptr); },
     {}},
    {"Ssc200", [](CKelvo* k, BYTE* b) { return k->ReadSSCBuffer(0, 200, b); }, kSsc200},
    {"Ssc201", [](CKelvo* k, BYTE* b) { return k->ReadSSCBuffer(0, 201, b); }, {}},
    {"SscNoBuffer", [](CKelvo* k, BYTE*) { return k->ReadSSCBuffer(0, 1, nullptr); }, {}},
    {"BlockWrite237", [](CKelvo* k, BYTE* b) { return k->WriteDataBlock(0, 0, 0, 0, 0, 237, b); },
     kWritten},
    {"BlockWrite238",
     [](CKelvo* k, BYTE* b) { return k->WriteDataBlock(0, 0, 0, 0, 0, 238, b); },
     {}},
    {"BlockWriteNoBuffer",
     [](CKelvo* k, BYTE*) { return k->WriteDataBlock(0, 0, 0, 0, 0, 1, nullptr); },
     {}},
    {"BlockWriteNothingFromNoBuffer",
     [](CKelvo* k, BYTE*) { return k->WriteDataBlock(0, 0, 0, 0, 0, 0, nullptr); }, kWritten},
};

class Limit : public ::testing::TestWithParam<LimitCase> {};

TEST_P(Limit, RefusedWithoutSendingOrGoesOut) {
    const LimitCase& lc = GetParam();
    ConnectedKelvo c;
    BYTE buf[256] = {};
    if (!lc.answer.empty())
        c.transport->Answer(lc.answer);

    const HRESULT hr = lc.call(c.kelvo, buf);
    if (lc.answer.empty()) {
        EXPECT_EQ(hr, E_FAIL);
        EXPECT_EQ(c.kelvo->errorCode, 10);
        EXPECT_TRUE(c.transport->calls.empty());
        EXPECT_EQ(c.kelvo->frameCount, 0) << "the frame counter does not move";
        return;
    }
    EXPECT_EQ(hr, S_OK);
    ASSERT_EQ(c.transport->writes.size(), 1u);
    const Bytes& frame = c.transport->writes[0];
    // The length byte counts everything after it.
    EXPECT_EQ(frame[3], frame.size() - 4);
    if (std::string(lc.name).starts_with("BlockRead")) {
        EXPECT_EQ(buf[199], 1);
        EXPECT_EQ(buf[200], 0);
    }
}

INSTANTIATE_TEST_SUITE_P(DataExchange, Limit, ::testing::ValuesIn(kLimits),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- answer length mismatch

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

// ---------------------------------------------------------------- serial CRC

TEST(DataExchange, SerialCrcCoversHeaderLengthAndData) {
    ConnectedKelvo c(true, 5);
    BYTE buf[8] = {};
    const Bytes good = c.Wire(AnswerFrame(0, 0x1030, Concat(Le32(8), Counting(8, 0x10))));
    Bytes flipped = c.Wire(AnswerFrame(1, 0x1030, Concat(Le32(8), Counting(8, 0x10))));
    flipped[1 + 6 + 4 + 3] ^= 0x04; // one bit of the fourth data byte
    c.transport->Answer(good);
    c.transport->Answer(flipped);
    TraceCapture trace;

    EXPECT_EQ(c.kelvo->ReadDataBlock(1, 1, 1, 1, 0, 8, buf), S_OK);
    EXPECT_EQ(Bytes(buf, buf + 8), Counting(8, 0x10));
    EXPECT_EQ(c.kelvo->ReadDataBlock(1, 1, 1, 1, 0, 8, buf), E_FAIL);
    EXPECT_EQ(c.kelvo->errorCode, 13);
    EXPECT_THAT(trace.lines.back(),
                StartsWith("CKelvo::ReadDataBlock CRC fail 8 (calculated CRC: "));
}

// ---------------------------------------------------------------- the block write's error word

TEST(DataExchange, BlockWriteTakes0x0221AsItsDeviceError) {
    ConnectedKelvo c;
    BYTE data[2] = {1, 2};
    c.transport->Answer(Concat(AnswerFrame(0, 0x0221), DeviceError(0x0B000001)));
    c.transport->Answer(AnswerFrame(1, 0x1041));
    TraceCapture trace;

    EXPECT_EQ(c.kelvo->WriteDataBlock(0, 0, 0, 0, 0, 2, data), E_FAIL);
    EXPECT_EQ(c.kelvo->errorCode, 1);
    EXPECT_EQ(c.kelvo->deviceStatus, 0x0B000001u);
    EXPECT_EQ(c.kelvo->WriteDataBlock(0, 0, 0, 0, 0, 2, data), E_FAIL);
    EXPECT_EQ(c.kelvo->errorCode, 5);
    EXPECT_EQ(trace.lines.back(), "CKelvo::WriteDataBlock fail 12 (4161)");
}

// ---------------------------------------------------------------- safety data arrays

struct ArrayCase {
    const char* name;
    std::function<SAFEARRAY*()> make;
    HRESULT result;
    SHORT code; // errorCode afterwards (4 = left as it was)
};

const ArrayCase kArrays[] = {
    {"Missing", [] { return static_cast<SAFEARRAY*>(nullptr); }, E_INVALIDARG, 4},
    {"Bytes39", [] { return ByteArray(Bytes(39)); }, E_FAIL, 10},
    {"Bytes41", [] { return ByteArray(Bytes(41)); }, E_FAIL, 10},
    {"Empty", [] { return ByteArray(Bytes()); }, E_FAIL, 10},
    {"TwoByTwenty",
     [] {
         const SAFEARRAYBOUND b[2] = {{20, 0}, {2, 0}};
         return SafeArrayCreate(VT_UI1, 2, b);
     },
     E_FAIL, 10},
    {"LongsNotBytes", [] { return SafeArrayCreateVector(VT_I4, 0, 40); }, E_INVALIDARG, 4},
    {"LongsOf39", [] { return SafeArrayCreateVector(VT_I4, 0, 39); }, E_INVALIDARG, 4},
    {"LowerBound1", [] { return ByteArray(Bytes(40), 1); }, E_INVALIDARG, 4},
};

class SafeWriteArray : public ::testing::TestWithParam<ArrayCase> {};

TEST_P(SafeWriteArray, RefusedWithNothingSentAndTheCounterUsedUp) {
    const ArrayCase& ac = GetParam();
    ConnectedKelvo c;
    c.kelvo->errorCode = 4;
    ArrayGuard g{ac.make()};
    TraceCapture trace;

    EXPECT_EQ(c.kelvo->SafeDataWrite(g.array), ac.result);
    EXPECT_EQ(c.kelvo->errorCode, ac.code);
    EXPECT_TRUE(c.transport->calls.empty());
    EXPECT_THAT(trace.lines, ElementsAre("CKelvo::SafeDataWrite"));
    EXPECT_EQ(c.kelvo->frameCount, 1);
    if (g.array) {
        EXPECT_EQ(g.array->cLocks, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(DataExchange, SafeWriteArray, ::testing::ValuesIn(kArrays),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- outputs only on success

TEST(DataExchange, FailedReadsLeaveTheirResultsAlone) {
    for (const bool serial : {false, true}) {
        ConnectedKelvo c(serial, 5);
        // SafeDataRead: the 40 bytes time out; then a spoiled CRC.
        const Bytes cut = AnswerFrame(0, 0x5020, Bytes(39));
        c.transport->AnswerThenTimeout(serial ? Concat({5}, cut) : cut);
        Bytes spoiled = c.Wire(AnswerFrame(1, 0x5020, Bytes(40)));
        spoiled.back() ^= serial ? 1 : 0;
        c.transport->Answer(spoiled);
        // ReadSafeObject: device error after the 14-byte header.
        c.transport->Answer(
            c.Wire(Concat(AnswerFrame(2, 0x5031, Bytes(8, 0xEE)), DeviceError(0x0C000003))));
        TraceCapture trace;

        SAFEARRAY* sentinel = reinterpret_cast<SAFEARRAY*>(0x1);
        SAFEARRAY* result = sentinel;
        EXPECT_EQ(c.kelvo->SafeDataRead(&result), E_FAIL);
        EXPECT_EQ(c.kelvo->errorCode, 7);
        EXPECT_EQ(result, sentinel);
        EXPECT_EQ(trace.lines.back(), "CKelvo::SafeDataRead fail 7 (tmo 10000 len 40)");

        const HRESULT second = c.kelvo->SafeDataRead(&result);
        if (serial) {
            EXPECT_EQ(second, E_FAIL);
            EXPECT_EQ(c.kelvo->errorCode, 13);
            EXPECT_EQ(result, sentinel);
        } else {
            EXPECT_EQ(second, S_OK);
            SafeArrayDestroy(result);
        }

        ULONG value = 77;
        EXPECT_EQ(c.kelvo->ReadSafeObject(1, 1, &value), E_FAIL);
        EXPECT_EQ(c.kelvo->errorCode, 1);
        EXPECT_EQ(c.kelvo->deviceStatus, 0x0C000003u);
        EXPECT_EQ(value, 77u);
        EXPECT_EQ(trace.lines.back(), "CKelvo::ReadSafeObject FAILED (error code: 201326595)");
        EXPECT_EQ(c.transport->Count("Read 5"), 1);
        EXPECT_EQ(c.transport->Count("Read 14"), 1);
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
    std::function<void(ConnectedKelvo&, const Op&)> script;
    SHORT code;
    std::string lastTrace; // empty: only the entry line; else a start of the last line
};

std::vector<Failure> AllFailures() {
    std::vector<Failure> out;
    for (const Op& op : kOps) {
        const std::string p = op.prefix;
        auto add = [&](const std::string& name, bool serial, auto script, SHORT code,
                       std::string trace) {
            out.push_back({std::string(op.name) + "_" + name, &op, serial, script, code, trace});
        };
        add(
            "LockRefused", false, [](ConnectedKelvo& c, const Op&) { c.transport->FailNextLock(); },
            6, "");
        add(
            "SendFails", false, [](ConnectedKelvo& c, const Op&) { c.transport->FailNextWrite(); },
            8, "");
        add(
            "HeaderTimeout", false,
            [](ConnectedKelvo& c, const Op& o) {
                c.transport->AnswerThenTimeout(Bytes(o.header - 1, 0));
            },
            7, p + " fail 3 (tmo 10000 len " + std::to_string(op.header) + ")");
        add(
            "WrongCounter", false,
            [](ConnectedKelvo& c, const Op& o) {
                c.transport->Answer(AnswerFrame(7, o.ok, o.okData));
            },
            4, p + " fail 4 (frameCount received: 7, frameCount sent: 0)");
        add(
            "DeviceError", false,
            [](ConnectedKelvo& c, const Op& o) {
                c.transport->Answer(
                    Concat(AnswerFrame(0, o.error, HeaderFill(o)), DeviceError(0x15000002)));
            },
            1, p + " FAILED (error code: 352321538)");
        add(
            "ErrorAnswerTimeout", false,
            [](ConnectedKelvo& c, const Op& o) {
                c.transport->AnswerThenTimeout(AnswerFrame(0, o.error, HeaderFill(o)));
            },
            7, p + " read error timeout (tmo 10000 len 5)");
        add(
            "UnexpectedStatus", false,
            [](ConnectedKelvo& c, const Op& o) {
                c.transport->Answer(AnswerFrame(0, 0x1234, HeaderFill(o)));
            },
            5, p + " fail 12 (4660)");
        add(
            "SerialEchoTimeout", true, [](ConnectedKelvo&, const Op&) {}, 7,
            p + " read serial address fail (tmo 10000 len 1)");
        add(
            "SerialWrongEcho", true,
            [](ConnectedKelvo& c, const Op& o) {
                c.transport->Answer(SerialWrap(6, AnswerFrame(0, o.ok, o.okData)));
            },
            12, p + " read serial address fail (request addr: 5, response addr: 6)");
        add(
            "SerialBadCrc", true,
            [](ConnectedKelvo& c, const Op& o) {
                Bytes b = c.Wire(AnswerFrame(0, o.ok, o.okData));
                b.back() ^= 0x80;
                c.transport->Answer(b);
            },
            13, p + " CRC fail " + std::to_string(op.crcStep) + " (calculated CRC: ");
        add(
            "SerialCrcTimeout", true,
            [](ConnectedKelvo& c, const Op& o) {
                c.transport->AnswerThenTimeout(Concat({5}, AnswerFrame(0, o.ok, o.okData)));
            },
            7, p + " CRC timeout fail " + std::to_string(op.crcStep) + " (tmo 10000 len 2)");
        add(
            "SerialDeviceErrorBadCrc", true,
            [](ConnectedKelvo& c, const Op& o) {
                Bytes b =
                    c.Wire(Concat(AnswerFrame(0, o.error, HeaderFill(o)), DeviceError(0x15000002)));
                b.back() ^= 0x01;
                c.transport->Answer(b);
            },
            13, p + " CRC fail 0 (calculated CRC: ");
    }

    // The data steps of the reads.
    const Op& block = kOps[0];
    out.push_back({"ReadDataBlock_LengthTimeout", &block, false,
                   [](ConnectedKelvo& c, const Op&) {
                       c.transport->AnswerThenTimeout(AnswerFrame(0, 0x1030, {4, 0}));
                   },
                   7, "CKelvo::ReadDataBlock fail 5 (tmo 10000 len 4)"});
    out.push_back({"ReadDataBlock_LengthDiffers", &block, false,
                   [](ConnectedKelvo& c, const Op&) {
                       c.transport->Answer(AnswerFrame(0, 0x1030, Concat(Le32(5), Bytes(5))));
                   },
                   10, "CKelvo::ReadDataBlock fail 6 (lenAnswer 5 len 4)"});
    out.push_back({"ReadDataBlock_DataTimeout", &block, false,
                   [](ConnectedKelvo& c, const Op&) {
                       c.transport->AnswerThenTimeout(AnswerFrame(0, 0x1030, Concat(Le32(4), {1})));
                   },
                   7, "CKelvo::ReadDataBlock fail 7 (tmo 10000 len 4)"});
    const Op& ssc = kOps[5];
    out.push_back({"ReadSSCBuffer_LengthTimeout", &ssc, false,
                   [](ConnectedKelvo& c, const Op&) {
                       c.transport->AnswerThenTimeout(AnswerFrame(0, 0x1010));
                   },
                   7, "CKelvo::ReadSSCBuffer fail 5 (tmo 10000 len 1)"});
    out.push_back({"ReadSSCBuffer_LengthDiffers", &ssc, false,
                   [](ConnectedKelvo& c, const Op&) {
                       c.transport->Answer(AnswerFrame(0, 0x1010, {3, 1, 2, 3}));
                   },
                   10, "CKelvo::ReadSSCBuffer fail 6 (lenAnswer 3 len 4)"});
    out.push_back({"ReadSSCBuffer_DataTimeout", &ssc, false,
                   [](ConnectedKelvo& c, const Op&) {
                       c.transport->AnswerThenTimeout(AnswerFrame(0, 0x1010, {4, 1, 2}));
                   },
                   7, "CKelvo::ReadSSCBuffer fail 7 (tmo 10000 len 4)"});
    out.push_back({"SafeDataRead_DataTimeout", &kOps[3], false,
                   [](ConnectedKelvo& c, const Op&) {
                       c.transport->AnswerThenTimeout(AnswerFrame(0, 0x5020, Bytes(10)));
                   },
                   7, "CKelvo::SafeDataRead fail 7 (tmo 10000 len 40)"});
    return out;
}

class DataFailure : public ::testing::TestWithParam<Failure> {};

TEST_P(DataFailure, SetsCodeTracesAndUnlocksOnce) {
    const Failure& f = GetParam();
    ConnectedKelvo c(f.serial, 5);
    f.script(c, *f.op);
    TraceCapture trace;

    EXPECT_EQ(f.op->call(c.kelvo), E_FAIL);
    EXPECT_EQ(c.kelvo->errorCode, f.code);
    EXPECT_EQ(c.transport->Count("Lock"), 1);
    EXPECT_EQ(c.transport->Count("Unlock"), f.code == 6 ? 0 : 1);
    ASSERT_FALSE(trace.lines.empty());
    EXPECT_THAT(trace.lines.front(), StartsWith(f.op->entry));
    if (f.lastTrace.empty()) {
        EXPECT_EQ(trace.lines.size(), 1u);
    } else {
        EXPECT_THAT(trace.lines.back(), StartsWith(f.lastTrace));
    }
    if (f.code == 1) {
        EXPECT_EQ(c.kelvo->deviceStatus, 0x15000002u);
    }
    for (std::uint32_t category : trace.categories)
        EXPECT_EQ(category, 2u);
}

INSTANTIATE_TEST_SUITE_P(DataExchange, DataFailure, ::testing::ValuesIn(AllFailures()),
                         [](const auto& info) { return info.param.name; });

// Every operation also succeeds in serial mode with the CRC over all it read.
class DataSerial : public ::testing::TestWithParam<Op> {};

TEST_P(DataSerial, SucceedsWithTheRunningCrc) {
    const Op& op = GetParam();
    ConnectedKelvo c(true, 5);
    c.kelvo->errorCode = 9;
    c.transport->Answer(c.Wire(AnswerFrame(0, op.ok, op.okData)));
    EXPECT_EQ(op.call(c.kelvo), S_OK);
    EXPECT_EQ(c.kelvo->errorCode, 0);
    EXPECT_EQ(c.transport->Count("Read 2"), 1);
    EXPECT_EQ(c.transport->Count("Unlock"), 1);
}

INSTANTIATE_TEST_SUITE_P(DataExchange, DataSerial, ::testing::ValuesIn(kOps),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace kelvo::test
