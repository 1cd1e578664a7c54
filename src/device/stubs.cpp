// Operations that exist in the interfaces and do nothing: the result is fixed
// and no argument, out value or errorCode is touched.
#include "device/kelvo_object.h"

// ---- IDeviceLink: S_OK ----
HRESULT CKelvo::put_Protocol(BSTR) {
    return S_OK;
}
HRESULT CKelvo::get_Option(LONG*) {
    return S_OK;
}
HRESULT CKelvo::Packet(SHORT, BYTE*, LONG, BYTE*, LONG*) {
    return S_OK;
}
HRESULT CKelvo::ShowMsg(BSTR) {
    return S_OK;
}
// The I/O accessors are indexed like the typed parameters (ipa, subI).
HRESULT CKelvo::get_InputD(LONG, LONG, LONG*) {
    return S_OK;
}
HRESULT CKelvo::get_InputA(LONG, LONG, VARIANT*) {
    return S_OK;
}
HRESULT CKelvo::get_OutputD(LONG, LONG, LONG*) {
    return S_OK;
}
HRESULT CKelvo::put_OutputD(LONG, LONG, LONG) {
    return S_OK;
}
HRESULT CKelvo::get_OutputA(LONG, LONG, VARIANT*) {
    return S_OK;
}
HRESULT CKelvo::put_OutputA(LONG, LONG, VARIANT) {
    return S_OK;
}
HRESULT CKelvo::get_Broadcast(LONG*) {
    return S_OK;
}
HRESULT CKelvo::put_Broadcast(LONG) {
    return S_OK;
}
HRESULT CKelvo::EraseFlash() {
    return S_OK;
}
HRESULT CKelvo::ReadMemory(LONG, LONG, VARIANT*) {
    return S_OK;
}
HRESULT CKelvo::WriteMemory(LONG, LONG, VARIANT) {
    return S_OK;
}

// ---- IDeviceLink: E_NOTIMPL ----
HRESULT CKelvo::ReadMemory64(LONGLONG, LONG, VARIANT*) {
    return E_NOTIMPL;
}
HRESULT CKelvo::WriteMemory64(LONGLONG, LONG, VARIANT) {
    return E_NOTIMPL;
}
HRESULT CKelvo::ReadMemoryConsistent(LONG, LONG, VARIANT*) {
    return E_NOTIMPL;
}
HRESULT CKelvo::WriteMemoryConsistent(LONG, LONG, VARIANT) {
    return E_NOTIMPL;
}
HRESULT CKelvo::WriteMemoryBit(LONG, LONG, LONG) {
    return E_NOTIMPL;
}
HRESULT CKelvo::WriteMemoryBitMask(LONG, LONG, LONG) {
    return E_NOTIMPL;
}

// ---- IDeviceLink2: E_NOTIMPL ----
HRESULT CKelvo::get_Feature(LONG, VARIANT*) {
    return E_NOTIMPL;
}
HRESULT CKelvo::put_Feature(LONG, VARIANT) {
    return E_NOTIMPL;
}
HRESULT CKelvo::ReadMultiplePars_Init() {
    return E_NOTIMPL;
}
HRESULT CKelvo::ReadMultiplePars_Add(LONG, LONG, SHORT) {
    return E_NOTIMPL;
}
HRESULT CKelvo::ReadMultiplePars_Execute(VARIANT*) {
    return E_NOTIMPL;
}
HRESULT CKelvo::WriteMultiplePars_Init() {
    return E_NOTIMPL;
}
HRESULT CKelvo::WriteMultiplePars_Add(LONG, LONG, SHORT, VARIANT) {
    return E_NOTIMPL;
}
HRESULT CKelvo::WriteMultiplePars_Execute() {
    return E_NOTIMPL;
}

// ---- IDeviceLink3: E_NOTIMPL ----
HRESULT CKelvo::ReadMemoryCond(LONG, LONG, LONG, VARIANT*) {
    return E_NOTIMPL;
}
HRESULT CKelvo::WriteMemoryCond(LONG, LONG, LONG, VARIANT) {
    return E_NOTIMPL;
}
HRESULT CKelvo::ReadMemoryCond64(LONGLONG, LONG, LONG, VARIANT*) {
    return E_NOTIMPL;
}
HRESULT CKelvo::WriteMemoryCond64(LONGLONG, LONG, LONG, VARIANT) {
    return E_NOTIMPL;
}
HRESULT CKelvo::ReadMemoryMultiCond(VARIANT, LONG, VARIANT*) {
    return E_NOTIMPL;
}
HRESULT CKelvo::WriteMemoryMultiCond(VARIANT, LONG, VARIANT) {
    return E_NOTIMPL;
}
HRESULT CKelvo::ReadMemoryMultiCond64(VARIANT, LONG, VARIANT*) {
    return E_NOTIMPL;
}
HRESULT CKelvo::WriteMemoryMultiCond64(VARIANT, LONG, VARIANT) {
    return E_NOTIMPL;
}
HRESULT CKelvo::WriteMemoryBitCond(LONG, LONG, LONG, LONG) {
    return E_NOTIMPL;
}
HRESULT CKelvo::WriteMemoryBitMaskCond(LONG, LONG, LONG, LONG) {
    return E_NOTIMPL;
}
HRESULT CKelvo::WriteMemoryBit64(LONGLONG, LONG, LONG) {
    return E_NOTIMPL;
}
HRESULT CKelvo::WriteMemoryBitMask64(LONGLONG, LONG, LONG) {
    return E_NOTIMPL;
}
HRESULT CKelvo::WriteMemoryBitCond64(LONGLONG, LONG, LONG, LONG) {
    return E_NOTIMPL;
}
HRESULT CKelvo::WriteMemoryBitMaskCond64(LONGLONG, LONG, LONG, LONG) {
    return E_NOTIMPL;
}
HRESULT CKelvo::GetAlTargetPropertyValue(BSTR, VARIANT*) {
    return E_NOTIMPL;
}
HRESULT CKelvo::GetAlTargetPropertiesValue(VARIANT, VARIANT*) {
    return E_NOTIMPL;
}
HRESULT CKelvo::SetAlTargetPropertyValue(BSTR, VARIANT) {
    return E_NOTIMPL;
}

// ---- IDeviceLink4 ----
HRESULT CKelvo::CRCMemory(LONG, LONG, LONG*) {
    return E_NOTIMPL;
}
