#include "kelvo/automation.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <sstream>
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

void Fill(VARIANT* v, const Source& s) {
    VariantInit(v);
    v->vt = s.vt;
    v->llVal = s.bits;
    if (s.vt == VT_BSTR)
        v->bstrVal = SysAllocString(s.text);
}

template <class T> std::string Show(const char* type, T value) {
    std::ostringstream out;
    out.precision(17);
    out << type << " " << value;
    return out.str();
}

// "TYPE value" of a result, for comparison with the expected text.
std::string Describe(const VARIANT& v) {
    using Shown = std::string (*)(const VARIANT&);
    const std::pair<VARTYPE, Shown> shows[] = {
        {VT_EMPTY, [](const VARIANT&) { return std::string("EMPTY"); }},
        {VT_I1, [](const VARIANT& r) { return Show("I1", int{static_cast<std::int8_t>(r.cVal)}); }},
        {VT_UI1, [](const VARIANT& r) { return Show("UI1", int{r.bVal}); }},
        {VT_I2, [](const VARIANT& r) { return Show("I2", r.iVal); }},
        {VT_UI2, [](const VARIANT& r) { return Show("UI2", r.uiVal); }},
        {VT_I4, [](const VARIANT& r) { return Show("I4", r.lVal); }},
        {VT_UI4, [](const VARIANT& r) { return Show("UI4", r.ulVal); }},
        {VT_INT, [](const VARIANT& r) { return Show("INT", r.intVal); }},
        {VT_UINT, [](const VARIANT& r) { return Show("UINT", r.uintVal); }},
        {VT_I8, [](const VARIANT& r) { return Show("I8", r.llVal); }},
        {VT_UI8, [](const VARIANT& r) { return Show("UI8", r.ullVal); }},
        {VT_R4, [](const VARIANT& r) { return Show("R4", r.fltVal); }},
        {VT_R8, [](const VARIANT& r) { return Show("R8", r.dblVal); }},
        {VT_BOOL, [](const VARIANT& r) { return Show("BOOL", r.boolVal); }},
        {VT_BSTR,
         [](const VARIANT& r) { return "BSTR " + kelvo::Utf16ToUtf8(BstrView(r.bstrVal)); }},
    };
    for (const auto& [vt, show] : shows)
        if (v.vt == vt)
            return show(v);
    return Show("vt", v.vt);
}

struct Case {
    Source src;
    VARTYPE vt;
    HRESULT hr;
    const char* expected = ""; // when hr is S_OK
    USHORT flags = 0;
};

const Case kCases[] = {
    // Text to integers.
    {Text(u"\t-7\r\n"), VT_I4, S_OK, "I4 -7"},
    {Text(u"+5"), VT_UI1, S_OK, "UI1 5"},
    {Text(u"12.7"), VT_I4, S_OK, "I4 13"},
    {Text(u"2.5"), VT_I4, S_OK, "I4 2"},
    {Text(u"1e3"), VT_I2, S_OK, "I2 1000"},
    {Text(u"4294967295"), VT_UINT, S_OK, "UINT 4294967295"},
    {Text(u"9223372036854775807"), VT_I8, S_OK, "I8 9223372036854775807"},
    {Text(u"-9223372036854775808"), VT_I8, S_OK, "I8 -9223372036854775808"},
    {Text(u"18446744073709551615"), VT_UI8, S_OK, "UI8 18446744073709551615"},
    {Text(u"-0"), VT_UI4, S_OK, "UI4 0"},
    // Text that is no number.
    {Text(u""), VT_I4, DISP_E_TYPEMISMATCH},
    {Text(nullptr), VT_I4, DISP_E_TYPEMISMATCH},
    {Text(u"12 3"), VT_I4, DISP_E_TYPEMISMATCH},
    {Text(u"--1"), VT_I4, DISP_E_TYPEMISMATCH},
    {Text(u"."), VT_R8, DISP_E_TYPEMISMATCH},
    {Text(u"1e"), VT_R8, DISP_E_TYPEMISMATCH},
    {Text(u"0x10"), VT_I4, DISP_E_TYPEMISMATCH},
    {Text(u"inf"), VT_R8, DISP_E_TYPEMISMATCH},
    {Text(u"\uFF11\uFF12"), VT_I4, DISP_E_TYPEMISMATCH}, // full-width digits
    {Text(u"true"), VT_I4, DISP_E_TYPEMISMATCH},
    // Text out of range.
    {Text(u"-1"), VT_UI4, DISP_E_OVERFLOW},
    {Text(u"1e5"), VT_I2, DISP_E_OVERFLOW},
    {Text(u"4294967296"), VT_UINT, DISP_E_OVERFLOW},
    {Text(u"9223372036854775808"), VT_I8, DISP_E_OVERFLOW},
    {Text(u"18446744073709551616"), VT_UI8, DISP_E_OVERFLOW},
    {Text(u"1e400"), VT_R8, DISP_E_OVERFLOW},
    {Text(u"3.5e38"), VT_R4, DISP_E_OVERFLOW},
    // Text to reals.
    {Text(u" -1.5e-3 "), VT_R8, S_OK, "R8 -0.0015"},
    {Text(u"5."), VT_R8, S_OK, "R8 5"},
    {Text(u".25"), VT_R4, S_OK, "R4 0.25"},
    {Text(u"1e-400"), VT_R8, S_OK, "R8 0"},
    {Text(u"123456789012345678901234567890"), VT_R8, S_OK, "R8 1.2345678901234568e+29"},
    // Reals to integers: half to even.
    {R8(2.5), VT_I4, S_OK, "I4 2"},
    {R8(3.5), VT_I4, S_OK, "I4 4"},
    {R8(-2.5), VT_I4, S_OK, "I4 -2"},
    {R8(2.4999999), VT_I4, S_OK, "I4 2"},
    {R8(2.5000001), VT_I4, S_OK, "I4 3"},
    {R4(1.5), VT_UI1, S_OK, "UI1 2"},
    {R8(-0.4), VT_UI4, S_OK, "UI4 0"},
    {R8(254.5), VT_UI1, S_OK, "UI1 254"},
    {R8(255.5), VT_UI1, DISP_E_OVERFLOW}, // rounds to 256
    {R8(-0.6), VT_UI4, DISP_E_OVERFLOW},
    {R8(9223372036854775808.0), VT_I8, DISP_E_OVERFLOW},
    {R8(18446744073709551616.0), VT_UI8, DISP_E_OVERFLOW},
    {R8(std::nan("")), VT_I4, DISP_E_OVERFLOW},
    {R8(1e39), VT_R4, DISP_E_OVERFLOW},
    // Integers between themselves.
    {I4(300), VT_UI1, DISP_E_OVERFLOW},
    {I4(127), VT_I1, S_OK, "I1 127"},
    {I1(-1), VT_UI1, DISP_E_OVERFLOW},
    {I1(-128), VT_I2, S_OK, "I2 -128"},
    {I8(-1), VT_UI8, DISP_E_OVERFLOW},
    {UI8(std::numeric_limits<std::uint64_t>::max()), VT_I8, DISP_E_OVERFLOW},
    {UI8(std::numeric_limits<std::uint64_t>::max()), VT_R8, S_OK, "R8 1.8446744073709552e+19"},
    {I4(16777217), VT_R4, S_OK, "R4 16777216"},
    // Booleans.
    {Bool(true), VT_I4, S_OK, "I4 -1"},
    {Bool(true), VT_UI1, S_OK, "UI1 255"},
    {Bool(false), VT_I4, S_OK, "I4 0"},
    {I4(5), VT_BOOL, S_OK, "BOOL -1"},
    {I4(0), VT_BOOL, S_OK, "BOOL 0"},
    {R8(0.25), VT_BOOL, S_OK, "BOOL -1"},
    {Text(u"true"), VT_BOOL, S_OK, "BOOL -1"},
    {Text(u" FaLsE "), VT_BOOL, S_OK, "BOOL 0"},
    {Text(u"-2.5"), VT_BOOL, S_OK, "BOOL -1"},
    {Text(u"yes"), VT_BOOL, DISP_E_TYPEMISMATCH},
    // Numbers to text.
    {I4(-42), VT_BSTR, S_OK, "BSTR -42"},
    {UI8(std::numeric_limits<std::uint64_t>::max()), VT_BSTR, S_OK, "BSTR 18446744073709551615"},
    {R8(0.1), VT_BSTR, S_OK, "BSTR 0.1"},
    {R4(0.1), VT_BSTR, S_OK, "BSTR 0.1"}, // a float, not its widened double
    {R8(1e21), VT_BSTR, S_OK, "BSTR 1E+21"},
    {Bool(true), VT_BSTR, S_OK, "BSTR -1"},
    {Bool(true), VT_BSTR, S_OK, "BSTR True", VARIANT_ALPHABOOL},
    {Bool(false), VT_BSTR, S_OK, "BSTR False", VARIANT_ALPHABOOL},
    // Empty and null.
    {Of(VT_EMPTY), VT_I4, S_OK, "I4 0"},
    {Of(VT_EMPTY), VT_BSTR, S_OK, "BSTR "},
    {I4(3), VT_EMPTY, S_OK, "EMPTY"},
    {Of(VT_NULL), VT_I4, DISP_E_TYPEMISMATCH},
    // Types left out of the coercions, and types that do not exist.
    {I4(1), VT_DATE, DISP_E_TYPEMISMATCH},
    {Of(VT_ERROR), VT_I4, DISP_E_TYPEMISMATCH},
    {I4(1), VT_BYREF | VT_I4, DISP_E_TYPEMISMATCH},
    {I4(1), VT_VOID, DISP_E_BADVARTYPE},
    {I4(1), VT_VARIANT, DISP_E_BADVARTYPE},
    {I4(1), 0x0FFF, DISP_E_BADVARTYPE},
    {Of(0x0FFF), VT_EMPTY, DISP_E_BADVARTYPE},
    {Of(0x0FFF), VT_I4, DISP_E_BADVARTYPE},
};

} // namespace

TEST(VariantChangeType, CoercionTable) {
    for (const Case& c : kCases) {
        Variant src;
        Fill(&src, c.src);
        SCOPED_TRACE(Describe(src) + " -> vt " + std::to_string(c.vt));
        Variant dest;
        const HRESULT hr = VariantChangeType(&dest, &src, c.flags, c.vt);
        EXPECT_EQ(hr, c.hr) << std::hex << hr;
        if (c.hr == S_OK) {
            EXPECT_EQ(Describe(dest), c.expected);
        } else {
            EXPECT_EQ(dest.vt, VT_EMPTY);
        }
    }
}

// Success frees what the destination held; the same type is a deep copy.
TEST(VariantChangeType, DestinationIsReplaced) {
    Variant v;
    Fill(&v, Text(u"abc"));
    Variant src;
    Fill(&src, I4(300));
    ASSERT_EQ(VariantChangeType(&v, &src, 0, VT_I2), S_OK);
    EXPECT_EQ(Describe(v), "I2 300");
    Variant text;
    Fill(&text, Text(u"same"));
    ASSERT_EQ(VariantChangeType(&v, &text, 0, VT_BSTR), S_OK);
    EXPECT_NE(v.bstrVal, text.bstrVal);
    EXPECT_EQ(Describe(v), "BSTR same");
}

// A reference is followed, also to a VARIANT (a text by reference: the fuzz corpus).
TEST(VariantChangeType, ReferencesAreFollowed) {
    Variant dest;
    SHORT number = -3;
    Variant ref;
    ref.vt = VT_BYREF | VT_I2;
    ref.byref = &number;
    ASSERT_EQ(VariantChangeType(&dest, &ref, 0, VT_BSTR), S_OK);
    EXPECT_EQ(Describe(dest), "BSTR -3");
    Variant inner;
    Fill(&inner, R8(7.5));
    ref.vt = VT_BYREF | VT_VARIANT;
    ref.pvarVal = &inner;
    ASSERT_EQ(VariantChangeType(&dest, &ref, 0, VT_I4), S_OK);
    EXPECT_EQ(Describe(dest), "I4 8");
    ref.vt = VT_BYREF | VT_I4;
    ref.byref = nullptr;
    EXPECT_EQ(VariantChangeType(&dest, &ref, 0, VT_I8), E_INVALIDARG);
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
