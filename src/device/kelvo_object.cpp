// Construction, destruction, IUnknown, IDispatch and ISupportErrorInfo of CKelvo.
#include "device/kelvo_object.h"

#include "device/interface_table.h"
#include "device/messages.h"

#ifndef KELVO_FILE_VERSION
#define KELVO_FILE_VERSION "1, 0, 0, 0"
#endif

CKelvo::CKelvo() {
    version = FormatVersionText(kelvo::Utf8ToUtf16(KELVO_FILE_VERSION));
    kelvo::LoadObjectMessages(messages);
}

CKelvo::~CKelvo() {
    Close();
}

HRESULT CKelvo::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IDeviceLink ||
        riid == IID_IDeviceLink2 || riid == IID_IDeviceLink3 || riid == IID_IDeviceLink4 ||
        riid == IID_IKelvo)
        *ppv = static_cast<IKelvo*>(this);
    else if (riid == IID_ISupportErrorInfo)
        *ppv = static_cast<ISupportErrorInfo*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

ULONG CKelvo::AddRef() {
    return ++refCount_;
}

ULONG CKelvo::Release() {
    ULONG left = --refCount_;
    if (left == 0)
        delete this;
    return left;
}

HRESULT CKelvo::GetTypeInfoCount(UINT* pctinfo) {
    if (!pctinfo)
        return E_POINTER;
    *pctinfo = 0;
    return S_OK;
}

HRESULT CKelvo::GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) {
    if (ppTInfo)
        *ppTInfo = nullptr;
    return E_NOTIMPL;
}

HRESULT CKelvo::GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId) {
    if (!rgszNames || !rgDispId || cNames == 0)
        return E_INVALIDARG;
    // Named arguments are not supported: only the member name resolves.
    for (UINT i = 0; i < cNames; ++i)
        rgDispId[i] = DISPID_UNKNOWN;
    const kelvo::InterfaceMember* m =
        rgszNames[0] ? kelvo::FindMemberByName(rgszNames[0]) : nullptr;
    if (!m)
        return DISP_E_UNKNOWNNAME;
    rgDispId[0] = m->id;
    return cNames == 1 ? S_OK : DISP_E_UNKNOWNNAME;
}

HRESULT CKelvo::Invoke(DISPID dispIdMember, REFIID, LCID, WORD wFlags, DISPPARAMS* pDispParams,
                       VARIANT* pVarResult, EXCEPINFO*, UINT* puArgErr) {
    return kelvo::InvokeFromTable(this, dispIdMember, wFlags, pDispParams, pVarResult, puArgErr);
}

HRESULT CKelvo::InterfaceSupportsErrorInfo(REFIID riid) {
    return riid == IID_IKelvo ? S_OK : S_FALSE;
}
