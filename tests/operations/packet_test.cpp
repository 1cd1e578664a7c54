// The automation form of the raw packet exchange: the input conversions, both
// kinds of result, the conversion failures, and the dispatch path. Packet
// itself sends nothing, so the answer is zeros and no port is touched.
#include "device/interface_table.h"
#include "operations/answers.h"
#include "protocol/packet.h"
#include "support/variant_of.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace kelvo::test {
namespace {

constexpr HRESULT kConversion = MakeHresult(0x80040501);

using Make = std::function<void(VARIANT*)>;

// A VT_ARRAY|VT_VARIANT value holding copies of `elements`.
Make ElementsOf(const std::vector<VARIANT>& elements) {
    return [elements](VARIANT* out) {
        SAFEARRAY* a = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(elements.size()));
        for (std::size_t i = 0; i < elements.size(); ++i)
            VariantCopy(&static_cast<VARIANT*>(a->pvData)[i], &elements[i]);
        out->vt = VT_ARRAY | VT_VARIANT;
        out->parray = a;
    };
}
void ByteArrayValue(const Bytes& bytes, VARIANT* out) {
    SAFEARRAY* a = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
    std::copy(bytes.begin(), bytes.end(), static_cast<BYTE*>(a->pvData));
    out->vt = VT_ARRAY | VT_UI1;
    out->parray = a;
}
Make BytesOf(const Bytes& bytes) {
    return [bytes](VARIANT* v) { ByteArrayValue(bytes, v); };
}
VARIANT I4(LONG v) {
    return VariantOf(VT_I4, v);
}
const Make kOneTwoThree = ElementsOf({I4(1), Str(u"2"), I4(3)});

struct InputCase {
    const char* name;
    Make make;
    bool converts;
    Bytes bytes;
};

// clang-format off
const InputCase kInputs[] = {
    {"ByteArray", BytesOf({1, 2, 3}), true, {1, 2, 3}},
    {"EmptyByteArray", BytesOf({}), true, {}},
    {"NumbersAndText", kOneTwoThree, true, {1, 2, 3}},
    {"BytesKeptAsTheyAre",
     ElementsOf({VariantOf(VT_UI1, 255), VariantOf(VT_UI1, 0)}), true, {255, 0}},
    {"TextThatIsNoNumber", ElementsOf({I4(1), Str(u"x")}), false, {}},
    {"NumberTooLargeForAByte", ElementsOf({I4(256)}), false, {}},
    {"NegativeNumber", ElementsOf({I4(-1)}), false, {}},
    {"Scalar", [](VARIANT* v) { *v = I4(1); }, false, {}},
    {"LongArray",
     [](VARIANT* v) { v->vt = VT_ARRAY | VT_I4; v->parray = SafeArrayCreateVector(VT_I4, 0, 2); },
     false, {}},
    {"ByteArrayCalledVariants",
     [](VARIANT* v) { ByteArrayValue({1, 2}, v); v->vt = VT_ARRAY | VT_VARIANT; }, false, {}},
    {"NullArray", [](VARIANT* v) { v->vt = VT_ARRAY | VT_UI1; v->parray = nullptr; }, false, {}},
};
// clang-format on

TEST(Packet, InputConvertsOrGivesNoBuffer) {
    for (const InputCase& ic : kInputs) {
        SCOPED_TRACE(ic.name);
        Variant value;
        ic.make(&value);
        const std::optional<std::vector<BYTE>> bytes = PacketBytes(value);
        ASSERT_EQ(bytes.has_value(), ic.converts);
        if (bytes) {
            EXPECT_EQ(*bytes, ic.bytes);
        }
        if ((value.vt & VT_ARRAY) && value.parray) {
            EXPECT_EQ(value.parray->cLocks, 0u);
        }
    }
}

TEST(Packet, ResultsAreZeroFilledArraysOfTheKindAskedFor) {
    ConnectedKelvo c;
    c.kelvo->errorCode = 9;
    Variant out;
    kOneTwoThree(&out);

    for (const INT kind : {0, VT_ARRAY | VT_VARIANT, VT_ARRAY | VT_UI1}) {
        for (const LONG length : {0, 5}) {
            SCOPED_TRACE(std::to_string(kind) + " " + std::to_string(length));
            Variant in;
            ASSERT_EQ(c.kelvo->PacketVARIANT(7, out, length, kind, &in), S_OK);
            const VARTYPE element = kind == (VT_ARRAY | VT_UI1) ? VT_UI1 : VT_VARIANT;
            EXPECT_EQ(in.vt, VT_ARRAY | element);
            ASSERT_NE(in.parray, nullptr);
            VARTYPE stored = VT_EMPTY;
            SafeArrayGetVartype(in.parray, &stored);
            EXPECT_EQ(stored, element);
            EXPECT_EQ(SafeArrayGetDim(in.parray), 1u);
            EXPECT_EQ(in.parray->rgsabound[0].cElements, static_cast<ULONG>(length));
            for (LONG i = 0; i < length; ++i) {
                if (element == VT_UI1) {
                    EXPECT_EQ(static_cast<BYTE*>(in.parray->pvData)[i], 0);
                    continue;
                }
                const VARIANT& e = static_cast<VARIANT*>(in.parray->pvData)[i];
                EXPECT_EQ(e.vt, VT_UI1);
                EXPECT_EQ(e.bVal, 0);
            }
        }
    }
    // The largest answer buffer: 2^20 bytes.
    Variant largest;
    ASSERT_EQ(c.kelvo->PacketVARIANT(7, out, 1 << 20, VT_ARRAY | VT_UI1, &largest), S_OK);
    EXPECT_EQ(largest.parray->rgsabound[0].cElements, 1u << 20);
    // Nothing of this path touches the port or the error state.
    EXPECT_TRUE(c.transport->calls.empty());
    EXPECT_EQ(c.kelvo->errorCode, 9);
}

// PacketVARIANT with a result VARIANT (or none) that a failure leaves empty.
Call Packet(Make make, LONG length, INT resultType, bool withResult = true) {
    return [=](CKelvo* k) {
        Variant out, in;
        make(&out);
        const HRESULT hr = k->PacketVARIANT(1, out, length, resultType, withResult ? &in : nullptr);
        EXPECT_EQ(in.vt, VT_EMPTY);
        return hr;
    };
}

// clang-format off
const RefusalRow kFailures[] = {
    {"ElementNotAByte", Packet(ElementsOf({Str(u"x")}), 4, 0x2011), E_FAIL, 42, {}},
    {"NoArray",
     Packet([](VARIANT* v) { const VARIANT text = Str(u"1"); VariantCopy(v, &text); }, 4, 0x2011),
     E_FAIL, 42, {}},
    {"ResultType3", Packet(BytesOf({1}), 4, 3), kConversion, 42, {}},
    {"ResultTypeByteNotArray", Packet(BytesOf({1}), 4, VT_UI1), kConversion, 42, {}},
    {"NoResultVariant", Packet(BytesOf({1}), 4, 0x2011, false), kConversion, 42, {}},
    {"NegativeLength", Packet(BytesOf({1}), -1, 0x2011), kConversion, 42, {}},
    {"LengthAboveTheLargestAnswer", Packet(BytesOf({1}), (1 << 20) + 1, 0), kConversion, 42, {}},
};
// clang-format on

TEST(Packet, FailuresReturnTheirResultAndHandNothingOver) {
    ExpectRefusals(kFailures);
}

// The dispatch table passes the typed arguments and hands the result array over.
TEST(Packet, RunsThroughTheDispatchTable) {
    const InterfaceMember* member = FindMember(u"PacketVARIANT", MemberKind::Method);
    ASSERT_NE(member, nullptr);
    CKelvo* k = new CKelvo;
    k->AddRef();
    Variant args[4];
    args[0].vt = VT_I2;
    args[0].iVal = 3;
    kOneTwoThree(&args[1]);
    args[2].vt = VT_BSTR; // converted to the length
    args[2].bstrVal = SysAllocString(u"2");
    args[3].vt = VT_I4;
    args[3].lVal = VT_ARRAY | VT_UI1;
    Variant result;
    UINT argErr = 99;
    EXPECT_EQ(member->call(k, args, 4, &result, &argErr), S_OK);
    EXPECT_EQ(result.vt, VT_ARRAY | VT_UI1);
    ASSERT_NE(result.parray, nullptr);
    EXPECT_EQ(result.parray->rgsabound[0].cElements, 2u);

    args[3].lVal = 3;
    Variant none;
    EXPECT_EQ(member->call(k, args, 4, &none, &argErr), kConversion);
    EXPECT_EQ(none.vt, VT_EMPTY);
    k->Release();
}

} // namespace
} // namespace kelvo::test
