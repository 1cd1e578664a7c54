// VARIANT life cycle: initialisation, release of what a VARIANT owns, deep copy.
// A VARIANT owns its BSTR, its SAFEARRAY and one reference of its interface
// pointer; a VT_BYREF VARIANT owns nothing.
#include "kelvo/automation.h"

#include <cstring>

namespace {

// Whether vt may stand in a VARIANT (with or without VT_ARRAY / VT_BYREF).
bool IsValidVariantType(VARTYPE vt) {
    if (vt & ~(VT_TYPEMASK | VT_ARRAY | VT_BYREF)) {
        return false;
    }
    const VARTYPE base = vt & VT_TYPEMASK;
    const bool plain = (vt & (VT_ARRAY | VT_BYREF)) == 0;
    switch (base) {
    case VT_EMPTY:
    case VT_NULL:
        return plain;
    case VT_VARIANT:
        return !plain;
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_ERROR:
    case VT_BOOL:
    case VT_UNKNOWN:
    case VT_DECIMAL:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
        return true;
    }
    return false;
}

// Replaces what a bitwise copy shares with its source by its own copy: a new
// BSTR, a new array, one more interface reference. A VT_BYREF copy shares.
HRESULT DuplicateOwned(VARIANT* copy) {
    if (copy->vt & VT_BYREF) {
        return S_OK;
    }
    if (copy->vt & VT_ARRAY) {
        SAFEARRAY* source = copy->parray;
        copy->parray = nullptr;
        return SafeArrayCopy(source, &copy->parray);
    }
    if (copy->vt == VT_BSTR && copy->bstrVal) {
        copy->bstrVal = SysAllocStringLen(copy->bstrVal, SysStringLen(copy->bstrVal));
        return copy->bstrVal ? S_OK : E_OUTOFMEMORY;
    }
    if (copy->vt == VT_UNKNOWN && copy->punkVal) {
        copy->punkVal->AddRef();
    }
    if (copy->vt == VT_DISPATCH && copy->pdispVal) {
        copy->pdispVal->AddRef();
    }
    return S_OK;
}

} // namespace

void VariantInit(VARIANT* v) {
    if (!v) {
        return;
    }
    std::memset(v, 0, sizeof(VARIANT));
    v->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANT* v) {
    if (!v) {
        return E_INVALIDARG;
    }
    if (!IsValidVariantType(v->vt)) {
        return DISP_E_BADVARTYPE;
    }
    if (v->vt & VT_BYREF) {
        VariantInit(v);
        return S_OK;
    }
    if (v->vt & VT_ARRAY) {
        const HRESULT hr = SafeArrayDestroy(v->parray);
        if (FAILED(hr)) {
            return hr;
        }
        VariantInit(v);
        return S_OK;
    }
    switch (v->vt) {
    case VT_BSTR:
        SysFreeString(v->bstrVal);
        break;
    case VT_UNKNOWN:
        if (v->punkVal) {
            v->punkVal->Release();
        }
        break;
    case VT_DISPATCH:
        if (v->pdispVal) {
            v->pdispVal->Release();
        }
        break;
    default:
        break;
    }
    VariantInit(v);
    return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) {
    if (!dest || !src) {
        return E_INVALIDARG;
    }
    if (dest == src) {
        return S_OK;
    }
    if (!IsValidVariantType(src->vt)) {
        return DISP_E_BADVARTYPE;
    }
    // Build the copy first: src may live inside what dest owns (an element of
    // dest's array), and a failed copy leaves dest as it was.
    VARIANT copy;
    std::memcpy(&copy, src, sizeof(VARIANT));
    if (const HRESULT hr = DuplicateOwned(&copy); FAILED(hr)) {
        return hr;
    }
    const HRESULT hr = VariantClear(dest);
    if (FAILED(hr)) {
        VariantClear(&copy);
        return hr;
    }
    std::memcpy(dest, &copy, sizeof(VARIANT));
    return S_OK;
}
