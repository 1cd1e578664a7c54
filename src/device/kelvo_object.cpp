// Construction, destruction, IUnknown, IDispatch and ISupportErrorInfo of CKelvo.
#include "device/kelvo_object.h"

#include "component/class_factory.h"
#include "device/interface_table.h"
#include "device/messages.h"

#ifndef KELVO_FILE_VERSION
#define KELVO_FILE_VERSION "1, 0, 0, 0"
#endif

CKelvo::CKelvo() {
    kelvo::LockModule();
    version = FormatVersionText(kelvo::Utf8ToUtf16(KELVO_FILE_VERSION));
    kelvo::LoadObjectMessages(messages);
}

CKelvo::~CKelvo() {
    Close();
    kelvo::UnlockModule();
}

HRESULT CKelvo::QueryInterface(REFIID riid, void** ppv) {
    return outer_ ? outer_->QueryInterface(riid, ppv) : inner_.QueryInterface(riid, ppv);
}

ULONG CKelvo::AddRef() {
    return outer_ ? outer_->AddRef() : inner_.AddRef();
}

ULONG CKelvo::Release() {
    return outer_ ? outer_->Release() : inner_.Release();
}

HRESULT CKelvo::InnerUnknown::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    IUnknown* found = nullptr;
    if (riid == IID_IUnknown && owner->outer_)
        found = this;
    else if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IDeviceLink ||
             riid == IID_IDeviceLink2 || riid == IID_IDeviceLink3 || riid == IID_IDeviceLink4 ||
             riid == IID_IKelvo)
        found = static_cast<IKelvo*>(owner);
    else if (riid == IID_ISupportErrorInfo)
        found = static_cast<ISupportErrorInfo*>(owner);
    else
        return E_NOINTERFACE;
    found->AddRef();
    *ppv = found;
    return S_OK;
}

ULONG CKelvo::InnerUnknown::AddRef() {
    return ++owner->refCount_;
}

ULONG CKelvo::InnerUnknown::Release() {
    ULONG left = --owner->refCount_;
    if (left == 0)
        delete owner;
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
