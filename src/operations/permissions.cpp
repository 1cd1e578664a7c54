// Permissions and roles of one user account: the role byte and 64 permission
// bits, handed to the host as an array of VARIANTs.
#include "device/kelvo_object.h"
#include "kelvo/trace.h"
#include "operations/users.h"

using namespace kelvo;

namespace {

constexpr ULONG kBits = 64;

// The array GetPermissionsAndRole returns: element 0 the role (VT_UI1),
// element i + 1 permission bit i (VT_BOOL).
SAFEARRAY* PermissionsArray(std::uint8_t role, std::uint64_t bits) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, kBits + 1);
    void* data = nullptr;
    if (!array || FAILED(SafeArrayAccessData(array, &data))) {
        SafeArrayDestroy(array);
        return nullptr;
    }
    auto* items = static_cast<VARIANT*>(data);
    items[0].vt = VT_UI1;
    items[0].bVal = role;
    for (ULONG i = 0; i < kBits; ++i) {
        items[i + 1].vt = VT_BOOL;
        items[i + 1].boolVal = (bits >> i) & 1 ? VARIANT_TRUE : VARIANT_FALSE;
    }
    SafeArrayUnaccessData(array);
    return array;
}

// Bits from the array SetPermissionsAndRole takes: element i sets bit i when
// it is a VT_BOOL other than 0; other types and elements from 64 on leave
// their bit clear. Returns E_INVALIDARG for an array that is not a
// one-dimensional array of VARIANTs counted from 0.
HRESULT BitsFromArray(SAFEARRAY* array, std::uint64_t& bits) {
    VARTYPE vt = VT_EMPTY;
    LONG lower = -1;
    LONG upper = -1;
    if (!array || FAILED(SafeArrayGetVartype(array, &vt)) || vt != VT_VARIANT ||
        SafeArrayGetDim(array) != 1 || FAILED(SafeArrayGetLBound(array, 1, &lower)) || lower != 0 ||
        FAILED(SafeArrayGetUBound(array, 1, &upper)))
        return E_INVALIDARG;
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(array, &data)))
        return E_INVALIDARG;
    const auto* items = static_cast<const VARIANT*>(data);
    const LONG count = upper < 0 ? 0 : upper + 1;
    bits = 0;
    for (LONG i = 0; i < count && i < static_cast<LONG>(kBits); ++i) {
        if (items[i].vt == VT_BOOL && items[i].boolVal != 0)
            bits |= std::uint64_t{1} << i;
    }
    SafeArrayUnaccessData(array);
    return S_OK;
}

} // namespace

HRESULT CKelvo::GetPermissionsAndRole(BSTR username, VARIANT* result) {
    Trace(TRACE_READ, u"CKelvo::GetPermissionsAndRole %s", username);
    if (!result)
        return E_POINTER;
    UserAdminArgs args;
    args.first = BstrView(username);
    UserAdminResult answer;
    const HRESULT hr = RunUserAdmin(*this, kGetPermissionsAndRole, args, &answer);
    if (FAILED(hr))
        return hr;
    SAFEARRAY* array = PermissionsArray(answer.role, answer.permissions);
    if (!array)
        return E_OUTOFMEMORY;
    result->vt = VT_ARRAY | VT_VARIANT;
    result->parray = array;
    return S_OK;
}

HRESULT CKelvo::SetPermissionsAndRole(BSTR username, BYTE role, VARIANT permissions) {
    Trace(TRACE_READ, u"CKelvo::SetPermissionsAndRole %s %i", username, static_cast<int>(role));
    if (!username || permissions.vt != (VT_ARRAY | VT_VARIANT))
        return KELVO_E_PERMISSIONS;
    UserAdminArgs args;
    if (HRESULT hr = BitsFromArray(permissions.parray, args.permissions); FAILED(hr))
        return hr;
    args.first = BstrView(username);
    args.role = role;
    return RunUserAdmin(*this, kSetPermissionsAndRole, args);
}
