// VariantChangeType: automation coercion between the scalar types, VT_BOOL and
// VT_BSTR.
//
// Rules:
// - Integers and reals convert by value; a value outside the target's range is
//   DISP_E_OVERFLOW. Reals round to integers half to even (2.5 -> 2, 3.5 -> 4).
// - VT_BOOL reads as its 16-bit value (VARIANT_TRUE is -1) and converts to the
//   integer types by truncation, so true becomes -1, 0xFF, 0xFFFF, ... as on
//   the platform. Non-zero numbers become VARIANT_TRUE.
// - Text is decimal in the "C" notation, whatever the process locale: blanks
//   around it, a sign, digits, for reals a '.' and an exponent. "12.7" read as
//   an integer is 13. Text that is no number is DISP_E_TYPEMISMATCH. VT_BOOL
//   also accepts "true" and "false" in any case.
// - Numbers become plain decimal text; reals the shortest text that reads back
//   to the same value (a VT_R4 as a float). VT_BOOL becomes "-1"/"0", or
//   "True"/"False" with VARIANT_ALPHABOOL.
// - VT_EMPTY reads as 0 (empty text); VT_NULL converts to nothing else.
// - VT_CY, VT_DATE, VT_DECIMAL and VT_ERROR are only copied, not converted.
// - Arrays are copied when the type matches and never converted.
// - A VT_BYREF source reads what it points at; the target is never VT_BYREF.
// - On failure dest is untouched; otherwise dest is cleared and receives the
//   result (dest may be src).
#include "kelvo/automation.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace {

enum class NumberKind { Signed, Unsigned, Real };

struct Number {
    NumberKind kind = NumberKind::Signed;
    std::int64_t s = 0;
    std::uint64_t u = 0;
    double d = 0;
    bool single = false;   // a VT_R4 value, written as a float
    bool truncate = false; // a VT_BOOL value: integer targets take its low bits
    bool huge = false;     // integral text beyond every 64-bit integer
    // Text read as a real is also read straight as a float, so that VT_R4
    // gets the float nearest to the text and not the float nearest to a double.
    bool hasFloat = false;
    bool floatOverflow = false;
    float f = 0;
};

Number Signed(std::int64_t value) {
    Number n;
    n.s = value;
    return n;
}

Number Unsigned(std::uint64_t value) {
    Number n;
    n.kind = NumberKind::Unsigned;
    n.u = value;
    return n;
}

Number Real(double value, bool single = false) {
    Number n;
    n.kind = NumberKind::Real;
    n.d = value;
    n.single = single;
    return n;
}

// Size of the value a VT_BYREF of a scalar base type points at; 0 if none.
std::size_t ReferencedSize(VARTYPE base) {
    switch (base) {
    case VT_I1:
    case VT_UI1:
        return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
        return 2;
    case VT_I4:
    case VT_UI4:
    case VT_R4:
    case VT_INT:
    case VT_UINT:
    case VT_ERROR:
        return 4;
    case VT_R8:
    case VT_I8:
    case VT_UI8:
    case VT_CY:
    case VT_DATE:
        return 8;
    case VT_BSTR:
    case VT_UNKNOWN:
    case VT_DISPATCH:
        return sizeof(void*);
    default:
        return 0;
    }
}

// A non-owning plain view of src: references followed, at most two deep (a
// VT_BYREF|VT_VARIANT may point at a VARIANT that is itself a reference).
HRESULT ResolveSource(const VARIANT* src, VARIANT* view) {
    std::memcpy(view, src, sizeof(VARIANT));
    for (int depth = 0; depth < 3; ++depth) {
        if (view->vt & ~(VT_TYPEMASK | VT_ARRAY | VT_BYREF)) {
            return DISP_E_BADVARTYPE;
        }
        if (!(view->vt & VT_BYREF)) {
            return S_OK;
        }
        if (!view->byref) {
            return E_INVALIDARG;
        }
        const VARTYPE base = view->vt & VT_TYPEMASK;
        if (view->vt & VT_ARRAY) {
            SAFEARRAY* array = nullptr;
            std::memcpy(&array, view->byref, sizeof(SAFEARRAY*));
            view->vt = VT_ARRAY | base;
            view->parray = array;
            return S_OK;
        }
        if (base == VT_VARIANT) {
            std::memcpy(view, view->pvarVal, sizeof(VARIANT));
            continue;
        }
        const std::size_t size = ReferencedSize(base);
        if (size == 0) {
            return DISP_E_TYPEMISMATCH;
        }
        const void* target = view->byref;
        view->llVal = 0;
        std::memcpy(&view->llVal, target, size);
        view->vt = base;
        return S_OK;
    }
    return DISP_E_BADVARTYPE;
}

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f';
}

std::u16string_view Trim(std::u16string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool EqualsIgnoringCase(std::u16string_view text, std::string_view word) {
    if (text.size() != word.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        if (c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c - u'A' + u'a');
        }
        if (c != static_cast<unsigned char>(word[i])) {
            return false;
        }
    }
    return true;
}

// Parses decimal text (see the rules at the top) into a number: an exact
// integer when the text is one that fits 64 bits, else a double.
HRESULT ParseDecimal(std::u16string_view text, Number* out) {
    text = Trim(text);
    std::string ascii;
    try {
        ascii.reserve(text.size());
        for (const char16_t c : text) {
            if (c >= 0x80) {
                return DISP_E_TYPEMISMATCH;
            }
            ascii += static_cast<char>(c);
        }
    } catch (...) {
        return E_OUTOFMEMORY;
    }

    std::size_t pos = 0;
    bool negative = false;
    if (pos < ascii.size() && (ascii[pos] == '+' || ascii[pos] == '-')) {
        negative = ascii[pos] == '-';
        ++pos;
    }
    const std::size_t bodyStart = pos;
    // Decimal exponent of the leading significant digit, to tell an overflow
    // from an underflow when the text is out of a double's range.
    std::int64_t intDigits = 0;
    std::int64_t fractionZeros = 0;
    bool significant = false;
    bool anyDigit = false;
    bool integral = true;
    std::uint64_t integer = 0;
    bool integerFits = true;
    for (; pos < ascii.size() && IsDigit(ascii[pos]); ++pos) {
        anyDigit = true;
        const unsigned digit = static_cast<unsigned>(ascii[pos] - '0');
        significant = significant || digit != 0;
        intDigits += significant ? 1 : 0;
        if (integer > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
            integerFits = false;
        } else {
            integer = integer * 10 + digit;
        }
    }
    if (pos < ascii.size() && ascii[pos] == '.') {
        integral = false;
        for (++pos; pos < ascii.size() && IsDigit(ascii[pos]); ++pos) {
            anyDigit = true;
            if (!significant && ascii[pos] == '0') {
                ++fractionZeros;
            }
            significant = significant || ascii[pos] != '0';
        }
    }
    if (!anyDigit) {
        return DISP_E_TYPEMISMATCH;
    }
    std::int64_t exponent = 0;
    if (pos < ascii.size() && (ascii[pos] == 'e' || ascii[pos] == 'E')) {
        integral = false;
        ++pos;
        bool negativeExponent = false;
        if (pos < ascii.size() && (ascii[pos] == '+' || ascii[pos] == '-')) {
            negativeExponent = ascii[pos] == '-';
            ++pos;
        }
        if (pos >= ascii.size() || !IsDigit(ascii[pos])) {
            return DISP_E_TYPEMISMATCH;
        }
        for (; pos < ascii.size() && IsDigit(ascii[pos]); ++pos) {
            exponent = std::min<std::int64_t>(exponent * 10 + (ascii[pos] - '0'), 1000000);
        }
        exponent = negativeExponent ? -exponent : exponent;
    }
    if (pos != ascii.size()) {
        return DISP_E_TYPEMISMATCH;
    }

    if (integral && integerFits && !(negative && integer == 0)) {
        if (!negative) {
            *out = Unsigned(integer);
            return S_OK;
        }
        constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
        if (integer <= kMinMagnitude) {
            *out = Signed(integer == kMinMagnitude ? std::numeric_limits<std::int64_t>::min()
                                                   : -static_cast<std::int64_t>(integer));
            return S_OK;
        }
    }

    // Integral text that gets here either is "-0" or did not fit: then no
    // integer target can hold it, even where its nearest double would fit.
    const bool huge = integral && (!integerFits || integer != 0);
    const char* first = ascii.data() + bodyStart;
    const char* last = ascii.data() + ascii.size();
    const bool large =
        (intDigits > 0 ? intDigits - 1 + exponent : exponent - fractionZeros - 1) >= 0;
    double value = 0;
    const auto [end, ec] = std::from_chars(first, last, value);
    if (ec == std::errc::result_out_of_range) {
        if (large) {
            return DISP_E_OVERFLOW;
        }
        value = 0; // underflow
    } else if (ec != std::errc() || end != last) {
        return DISP_E_TYPEMISMATCH;
    }
    float single = 0;
    const auto [singleEnd, singleEc] = std::from_chars(first, last, single);
    *out = Real(negative ? -value : value);
    out->huge = huge;
    out->hasFloat = true;
    out->floatOverflow = singleEc == std::errc::result_out_of_range && large;
    out->f = singleEc == std::errc() && singleEnd == last ? single : 0.0f;
    out->f = negative ? -out->f : out->f;
    return S_OK;
}

// The value of a plain source as a number, for the numeric and text targets.
HRESULT NumberOf(const VARIANT& v, Number* out) {
    switch (v.vt) {
    case VT_EMPTY:
        *out = Signed(0);
        return S_OK;
    case VT_I1:
        *out = Signed(static_cast<std::int8_t>(v.cVal));
        return S_OK;
    case VT_UI1:
        *out = Signed(v.bVal);
        return S_OK;
    case VT_I2:
        *out = Signed(v.iVal);
        return S_OK;
    case VT_UI2:
        *out = Signed(v.uiVal);
        return S_OK;
    case VT_I4:
        *out = Signed(v.lVal);
        return S_OK;
    case VT_UI4:
        *out = Signed(v.ulVal);
        return S_OK;
    case VT_INT:
        *out = Signed(v.intVal);
        return S_OK;
    case VT_UINT:
        *out = Signed(v.uintVal);
        return S_OK;
    case VT_I8:
        *out = Signed(v.llVal);
        return S_OK;
    case VT_UI8:
        *out = Unsigned(v.ullVal);
        return S_OK;
    case VT_R4:
        *out = Real(v.fltVal, true);
        return S_OK;
    case VT_R8:
        *out = Real(v.dblVal);
        return S_OK;
    case VT_BOOL:
        *out = Signed(v.boolVal);
        out->truncate = true;
        return S_OK;
    case VT_BSTR:
        return ParseDecimal(kelvo::BstrView(v.bstrVal), out);
    case VT_NULL:
    case VT_CY:
    case VT_DATE:
    case VT_DECIMAL:
    case VT_ERROR:
    case VT_UNKNOWN:
    case VT_DISPATCH:
        return DISP_E_TYPEMISMATCH;
    default:
        return (v.vt & VT_ARRAY) ? DISP_E_TYPEMISMATCH : DISP_E_BADVARTYPE;
    }
}

double RoundHalfEven(double d) {
    const double below = std::floor(d);
    const double fraction = d - below;
    if (fraction < 0.5) {
        return below;
    }
    if (fraction > 0.5) {
        return below + 1;
    }
    return std::fmod(below, 2.0) == 0 ? below : below + 1;
}

template <typename T> HRESULT ToInteger(const Number& n, T* out) {
    using Limits = std::numeric_limits<T>;
    switch (n.kind) {
    case NumberKind::Signed:
        if (n.truncate) {
            *out = static_cast<T>(n.s);
            return S_OK;
        }
        if (n.s < 0 ? (!Limits::is_signed || n.s < static_cast<std::int64_t>(Limits::min()))
                    : static_cast<std::uint64_t>(n.s) > static_cast<std::uint64_t>(Limits::max())) {
            return DISP_E_OVERFLOW;
        }
        *out = static_cast<T>(n.s);
        return S_OK;
    case NumberKind::Unsigned:
        if (n.u > static_cast<std::uint64_t>(Limits::max())) {
            return DISP_E_OVERFLOW;
        }
        *out = static_cast<T>(n.u);
        return S_OK;
    case NumberKind::Real: {
        if (!std::isfinite(n.d) || n.huge) {
            return DISP_E_OVERFLOW;
        }
        const double rounded = RoundHalfEven(n.d);
        // Both limits are powers of two and exact as doubles.
        const double upper = std::ldexp(1.0, Limits::digits);
        const double lower = Limits::is_signed ? -upper : 0.0;
        if (rounded < lower || rounded >= upper) {
            return DISP_E_OVERFLOW;
        }
        *out = static_cast<T>(rounded);
        return S_OK;
    }
    }
    return DISP_E_TYPEMISMATCH;
}

double ToDouble(const Number& n) {
    switch (n.kind) {
    case NumberKind::Signed:
        return static_cast<double>(n.s);
    case NumberKind::Unsigned:
        return static_cast<double>(n.u);
    case NumberKind::Real:
        return n.d;
    }
    return 0;
}

HRESULT ToFloat(const Number& n, float* out) {
    switch (n.kind) {
    case NumberKind::Signed:
        *out = static_cast<float>(n.s);
        return S_OK;
    case NumberKind::Unsigned:
        *out = static_cast<float>(n.u);
        return S_OK;
    case NumberKind::Real:
        if (n.hasFloat) {
            if (n.floatOverflow) {
                return DISP_E_OVERFLOW;
            }
            *out = n.f;
            return S_OK;
        }
        if (std::fabs(n.d) > std::numeric_limits<float>::max()) {
            return DISP_E_OVERFLOW;
        }
        *out = static_cast<float>(n.d);
        return S_OK;
    }
    return DISP_E_TYPEMISMATCH;
}

bool IsNonZero(const Number& n) {
    switch (n.kind) {
    case NumberKind::Signed:
        return n.s != 0;
    case NumberKind::Unsigned:
        return n.u != 0;
    case NumberKind::Real:
        return n.d != 0;
    }
    return false;
}

HRESULT MakeBstr(std::string_view ascii, VARIANT* result) {
    BSTR text = SysAllocStringLen(nullptr, static_cast<UINT>(ascii.size()));
    if (!text) {
        return E_OUTOFMEMORY;
    }
    for (std::size_t i = 0; i < ascii.size(); ++i) {
        text[i] = static_cast<char16_t>(static_cast<unsigned char>(ascii[i]));
    }
    result->vt = VT_BSTR;
    result->bstrVal = text;
    return S_OK;
}

HRESULT FormatNumber(const Number& n, VARIANT* result) {
    char buffer[64];
    std::to_chars_result written{};
    switch (n.kind) {
    case NumberKind::Signed:
        written = std::to_chars(buffer, buffer + sizeof(buffer), n.s);
        break;
    case NumberKind::Unsigned:
        written = std::to_chars(buffer, buffer + sizeof(buffer), n.u);
        break;
    case NumberKind::Real:
        written = n.single ? std::to_chars(buffer, buffer + sizeof(buffer), static_cast<float>(n.d))
                           : std::to_chars(buffer, buffer + sizeof(buffer), n.d);
        break;
    }
    if (written.ec != std::errc()) {
        return E_UNEXPECTED;
    }
    for (char* c = buffer; c != written.ptr; ++c) {
        if (*c == 'e') {
            *c = 'E';
        }
    }
    return MakeBstr(std::string_view(buffer, static_cast<std::size_t>(written.ptr - buffer)),
                    result);
}

HRESULT ToBstr(const VARIANT& v, USHORT flags, VARIANT* result) {
    if (v.vt == VT_EMPTY) {
        return MakeBstr("", result);
    }
    if (v.vt == VT_BOOL && (flags & VARIANT_ALPHABOOL)) {
        return MakeBstr(v.boolVal ? "True" : "False", result);
    }
    Number n;
    const HRESULT hr = NumberOf(v, &n);
    if (FAILED(hr)) {
        return hr;
    }
    return FormatNumber(n, result);
}

HRESULT ToBool(const VARIANT& v, VARIANT* result) {
    if (v.vt == VT_BSTR) {
        const std::u16string_view text = Trim(kelvo::BstrView(v.bstrVal));
        if (EqualsIgnoringCase(text, "true") || EqualsIgnoringCase(text, "false")) {
            result->vt = VT_BOOL;
            result->boolVal = EqualsIgnoringCase(text, "true") ? VARIANT_TRUE : VARIANT_FALSE;
            return S_OK;
        }
    }
    Number n;
    const HRESULT hr = NumberOf(v, &n);
    if (FAILED(hr)) {
        return hr;
    }
    result->vt = VT_BOOL;
    result->boolVal = IsNonZero(n) ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

// Stores n into result as the integer or real type vt.
HRESULT StoreNumber(const Number& n, VARTYPE vt, VARIANT* result) {
    HRESULT hr = S_OK;
    switch (vt) {
    case VT_I1: {
        std::int8_t x = 0;
        hr = ToInteger(n, &x);
        result->cVal = static_cast<char>(x);
        break;
    }
    case VT_UI1:
        hr = ToInteger(n, &result->bVal);
        break;
    case VT_I2:
        hr = ToInteger(n, &result->iVal);
        break;
    case VT_UI2:
        hr = ToInteger(n, &result->uiVal);
        break;
    case VT_I4:
        hr = ToInteger(n, &result->lVal);
        break;
    case VT_UI4:
        hr = ToInteger(n, &result->ulVal);
        break;
    case VT_INT:
        hr = ToInteger(n, &result->intVal);
        break;
    case VT_UINT:
        hr = ToInteger(n, &result->uintVal);
        break;
    case VT_I8:
        hr = ToInteger(n, &result->llVal);
        break;
    case VT_UI8:
        hr = ToInteger(n, &result->ullVal);
        break;
    case VT_R4:
        hr = ToFloat(n, &result->fltVal);
        break;
    case VT_R8:
        result->dblVal = ToDouble(n);
        break;
    default:
        return DISP_E_TYPEMISMATCH;
    }
    if (FAILED(hr)) {
        VariantInit(result);
        return hr;
    }
    result->vt = vt;
    return S_OK;
}

// Interface conversions ask the object for the other interface.
HRESULT ToInterface(const VARIANT& v, VARTYPE vt, VARIANT* result) {
    IUnknown* object = v.vt == VT_DISPATCH ? v.pdispVal : v.punkVal;
    void* converted = nullptr;
    if (object) {
        const HRESULT hr =
            object->QueryInterface(vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown, &converted);
        if (FAILED(hr) || !converted) {
            return DISP_E_TYPEMISMATCH;
        }
    }
    result->vt = vt;
    if (vt == VT_DISPATCH) {
        result->pdispVal = static_cast<IDispatch*>(converted);
    } else {
        result->punkVal = static_cast<IUnknown*>(converted);
    }
    return S_OK;
}

bool IsKnownBaseType(VARTYPE base) {
    return base <= VT_DECIMAL || (base >= VT_I1 && base <= VT_UINT);
}

// Whether a plain (non-reference) VARIANT may have type vt.
bool IsValidPlainType(VARTYPE vt) {
    const VARTYPE base = vt & VT_TYPEMASK;
    if ((vt & ~(VT_TYPEMASK | VT_ARRAY)) != 0 || !IsKnownBaseType(base)) {
        return false;
    }
    if (vt & VT_ARRAY) {
        return base != VT_EMPTY && base != VT_NULL;
    }
    return base != VT_VARIANT;
}

// Converts the plain view v into a new value in result (VT_EMPTY on entry).
HRESULT Convert(const VARIANT& v, USHORT flags, VARTYPE vt, VARIANT* result) {
    if (!IsValidPlainType(v.vt)) {
        return DISP_E_BADVARTYPE;
    }
    if (vt & VT_BYREF) {
        return DISP_E_TYPEMISMATCH;
    }
    if (!IsValidPlainType(vt)) {
        return DISP_E_BADVARTYPE;
    }
    if (v.vt == vt) {
        return VariantCopy(result, &v);
    }
    if ((vt & VT_ARRAY) || (v.vt & VT_ARRAY)) {
        return DISP_E_TYPEMISMATCH;
    }
    switch (vt) {
    case VT_EMPTY:
        return S_OK;
    case VT_BSTR:
        return ToBstr(v, flags, result);
    case VT_BOOL:
        return ToBool(v, result);
    case VT_UNKNOWN:
    case VT_DISPATCH:
        if (v.vt == VT_UNKNOWN || v.vt == VT_DISPATCH) {
            return ToInterface(v, vt, result);
        }
        return DISP_E_TYPEMISMATCH;
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_I8:
    case VT_UI8:
    case VT_R4:
    case VT_R8: {
        Number n;
        const HRESULT hr = NumberOf(v, &n);
        if (FAILED(hr)) {
            return hr;
        }
        return StoreNumber(n, vt, result);
    }
    default:
        return DISP_E_TYPEMISMATCH;
    }
}

} // namespace

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT flags, VARTYPE vt) {
    if (!dest || !src) {
        return E_INVALIDARG;
    }
    VARIANT view;
    HRESULT hr = ResolveSource(src, &view);
    if (FAILED(hr)) {
        return hr;
    }
    VARIANT result;
    VariantInit(&result);
    hr = Convert(view, flags, vt, &result);
    if (FAILED(hr)) {
        return hr;
    }
    hr = VariantClear(dest);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    std::memcpy(dest, &result, sizeof(VARIANT));
    return S_OK;
}
