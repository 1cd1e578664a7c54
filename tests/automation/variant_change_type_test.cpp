#include "kelvo/automation.h"
#include "support/variant_of.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

using kelvo::Bstr;
using kelvo::BstrView;
using kelvo::Variant;

namespace {

// A source value of a coercion case: its type, the bytes of its value at the
// start of the union (every type read here shares them) and, for strings, the text.
struct Source {
    VARTYPE vt;
    std::int64_t bits = 0;
    const char16_t* text = nullptr;
};

const auto I1 = [](std::int64_t v) { return Source{VT_I1, v}; };
const auto UI1 = [](std::int64_t v) { return Source{VT_UI1, v}; };
const auto I4 = [](std::int64_t v) { return Source{VT_I4, v}; };
const auto I8 = [](std::int64_t v) { return Source{VT_I8, v}; };
const auto UI8 = [](std::uint64_t v) { return Source{VT_UI8, std::bit_cast<std::int64_t>(v)}; };
const auto R4 = [](double v) {
    return Source{VT_R4, std::bit_cast<std::uint32_t>(static_cast<float>(v))};
};
const auto R8 = [](double v) { return Source{VT_R8, std::bit_cast<std::int64_t>(v)}; };
const auto Bool = [](bool v) { return Source{VT_BOOL, v ? VARIANT_TRUE : VARIANT_FALSE}; };
const auto Text = [](const char16_t* v) { return Source{VT_BSTR, 0, v}; };
const auto Of = [](VARTYPE vt) { return Source{vt}; };
const auto As = [](VARTYPE vt, std::int64_t v) { return Source{vt, v}; };
const auto Ref = [](VARTYPE vt, void* to) {
    return Source{static_cast<VARTYPE>(VT_BYREF | vt), std::bit_cast<std::int64_t>(to)};
};
// What the by-reference rows point at.
SHORT gMinus3 = -3;
VARIANT gSevenAndAHalf{VT_R8, 0, 0, 0, {R8(7.5).bits}};

void Fill(VARIANT* v, const Source& s) {
    *v = kelvo::test::VariantOf(s.vt, s.bits);
    if (s.vt == VT_BSTR)
        v->bstrVal = SysAllocString(s.text);
}

// Whether `v` holds what `want` stands for: its type and the bytes of its
// value (as wide as the type), or its text.
bool Holds(const VARIANT& v, const Source& want) {
    if (v.vt != want.vt)
        return false;
    if (v.vt == VT_BSTR)
        return BstrView(v.bstrVal) == std::u16string_view(want.text);
    const VARTYPE wide[] = {VT_I8, VT_UI8, VT_R8}, two[] = {VT_I2, VT_UI2, VT_BOOL};
    const std::size_t size = std::ranges::count(wide, v.vt)    ? 8
                             : std::ranges::count(two, v.vt)   ? 2
                             : v.vt == VT_I1 || v.vt == VT_UI1 ? 1
                             : v.vt == VT_EMPTY                ? 0
                                                               : 4;
    return std::memcmp(&v.llVal, &want.bits, size) == 0;
}

// A row: the source, what it becomes (its type: the target) and the result.
struct Case {
    Source src;
    Source want;
    HRESULT hr = S_OK;
    USHORT flags = 0;
};

const Case kCases[] = {
    // Text to integers.
    {Text(u"\t-7\r\n"), I4(-7)},
    {Text(u"+5"), UI1(5)},
    {Text(u"12.7"), I4(13)},
    {Text(u"2.5"), I4(2)},
    {Text(u"1e3"), As(VT_I2, 1000)},
    {Text(u"4294967295"), As(VT_UINT, 4294967295)},
    {Text(u"9223372036854775807"), I8(9223372036854775807)},
    {Text(u"-9223372036854775808"), I8(std::numeric_limits<std::int64_t>::min())},
    {Text(u"18446744073709551615"), UI8(18446744073709551615u)},
    {Text(u"-0"), As(VT_UI4, 0)},
    // Text that is no number.
    {Text(u""), Of(VT_I4), DISP_E_TYPEMISMATCH},
    {Text(nullptr), Of(VT_I4), DISP_E_TYPEMISMATCH},
    {Text(u"12 3"), Of(VT_I4), DISP_E_TYPEMISMATCH},
    {Text(u"--1"), Of(VT_I4), DISP_E_TYPEMISMATCH},
    {Text(u"."), Of(VT_R8), DISP_E_TYPEMISMATCH},
    {Text(u"1e"), Of(VT_R8), DISP_E_TYPEMISMATCH},
    {Text(u"0x10"), Of(VT_I4), DISP_E_TYPEMISMATCH},
    {Text(u"inf"), Of(VT_R8), DISP_E_TYPEMISMATCH},
    {Text(u"\uFF11\uFF12"), Of(VT_I4), DISP_E_TYPEMISMATCH}, // full-width digits
    {Text(u"true"), Of(VT_I4), DISP_E_TYPEMISMATCH},
    // Text out of range.
    {Text(u"-1"), Of(VT_UI4), DISP_E_OVERFLOW},
    {Text(u"1e5"), Of(VT_I2), DISP_E_OVERFLOW},
    {Text(u"4294967296"), Of(VT_UINT), DISP_E_OVERFLOW},
    {Text(u"9223372036854775808"), Of(VT_I8), DISP_E_OVERFLOW},
    {Text(u"18446744073709551616"), Of(VT_UI8), DISP_E_OVERFLOW},
    {Text(u"1e400"), Of(VT_R8), DISP_E_OVERFLOW},
    {Text(u"3.5e38"), Of(VT_R4), DISP_E_OVERFLOW},
    // Text to reals.
    {Text(u" -1.5e-3 "), R8(-0.0015)},
    {Text(u"5."), R8(5)},
    {Text(u".25"), R4(0.25)},
    {Text(u"1e-400"), R8(0)},
    {Text(u"123456789012345678901234567890"), R8(1.2345678901234568e+29)},
    // Reals to integers: half to even.
    {R8(2.5), I4(2)},
    {R8(3.5), I4(4)},
    {R8(-2.5), I4(-2)},
    {R8(2.4999999), I4(2)},
    {R8(2.5000001), I4(3)},
    {R4(1.5), UI1(2)},
    {R8(-0.4), As(VT_UI4, 0)},
    {R8(254.5), UI1(254)},
    {R8(255.5), Of(VT_UI1), DISP_E_OVERFLOW}, // rounds to 256
    {R8(-0.6), Of(VT_UI4), DISP_E_OVERFLOW},
    {R8(9223372036854775808.0), Of(VT_I8), DISP_E_OVERFLOW},
    {R8(18446744073709551616.0), Of(VT_UI8), DISP_E_OVERFLOW},
    {R8(std::nan("")), Of(VT_I4), DISP_E_OVERFLOW},
    {R8(1e39), Of(VT_R4), DISP_E_OVERFLOW},
    // Integers between themselves.
    {I4(300), Of(VT_UI1), DISP_E_OVERFLOW},
    {I4(127), I1(127)},
    {I1(-1), Of(VT_UI1), DISP_E_OVERFLOW},
    {I1(-128), As(VT_I2, -128)},
    {I8(-1), Of(VT_UI8), DISP_E_OVERFLOW},
    {UI8(std::numeric_limits<std::uint64_t>::max()), Of(VT_I8), DISP_E_OVERFLOW},
    {UI8(std::numeric_limits<std::uint64_t>::max()), R8(1.8446744073709552e+19)},
    {I4(16777217), R4(16777216)},
    // Booleans.
    {Bool(true), I4(-1)},
    {Bool(true), UI1(255)},
    {Bool(false), I4(0)},
    {I4(5), Bool(true)},
    {I4(0), Bool(false)},
    {R8(0.25), Bool(true)},
    {Text(u"true"), Bool(true)},
    {Text(u" FaLsE "), Bool(false)},
    {Text(u"-2.5"), Bool(true)},
    {Text(u"yes"), Of(VT_BOOL), DISP_E_TYPEMISMATCH},
    // Numbers to text.
    {I4(-42), Text(u"-42")},
    {UI8(std::numeric_limits<std::uint64_t>::max()), Text(u"18446744073709551615")},
    {R8(0.1), Text(u"0.1")},
    {R4(0.1), Text(u"0.1")}, // a float, not its widened double
    {R8(1e21), Text(u"1E+21")},
    {Bool(true), Text(u"-1")},
    {Bool(true), Text(u"True"), S_OK, VARIANT_ALPHABOOL},
    {Bool(false), Text(u"False"), S_OK, VARIANT_ALPHABOOL},
    // References are followed, also to a VARIANT (a text by reference: the fuzz corpus).
    {Ref(VT_I2, &gMinus3), Text(u"-3")},
    {Ref(VT_VARIANT, &gSevenAndAHalf), I4(8)},
    {Ref(VT_I4, nullptr), Of(VT_I8), E_INVALIDARG},
    // The same type is a deep copy.
    {Text(u"same"), Text(u"same")},
    // Empty and null.
    {Of(VT_EMPTY), I4(0)},
    {Of(VT_EMPTY), Text(u"")},
    {I4(3), Of(VT_EMPTY)},
    {Of(VT_NULL), Of(VT_I4), DISP_E_TYPEMISMATCH},
    // Types left out of the coercions, and types that do not exist.
    {I4(1), Of(VT_DATE), DISP_E_TYPEMISMATCH},
    {Of(VT_ERROR), Of(VT_I4), DISP_E_TYPEMISMATCH},
    {I4(1), Of(VT_BYREF | VT_I4), DISP_E_TYPEMISMATCH},
    {I4(1), Of(VT_VOID), DISP_E_BADVARTYPE},
    {I4(1), Of(VT_VARIANT), DISP_E_BADVARTYPE},
    {I4(1), Of(0x0FFF), DISP_E_BADVARTYPE},
    {Of(0x0FFF), Of(VT_EMPTY), DISP_E_BADVARTYPE},
    {Of(0x0FFF), Of(VT_I4), DISP_E_BADVARTYPE},
};

} // namespace

// Into a destination holding a text: a success frees it, a failure leaves it.
TEST(VariantChangeType, CoercionTable) {
    for (const Case& c : kCases) {
        SCOPED_TRACE("row " + std::to_string(&c - kCases));
        Variant src, dest;
        Fill(&src, c.src);
        Fill(&dest, Text(u"old"));
        const HRESULT hr = VariantChangeType(&dest, &src, c.flags, c.want.vt);
        EXPECT_EQ(hr, c.hr) << std::hex << hr;
        const Source want = c.hr == S_OK ? c.want : Text(u"old");
        EXPECT_TRUE(Holds(dest, want)) << dest.vt << " " << std::hex << dest.llVal;
    }
}

TEST(VariantChangeType, ArraysOnlyCopy) {
    Variant array;
    array.vt = VT_ARRAY | VT_BSTR;
    array.parray = SafeArrayCreateVector(VT_BSTR, 0, 1);
    LONG index = 0;
    const Bstr element(u"5");
    ASSERT_EQ(SafeArrayPutElement(array.parray, &index, element.get()), S_OK);

    Variant dest;
    EXPECT_EQ(VariantChangeType(&dest, &array, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(&dest, &array, 0, VT_ARRAY | VT_I4), DISP_E_TYPEMISMATCH);
    ASSERT_EQ(VariantChangeType(&dest, &array, 0, VT_ARRAY | VT_BSTR), S_OK);
    EXPECT_NE(dest.parray, array.parray);
}
