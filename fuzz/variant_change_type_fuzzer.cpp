// VariantChangeType from text to every scalar type.
//
// Input: target type (index), flags, then the text (one UTF-16 unit per byte,
// or UTF-16LE pairs).
//   flags: 1 VARIANT_ALPHABOOL, 2 converted in place, 4 the source is a
//          VT_BYREF to the text, 8 UTF-16LE text
//
// What it checks: the table in fuzz/README.md.
#include "fuzz_support.h"

#include <cmath>
#include <cstring>
#include <limits>

using namespace kelvo;
using namespace kelvo::fuzz;

namespace {

const VARTYPE kTargets[] = {VT_I1,    VT_UI1,  VT_I2, VT_UI2,  VT_I4,    VT_UI4,    VT_I8,
                            VT_UI8,   VT_R4,   VT_R8, VT_BOOL, VT_BSTR,  VT_INT,    VT_UINT,
                            VT_EMPTY, VT_NULL, VT_CY, VT_DATE, VT_ERROR, VT_DECIMAL};

bool KnownResult(HRESULT hr) {
    return hr == S_OK || hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW ||
           hr == DISP_E_BADVARTYPE || hr == E_INVALIDARG || hr == E_OUTOFMEMORY;
}

struct Range {
    VARTYPE vt;
    long long min;
    unsigned long long max;
};

const Range kRanges[] = {{VT_I1, INT8_MIN, INT8_MAX},   {VT_UI1, 0, UINT8_MAX},
                         {VT_I2, INT16_MIN, INT16_MAX}, {VT_UI2, 0, UINT16_MAX},
                         {VT_I4, INT32_MIN, INT32_MAX}, {VT_INT, INT32_MIN, INT32_MAX},
                         {VT_UI4, 0, UINT32_MAX},       {VT_UINT, 0, UINT32_MAX}};

// The range of an integer target narrower than 64 bits (null for the others).
const Range* IntegerRange(VARTYPE vt) {
    for (const Range& r : kRanges)
        if (r.vt == vt)
            return &r;
    return nullptr;
}

long long IntegerValue(const VARIANT& v) {
    switch (v.vt) {
    case VT_I1:
        return v.cVal;
    case VT_UI1:
        return v.bVal;
    case VT_I2:
        return v.iVal;
    case VT_UI2:
        return v.uiVal;
    case VT_I4:
        return v.lVal;
    case VT_INT:
        return v.intVal;
    case VT_UI4:
        return v.ulVal;
    case VT_UINT:
        return v.uintVal;
    case VT_I8:
        return v.llVal;
    default:
        return 0;
    }
}

// The value of a converted variant as bits comparable after a round trip.
bool SameValue(const VARIANT& a, const VARIANT& b) {
    if (a.vt != b.vt)
        return false;
    switch (a.vt) {
    case VT_R4:
        return (std::isnan(a.fltVal) && std::isnan(b.fltVal)) ||
               std::memcmp(&a.fltVal, &b.fltVal, sizeof a.fltVal) == 0;
    case VT_R8:
        return (std::isnan(a.dblVal) && std::isnan(b.dblVal)) ||
               std::memcmp(&a.dblVal, &b.dblVal, sizeof a.dblVal) == 0;
    case VT_BOOL:
        return a.boolVal == b.boolVal;
    case VT_UI8:
        return a.ullVal == b.ullVal;
    default:
        return IntegerValue(a) == IntegerValue(b);
    }
}

bool IsNumberType(VARTYPE vt) {
    return IntegerRange(vt) || vt == VT_I8 || vt == VT_UI8 || vt == VT_R4 || vt == VT_R8 ||
           vt == VT_BOOL;
}

// Converts the text to vt as the flags say; the result in `out`.
HRESULT Convert(const std::u16string& text, VARTYPE vt, std::uint8_t flags, VARIANT& out) {
    const USHORT options = (flags & 1) ? VARIANT_ALPHABOOL : 0;
    Bstr owned(text);
    VARIANT src;
    VariantInit(&src);
    BSTR referenced = owned.get();
    if (flags & 4) {
        src.vt = VT_BYREF | VT_BSTR;
        src.byref = &referenced;
    } else {
        src.vt = VT_BSTR;
        src.bstrVal = owned.get();
    }
    if (flags & 2) {
        // In place: the source is a copy the conversion replaces or leaves.
        VARIANT self;
        VariantInit(&self);
        FUZZ_CHECK(VariantCopy(&self, &src) == S_OK);
        const VARIANT before = self;
        const HRESULT hr = VariantChangeType(&self, &self, options, vt);
        if (FAILED(hr)) {
            FUZZ_CHECK(std::memcmp(&self, &before, sizeof self) == 0);
            if (!(flags & 4))
                FUZZ_CHECK(BstrView(self.bstrVal) == text);
            VariantClear(&self);
            VariantInit(&out);
            return hr;
        }
        out = self;
        return hr;
    }
    VARIANT dest;
    VariantInit(&dest);
    dest.vt = VT_ERROR;
    dest.scode = 0x5EA1;
    const HRESULT hr = VariantChangeType(&dest, &src, options, vt);
    FUZZ_CHECK(BstrView(owned.get()) == text); // the source is not changed
    if (FAILED(hr)) {
        FUZZ_CHECK(dest.vt == VT_ERROR && dest.scode == 0x5EA1);
        VariantInit(&out);
        return hr;
    }
    out = dest;
    return hr;
}

} // namespace

void kelvo::fuzz::FuzzOne(Input& in) {
    const VARTYPE vt = kTargets[in.u8() % std::size(kTargets)];
    const std::uint8_t flags = in.u8();
    const std::u16string text = in.text(flags & 8);

    VARIANT result;
    const HRESULT hr = Convert(text, vt, flags, result);
    FUZZ_CHECK(KnownResult(hr));

    if (const Range* range = IntegerRange(vt)) {
        VARIANT wide;
        const HRESULT wideHr = Convert(text, VT_I8, flags & ~2, wide);
        const long long v = SUCCEEDED(wideHr) ? wide.llVal : 0;
        const bool inRange = SUCCEEDED(wideHr) && v >= range->min &&
                             (v < 0 || static_cast<unsigned long long>(v) <= range->max);
        if (SUCCEEDED(hr))
            FUZZ_CHECK(inRange && IntegerValue(result) == v);
        else if (SUCCEEDED(wideHr))
            FUZZ_CHECK(!inRange && hr == DISP_E_OVERFLOW);
        else
            FUZZ_CHECK(hr == wideHr);
    }
    if (FAILED(hr))
        return;
    FUZZ_CHECK(result.vt == vt);

    if (IsNumberType(vt)) {
        // The value as text and back.
        Variant asText;
        FUZZ_CHECK(VariantChangeType(&asText, &result, 0, VT_BSTR) == S_OK);
        Variant back;
        FUZZ_CHECK(VariantChangeType(&back, &asText, 0, vt) == S_OK);
        FUZZ_CHECK(SameValue(back, result));
    }
    VariantClear(&result);
}
