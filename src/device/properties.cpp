// Simple properties of CKelvo: each reads or writes one field and returns S_OK,
// without talking to the device or touching errorCode.
#include "device/kelvo_object.h"

namespace {

template <class T> HRESULT Out(T* p, T value) {
    if (!p)
        return E_POINTER;
    *p = value;
    return S_OK;
}

BSTR NewBstr(std::u16string_view text) {
    return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

} // namespace

HRESULT CKelvo::get_Address(SHORT* pVal) {
    return Out<SHORT>(pVal, address);
}

HRESULT CKelvo::put_Address(SHORT newVal) {
    address = static_cast<std::uint8_t>(newVal);
    return S_OK;
}

HRESULT CKelvo::get_MsgOn(LONG* pVal) {
    return Out<LONG>(pVal, msgOn);
}

HRESULT CKelvo::put_MsgOn(LONG newVal) {
    msgOn = newVal;
    return S_OK;
}

HRESULT CKelvo::get_Port(SHORT* pVal) {
    return Out(pVal, static_cast<SHORT>(port));
}

HRESULT CKelvo::put_Port(SHORT newVal) {
    port = newVal;
    return S_OK;
}

HRESULT CKelvo::get_Protocol(BSTR* pVal) {
    return Out(pVal, NewBstr(u"Kelvo"));
}

HRESULT CKelvo::get_TimeOut(SHORT* pVal) {
    return Out(pVal, static_cast<SHORT>(timeOut));
}

HRESULT CKelvo::put_TimeOut(SHORT newVal) {
    timeOut = newVal;
    return S_OK;
}

HRESULT CKelvo::get_Success(LONG* pVal) {
    return Out<LONG>(pVal, errorCode == KE_OK ? 1 : 0);
}

HRESULT CKelvo::get_ErrorCode(SHORT* pVal) {
    return Out(pVal, static_cast<SHORT>(errorCode));
}

HRESULT CKelvo::get_ErrorString(BSTR* pVal) {
    const std::uint32_t code =
        errorCode == KE_DEVICE ? deviceStatus : static_cast<std::uint32_t>(errorCode);
    auto it = messages.find(code);
    return Out(pVal, NewBstr(it == messages.end() ? std::u16string_view() : it->second));
}

HRESULT CKelvo::get_Active(LONG* pVal) {
    return Out<LONG>(pVal, active ? 1 : 0);
}

HRESULT CKelvo::get_ErrTimeOut(LONG* pVal) {
    return Out<LONG>(pVal, errorCode == KE_TIMEOUT);
}

HRESULT CKelvo::put_Option(LONG newVal) {
    rememberPort = (newVal & 0x100) != 0;
    return S_OK;
}

HRESULT CKelvo::get_DeviceStatus(LONG* pVal) {
    return Out(pVal, static_cast<LONG>(deviceStatus));
}

HRESULT CKelvo::get_CANNode(BYTE* pVal) {
    return Out<BYTE>(pVal, canNode);
}

HRESULT CKelvo::put_CANNode(BYTE newVal) {
    canNode = newVal;
    return S_OK;
}

HRESULT CKelvo::get_EEPROMAccess(VARIANT_BOOL* pVal) {
    return Out(pVal, eepromAccess ? VARIANT_TRUE : VARIANT_FALSE);
}

HRESULT CKelvo::put_EEPROMAccess(VARIANT_BOOL newVal) {
    eepromAccess = newVal != 0;
    return S_OK;
}

// The certificate dates come from the transport; the value field is returned
// as it is, whatever type the transport gave the variant.
HRESULT CKelvo::CertificateDate(SHORT property, ULONG* pVal) {
    if (!portAdapter)
        return E_FAIL;
    VARIANT v;
    VariantInit(&v);
    if (!portAdapter->GetProperty(property, &v)) {
        VariantClear(&v);
        return E_FAIL;
    }
    const ULONG value = v.ulVal;
    VariantClear(&v);
    return Out(pVal, value);
}

HRESULT CKelvo::get_SSLCertNotBefore(ULONG* pVal) {
    return CertificateDate(PORTWAY_PROP_CERT_NOT_BEFORE, pVal);
}

HRESULT CKelvo::get_SSLCertNotAfter(ULONG* pVal) {
    return CertificateDate(PORTWAY_PROP_CERT_NOT_AFTER, pVal);
}
