// Base of the transport doubles of the tests, benchmarks and fuzz targets:
// IUnknown with counted references, IDispatch not implemented, and every
// transport call a double does not override answering as a link with nothing
// behind it would (the message calls E_NOTIMPL). A double writes only the
// calls it cares about. Also a class factory that lives as long as the
// process and hands out whatever its CreateInstance makes.
#pragma once

#include "kelvo/portway.h"

#include <atomic>

namespace kelvo::test {

class PortwayDouble : public IPortway {
public:
    // ---- IUnknown / IDispatch ----
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IPortway) {
            *ppv = static_cast<IPortway*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG Release() override {
        const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0)
            LastReleased();
        return left;
    }
    ULONG references() const { return refs_.load(std::memory_order_relaxed); }
    HRESULT GetTypeInfoCount(UINT* n) override {
        if (!n)
            return E_POINTER;
        *n = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }

    // ---- IPortway: Read and Write are each double's own ----
    HRESULT Open(BSTR) override { return S_OK; }
    HRESULT Close() override { return S_OK; }
    HRESULT Reset() override { return S_OK; }
    HRESULT Lock() override { return S_OK; }
    HRESULT Unlock() override { return S_OK; }
    HRESULT WriteVariantData(VARIANT) override { return E_NOTIMPL; }
    HRESULT ReadVariantData(VARIANT*, LONG) override { return E_NOTIMPL; }
    HRESULT get_ErrorCode(PortwayErrorCode* error) override {
        if (!error)
            return E_POINTER;
        *error = PW_OK;
        return S_OK;
    }
    HRESULT SendVariantMessage(LONG, VARIANT) override { return E_NOTIMPL; }
    HRESULT ReceiveVariantMessage(LONG*, LONG*, VARIANT*, LONG) override { return E_NOTIMPL; }
    HRESULT AddMessageFilter(LONG, LONG) override { return E_NOTIMPL; }
    HRESULT RemMessageFilter(LONG, LONG) override { return E_NOTIMPL; }
    HRESULT RequireMessage(LONG, LONG) override { return E_NOTIMPL; }
    HRESULT ReceiveVariantEvent(LONG*, LONG*, LONG*, VARIANT*, LONG) override { return E_NOTIMPL; }
    HRESULT PutProperty(SHORT, VARIANT) override { return E_NOTIMPL; }
    HRESULT GetProperty(SHORT, VARIANT*) override { return E_NOTIMPL; }
    HRESULT Flush() override { return S_OK; }

protected:
    PortwayDouble() = default;
    virtual ~PortwayDouble() = default;
    // The last reference went; a double that outlives its users overrides it.
    virtual void LastReleased() { delete this; }

private:
    std::atomic<ULONG> refs_{1};
};

// A class factory with the lifetime of the process: its references are not
// counted, and CreateInstance is the one thing a user writes.
class StaticClassFactory : public IClassFactory {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT LockServer(BOOL) override { return S_OK; }

protected:
    StaticClassFactory() = default;
    ~StaticClassFactory() = default;
};

} // namespace kelvo::test
