// Answer pieces and transport scripts shared by the operation tests.
#pragma once

#include "protocol/bytes.h"
#include "protocol/crc16.h"
#include "support/connected_kelvo.h"
#include "support/trace_capture.h"

#include <gtest/gtest.h>

#include <bit>
#include <concepts>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kelvo::test {

inline Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
inline Bytes Le32(std::uint32_t v) {
    Bytes b(4);
    stle_u32(b.data(), v);
    return b;
}
inline Bytes F32(float f) {
    return Le32(std::bit_cast<std::uint32_t>(f));
}
inline Bytes F64(double d) {
    Bytes b(8);
    stle_u64(b.data(), std::bit_cast<std::uint64_t>(d));
    return b;
}
// A text with its length byte in front.
inline Bytes Counted(const std::string& text) {
    return Concat({static_cast<std::uint8_t>(text.size())}, Bytes(text.begin(), text.end()));
}
// The device error answer after the header: length byte 4, then the code.
inline Bytes DeviceError(std::uint32_t code) {
    return Concat({4}, Le32(code));
}
// The bytes of hex text, "0e 30".
inline Bytes FromHex(const std::string& hex) {
    Bytes b;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 3)
        b.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return b;
}
// `piece` `times` over.
inline std::string Repeated(const char* piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i)
        text += piece;
    return text;
}
// `b` with its byte `fromEnd` places before the end xor-ed with `mask`.
inline Bytes Flip(Bytes b, std::size_t fromEnd = 1, std::uint8_t mask = 0xFF) {
    b[b.size() - fromEnd] ^= mask;
    return b;
}
// "(calculated CRC: a,  response CRC: b)" of a serial answer whose trailer was spoiled.
inline std::string CrcPair(const Bytes& spoiled) {
    const std::uint16_t calculated = Crc16(spoiled.data(), spoiled.size() - 2, kCrc16Start);
    return "(calculated CRC: " + std::to_string(calculated) +
           ",  response CRC: " + std::to_string(ldle_u16(&spoiled[spoiled.size() - 2])) + ")";
}

// What the transport does during one call under test.
using Script = std::function<void(ConnectedKelvo&)>;

// The answer as the device sends it in the object's mode.
inline Script Reply(Bytes answer) {
    return [answer](ConnectedKelvo& c) { c.transport->Answer(c.Wire(answer)); };
}
// The answer in the object's mode without its CRC trailer, then silence.
inline Script ReplyCut(Bytes answer) {
    return [answer](ConnectedKelvo& c) {
        Bytes b = c.Wire(answer);
        b.resize(b.size() - (c.kelvo->serialMode ? 2 : 0));
        c.transport->AnswerThenTimeout(b);
    };
}
// Bytes as they stand.
inline Script Raw(Bytes bytes) {
    return [bytes](ConnectedKelvo& c) { c.transport->Answer(bytes); };
}

// A VT_BSTR VARIANT whose text lives to the end of the program, for tables.
inline VARIANT Str(const char16_t* text) {
    static std::vector<std::unique_ptr<Bstr>> kept;
    kept.push_back(std::make_unique<Bstr>(text));
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = kept.back()->get();
    return v;
}

// One call of a member with fixed arguments. It renders what the member hands
// back into `result` on success and checks that a failure left it alone;
// members without a result are called as they are.
struct Call {
    template <class F>
    requires std::invocable<F, CKelvo*, std::string&> Call(F f) : run(f) {}
    template <class F>
    requires std::invocable<F, CKelvo*> Call(F f)
        : run([f](CKelvo* k, std::string&) { return f(k); }) {}
    HRESULT operator()(CKelvo* k, std::string& result) const { return run(k, result); }
    HRESULT operator()(CKelvo* k) const {
        std::string result;
        return run(k, result);
    }
    std::function<HRESULT(CKelvo*, std::string&)> run;
};

enum class Links { Both, Tcp, Serial };

// A request and its answer (the data after the success word of the request's
// command), what the call hands back, and the trace.
struct ExchangeRow {
    const char* name;
    Call call;
    std::string request; // hex, TCP form: node 0x21, first counter
    Bytes answer;
    std::string result;
    std::vector<std::string> trace = {}; // empty: not compared (long lines are cut)
    Links links = Links::Both;
    int errorCode = 0; // after a success on an object whose code was 9
};

inline void ExpectExchanges(std::span<const ExchangeRow> rows) {
    for (const ExchangeRow& row : rows) {
        SCOPED_TRACE(row.name);
        for (bool serial : {false, true}) {
            if (row.links == (serial ? Links::Tcp : Links::Serial))
                continue;
            SCOPED_TRACE(serial ? "serial" : "tcp");
            ConnectedKelvo c(serial, 9);
            c.kelvo->canNode = 0x21;
            c.kelvo->errorCode = 9;
            const Bytes request = FromHex(row.request);
            const std::uint16_t command = ldle_u16(&request[4]);
            c.transport->Answer(c.Wire(AnswerFrame(0, SuccessWord(command), row.answer)));
            TraceCapture trace;
            std::string result;
            EXPECT_EQ(row.call(c.kelvo, result), S_OK);
            EXPECT_EQ(result, row.result);
            EXPECT_EQ(c.kelvo->errorCode, row.errorCode);
            if (!row.trace.empty()) {
                EXPECT_EQ(trace.lines, row.trace);
            }
            EXPECT_EQ(Hex(c.transport->writes.at(0)), Hex(c.Wire(request)));
            EXPECT_EQ(c.transport->Count("Unlock"), 1);
            EXPECT_EQ(c.transport->Count("Read 0"), 0);
        }
    }
}

// A failure of one step an operation owns: the device's answer, the code, the
// last trace line, the device status (77: left as it was), the requests sent.
struct FailureRow {
    const char* name;
    bool serial;
    Call call;
    Script script;
    int code;
    std::string last;
    std::uint32_t deviceStatus = 77;
    std::size_t requests = 1;
};

// Each row on an object at address 5 with credentials stored: no failure here
// may log in again. E_FAIL, the code stored, the port unlocked once (not at
// all when the lock was refused), every line in the read category, and an
// echo checked before the CRC trailer is read.
inline void ExpectFailures(std::span<const FailureRow> rows) {
    for (const FailureRow& row : rows) {
        SCOPED_TRACE(row.name);
        ConnectedKelvo c(row.serial, 5);
        c.kelvo->userName = u"user";
        c.kelvo->password = u"pw";
        c.kelvo->deviceStatus = 77;
        row.script(c);
        TraceCapture trace;
        EXPECT_EQ(row.call(c.kelvo), E_FAIL);
        EXPECT_EQ(c.kelvo->errorCode, row.code);
        EXPECT_EQ(c.transport->Count("Unlock"), row.code == 6 ? 0 : 1);
        EXPECT_EQ(c.transport->lockDepth, 0);
        ASSERT_FALSE(trace.lines.empty());
        EXPECT_EQ(trace.lines.back(), row.last);
        for (std::uint32_t category : trace.categories)
            EXPECT_EQ(category, 2u);
        EXPECT_EQ(c.kelvo->deviceStatus, row.deviceStatus);
        EXPECT_EQ(c.transport->writes.size(), row.requests);
        if (row.code == 11) {
            EXPECT_EQ(c.transport->Count("Read 2"), 0);
        }
    }
}

// Arguments refused before the port is touched: the result, the code (42:
// left as it was), the trace and the frame counter afterwards.
struct RefusalRow {
    const char* name;
    Call call;
    HRESULT hr;
    int code;
    std::vector<std::string> trace; // empty: not compared
    int frames = 0;
};

inline void ExpectRefusals(std::span<const RefusalRow> rows) {
    for (const RefusalRow& row : rows) {
        SCOPED_TRACE(row.name);
        ConnectedKelvo c;
        c.kelvo->errorCode = 42;
        TraceCapture trace;
        EXPECT_EQ(row.call(c.kelvo), row.hr);
        EXPECT_EQ(c.kelvo->errorCode, row.code);
        EXPECT_TRUE(c.transport->calls.empty());
        EXPECT_EQ(c.kelvo->frameCount, row.frames);
        if (!row.trace.empty()) {
            EXPECT_EQ(trace.lines, row.trace);
        }
    }
}

} // namespace kelvo::test
