#include "component/class_factory.h"

#include "device/kelvo_object.h"
#include "kelvo/runtime.h"

#include <atomic>
#include <new>

namespace kelvo {
namespace {

std::atomic<LONG> g_locks{0};

class KelvoFactory final : public IClassFactory {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IClassFactory)
            return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    // A static object: reference counts do not hold the module.
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }

    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        // An aggregated object hands out its own IUnknown only.
        if (outer && riid != IID_IUnknown)
            return CLASS_E_NOAGGREGATION;
        CKelvo* object = new (std::nothrow) CKelvo;
        if (!object)
            return E_OUTOFMEMORY;
        object->SetOuter(outer);
        IUnknown* inner = object->NonDelegatingUnknown();
        inner->AddRef();
        const HRESULT hr = inner->QueryInterface(riid, ppv);
        inner->Release();
        return hr;
    }

    HRESULT LockServer(BOOL lock) override {
        if (lock)
            LockModule();
        else
            UnlockModule();
        return S_OK;
    }
};

KelvoFactory g_factory;

} // namespace

void LockModule() {
    ++g_locks;
}

void UnlockModule() {
    --g_locks;
}

LONG ModuleLockCount() {
    return g_locks.load();
}

HRESULT CanUnloadModule() {
    return g_locks.load() == 0 ? S_OK : S_FALSE;
}

IClassFactory* KelvoClassFactory() {
    return &g_factory;
}

HRESULT GetKelvoClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (clsid != CLSID_Kelvo)
        return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, ppv);
}

void RegisterKelvoClass() {
    RegisterLinkedClass(KELVO_PROGID, CLSID_Kelvo, &g_factory);
    RegisterLinkedClass(KELVO_VERSION_INDEPENDENT_PROGID, CLSID_Kelvo, &g_factory);
}

} // namespace kelvo
