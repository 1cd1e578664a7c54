// Data blocks, safety data, safety objects and the SSC buffer on the scripted
// transport: requests byte for byte, the length limits, the refused arrays and
// what the caller's buffers hold afterwards. The shared steps are the save's in
// tests/protocol; every operation meets every fault of kelvo-sim in the fault
// matrix and runs over TCP and serial in tests/integration.
#include "operations/answers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

namespace kelvo::test {
namespace {

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

    // Reads of length zero expect an empty answer and touch nothing.
    c.transport->Answer(AnswerFrame(6, 0x1030, Le32(0)));
    EXPECT_EQ(c.kelvo->ReadDataBlock(0, 0, 0, 0, 0, 0, buf), S_OK);
    c.transport->Answer(AnswerFrame(7, 0x1010, {0}));
    EXPECT_EQ(c.kelvo->ReadSSCBuffer(0, 0, buf), S_OK);
    EXPECT_EQ(buf[0], 0xC1);
    EXPECT_EQ(c.transport->Count("Read 0"), 0);
}

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

// The answers the data operations read themselves, and what a failure leaves
// in the caller's buffers.
TEST(DataExchange, OwnAnswerStepsFailAndLeaveTheResultsAlone) {
    BYTE buf[32];
    std::fill(std::begin(buf), std::end(buf), 0xAA);
    ULONG value = 77;
    SAFEARRAY* const sentinel = reinterpret_cast<SAFEARRAY*>(0x1);
    SAFEARRAY* array = sentinel;
    using Call = std::function<HRESULT(CKelvo*)>;
    const Bytes error = Concat(AnswerFrame(0, 0x5021), DeviceError(0x15000002));
    // clang-format off
    const std::tuple<Call, Bytes, int, const char*> cases[] = {
        {[&](CKelvo* k) { return k->ReadDataBlock(1, 1, 1, 1, 0, 32, buf); }, AnswerFrame(0, 0x1030, Concat(Le32(16), Bytes(16, 1))), 10,
         "CKelvo::ReadDataBlock fail 6 (lenAnswer 16 len 32)"},
        {[&](CKelvo* k) { return k->ReadSSCBuffer(0, 32, buf); }, AnswerFrame(0, 0x1010, Concat({16}, Bytes(16, 1))), 10,
         "CKelvo::ReadSSCBuffer fail 6 (lenAnswer 16 len 32)"},
        // Success word + 1 is no device error for the block write; 0x0221 is.
        {[&](CKelvo* k) { return k->WriteDataBlock(1, 2, 3, 4, 0, 4, buf); }, AnswerFrame(0, 0x1041), 5, "CKelvo::WriteDataBlock fail 12 (4161)"},
        {[&](CKelvo* k) { return k->WriteDataBlock(1, 2, 3, 4, 0, 4, buf); }, Concat(AnswerFrame(0, 0x0221), DeviceError(7)), 1,
         "CKelvo::WriteDataBlock FAILED (error code: 7)"},
        {[&](CKelvo* k) { return k->SafeDataRead(&array); }, error, 1, "CKelvo::SafeDataRead FAILED (error code: 352321538)"},
        {[&](CKelvo* k) { return k->ReadSafeObject(1, 2, &value); }, Concat(AnswerFrame(0, 0x5031, Bytes(8)), DeviceError(3)), 1,
         "CKelvo::ReadSafeObject FAILED (error code: 3)"},
    };
    // clang-format on
    for (const auto& [call, answer, code, last] : cases) {
        SCOPED_TRACE(last);
        ConnectedKelvo c(false, 5);
        c.transport->Answer(answer);
        ExpectFailure(
            c, [&] { return call(c.kelvo); }, code, "", last);
    }
    EXPECT_TRUE(std::all_of(std::begin(buf), std::end(buf), [](BYTE b) { return b == 0xAA; }));
    EXPECT_EQ(value, 77u);
    EXPECT_EQ(array, sentinel);
}

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
        {"TwoByTwenty", twoByTwenty, E_FAIL, 10},
        {"LongsNotBytes", [] { return SafeArrayCreateVector(VT_I4, 0, 40); }, E_INVALIDARG, 4},
        {"LowerBound1", [] { return ByteArray(Bytes(40), 1); }, E_INVALIDARG, 4},
    };
    // clang-format on
    for (const auto& [name, make, result, code] : cases) {
        SCOPED_TRACE(name);
        ConnectedKelvo c;
        c.kelvo->errorCode = 4;
        ArrayGuard g{make()};
        EXPECT_EQ(c.kelvo->SafeDataWrite(g.array), result);
        EXPECT_EQ(c.kelvo->errorCode, code);
        EXPECT_TRUE(c.transport->calls.empty());
        EXPECT_EQ(c.kelvo->frameCount, 1);
    }
    ConnectedKelvo c;
    EXPECT_EQ(c.kelvo->SafeDataRead(nullptr), E_POINTER);
    EXPECT_EQ(c.kelvo->ReadSafeObject(1, 1, nullptr), E_POINTER);
    EXPECT_TRUE(c.transport->calls.empty());
}

} // namespace
} // namespace kelvo::test
