// VariantChangeType from text to every scalar type.
//
// Input: target type (index), flags, then the text (one UTF-16 unit per byte,
// or UTF-16LE pairs).
//   flags: 1 VARIANT_ALPHABOOL, 2 converted in place, 4 the source is a
//          VT_BYREF to the text, 8 UTF-16LE text
#include "fuzz_support.h"

#include <cmath>

using namespace kelvo;
using namespace kelvo::fuzz;

namespace {

const VARTYPE kTargets[] = {VT_I1,    VT_UI1,  VT_I2, VT_UI2,  VT_I4,    VT_UI4,    VT_I8,
                            VT_UI8,   VT_R4,   VT_R8, VT_BOOL, VT_BSTR,  VT_INT,    VT_UINT,
                            VT_EMPTY, VT_NULL, VT_CY, VT_DATE, VT_ERROR, VT_DECIMAL};

// The number targets: the size of the value and, for the integers narrower
// than 64 bits, their range (none: min above max).
struct Number {
    VARTYPE vt;
    std::size_t size;
    long long min = 1, max = 0;
};
const Number kNumbers[] = {{VT_I1, 1, INT8_MIN, INT8_MAX},
                           {VT_UI1, 1, 0, UINT8_MAX},
                           {VT_I2, 2, INT16_MIN, INT16_MAX},
                           {VT_UI2, 2, 0, UINT16_MAX},
                           {VT_I4, 4, INT32_MIN, INT32_MAX},
                           {VT_INT, 4, INT32_MIN, INT32_MAX},
                           {VT_UI4, 4, 0, UINT32_MAX},
                           {VT_UINT, 4, 0, UINT32_MAX},
                           {VT_I8, 8},
                           {VT_UI8, 8},
                           {VT_R4, 4},
                           {VT_R8, 8},
                           {VT_BOOL, 2}};

// The value of a narrow integer, sign-extended from its size.
long long IntegerValue(const VARIANT& v, const Number& n) {
    long long value = 0;
    std::memcpy(&value, &v.llVal, n.size);
    const std::size_t unused = 64 - 8 * n.size;
    return n.min < 0 ? (value << unused) >> unused : value;
}

bool IsNan(const VARIANT& v) {
    return (v.vt == VT_R4 && std::isnan(v.fltVal)) || (v.vt == VT_R8 && std::isnan(v.dblVal));
}

// Converts the text to vt as the flags say, into `out`. The source is not
// changed; a failure leaves the destination as it was (a sentinel, or in
// place the copy of the source) and `out` empty.
HRESULT Convert(const std::u16string& text, VARTYPE vt, std::uint8_t flags, VARIANT& out) {
    Bstr owned(text);
    BSTR referenced = owned.get();
    VARIANT src;
    VariantInit(&src);
    src.vt = (flags & 4) ? VT_BYREF | VT_BSTR : VT_BSTR;
    src.byref = (flags & 4) ? static_cast<void*>(&referenced) : owned.get();
    VariantInit(&out);
    if (flags & 2) {
        FUZZ_CHECK(VariantCopy(&out, &src) == S_OK);
    } else {
        out.vt = VT_ERROR;
        out.scode = 0x5EA1;
    }
    const VARIANT before = out;
    const USHORT options = (flags & 1) ? VARIANT_ALPHABOOL : 0;
    const HRESULT hr = VariantChangeType(&out, (flags & 2) ? &out : &src, options, vt);
    FUZZ_CHECK(BstrView(owned.get()) == text);
    if (SUCCEEDED(hr))
        return hr;
    FUZZ_CHECK(std::memcmp(&out, &before, sizeof out) == 0);
    if ((flags & 6) == 2)
        FUZZ_CHECK(BstrView(out.bstrVal) == text);
    VariantClear(&out);
    return hr;
}

} // namespace

void kelvo::fuzz::FuzzOne(Input& in) {
    const VARTYPE vt = kTargets[in.u8() % std::size(kTargets)];
    const std::uint8_t flags = in.u8();
    const std::u16string text = in.text(flags & 8);

    VARIANT result;
    const HRESULT hr = Convert(text, vt, flags, result);
    FUZZ_CHECK(hr == S_OK || hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW ||
               hr == DISP_E_BADVARTYPE || hr == E_INVALIDARG || hr == E_OUTOFMEMORY);

    const Number* n = std::ranges::find(kNumbers, vt, &Number::vt);
    const bool number = n != std::end(kNumbers);
    // An integer target agrees with the 64-bit reading of the same text.
    if (number && n->min <= n->max) {
        VARIANT wide;
        const HRESULT wideHr = Convert(text, VT_I8, flags & ~2, wide);
        const long long v = SUCCEEDED(wideHr) ? wide.llVal : 0;
        const bool inRange = SUCCEEDED(wideHr) && v >= n->min && v <= n->max;
        if (SUCCEEDED(hr))
            FUZZ_CHECK(inRange && IntegerValue(result, *n) == v);
        else if (SUCCEEDED(wideHr))
            FUZZ_CHECK(!inRange && hr == DISP_E_OVERFLOW);
        else
            FUZZ_CHECK(hr == wideHr);
    }
    if (FAILED(hr))
        return;
    FUZZ_CHECK(result.vt == vt);
    if (number) {
        // The value as text and back.
        Variant asText;
        FUZZ_CHECK(VariantChangeType(&asText, &result, 0, VT_BSTR) == S_OK);
        Variant back;
        FUZZ_CHECK(VariantChangeType(&back, &asText, 0, vt) == S_OK);
        FUZZ_CHECK(back.vt == vt && ((IsNan(back) && IsNan(result)) ||
                                     std::memcmp(&back.llVal, &result.llVal, n->size) == 0));
    }
    VariantClear(&result);
}
