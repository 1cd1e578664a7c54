// The recording transport of --wire and --capture: created in place of
// "Portway.Portway2.1", it forwards every call to the real transport and
// reports the frames. A request is what one Write sends; its answer is what
// the Reads after it take until the exchange ends (Unlock, Reset, the next
// Write, Close); bytes read outside an exchange are push data.
#include "wire.h"

#include "kelvo/runtime.h"
#include "transport/portway/portway.h"

#include <atomic>
#include <new>
#include <string_view>
#include <vector>

namespace kelvo::tool {
namespace {

WireLog* g_log = nullptr;
std::atomic<std::uint16_t> g_links{0};

LinkType LinkOf(BSTR connection) {
    std::u16string text(BstrView(connection));
    for (char16_t& c : text)
        c = c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
    if (text.rfind(u"TCPIP", 0) != 0)
        return LinkType::Serial;
    return text.find(u"SSL") != std::u16string::npos ? LinkType::Tls : LinkType::Tcp;
}

class WireTap final : public IPortway {
public:
    explicit WireTap(IPortway* inner) : inner_(inner), number_(++g_links) {}
    ~WireTap() {
        EndAnswer();
        inner_->Release();
    }
    WireTap(const WireTap&) = delete;
    WireTap& operator=(const WireTap&) = delete;

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
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        const ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

    HRESULT GetTypeInfoCount(UINT* count) override { return inner_->GetTypeInfoCount(count); }
    HRESULT GetTypeInfo(UINT i, LCID l, ITypeInfo** t) override {
        return inner_->GetTypeInfo(i, l, t);
    }
    HRESULT GetIDsOfNames(REFIID r, LPOLESTR* n, UINT c, LCID l, DISPID* d) override {
        return inner_->GetIDsOfNames(r, n, c, l, d);
    }
    HRESULT Invoke(DISPID d, REFIID r, LCID l, WORD f, DISPPARAMS* p, VARIANT* v, EXCEPINFO* e,
                   UINT* a) override {
        return inner_->Invoke(d, r, l, f, p, v, e, a);
    }

    HRESULT Open(BSTR connection) override {
        EndAnswer();
        link_ = LinkOf(connection);
        return inner_->Open(connection);
    }
    HRESULT Close() override {
        EndAnswer();
        return inner_->Close();
    }
    HRESULT Reset() override {
        EndAnswer();
        return inner_->Reset();
    }
    HRESULT Lock() override { return inner_->Lock(); }
    HRESULT Unlock() override {
        EndAnswer();
        return inner_->Unlock();
    }
    HRESULT Read(void* buffer, ULONG length, ULONG timeout) override {
        const HRESULT hr = inner_->Read(buffer, length, timeout);
        if (FAILED(hr) || !buffer || length == 0)
            return hr;
        const auto* bytes = static_cast<const std::uint8_t*>(buffer);
        if (!inExchange_) {
            g_log->Frame({Direction::Stream,
                          link_,
                          number_,
                          {bytes, length},
                          std::chrono::system_clock::now()});
            return hr;
        }
        if (answer_.empty())
            answerTime_ = std::chrono::system_clock::now();
        answer_.insert(answer_.end(), bytes, bytes + length);
        return hr;
    }
    HRESULT Write(const void* buffer, ULONG length) override {
        EndAnswer();
        const WireTime when = std::chrono::system_clock::now();
        const HRESULT hr = inner_->Write(buffer, length);
        if (SUCCEEDED(hr) && buffer) {
            const std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(buffer),
                                                      length);
            g_log->Frame({Direction::Request, link_, number_, bytes, when});
            inExchange_ = true;
            request_ = {bytes.begin(), bytes.end()};
            requestTime_ = when;
        }
        return hr;
    }
    HRESULT WriteVariantData(VARIANT data) override { return inner_->WriteVariantData(data); }
    HRESULT ReadVariantData(VARIANT* data, LONG arg) override {
        return inner_->ReadVariantData(data, arg);
    }
    HRESULT get_ErrorCode(PortwayErrorCode* error) override { return inner_->get_ErrorCode(error); }
    HRESULT SendVariantMessage(LONG id, VARIANT msg) override {
        return inner_->SendVariantMessage(id, msg);
    }
    HRESULT ReceiveVariantMessage(LONG* id, LONG* len, VARIANT* msg, LONG timeout) override {
        return inner_->ReceiveVariantMessage(id, len, msg, timeout);
    }
    HRESULT AddMessageFilter(LONG a, LONG b) override { return inner_->AddMessageFilter(a, b); }
    HRESULT RemMessageFilter(LONG a, LONG b) override { return inner_->RemMessageFilter(a, b); }
    HRESULT RequireMessage(LONG a, LONG b) override { return inner_->RequireMessage(a, b); }
    HRESULT ReceiveVariantEvent(LONG* a, LONG* b, LONG* c, VARIANT* v, LONG timeout) override {
        return inner_->ReceiveVariantEvent(a, b, c, v, timeout);
    }
    HRESULT PutProperty(SHORT id, VARIANT value) override { return inner_->PutProperty(id, value); }
    HRESULT GetProperty(SHORT id, VARIANT* value) override {
        return inner_->GetProperty(id, value);
    }
    HRESULT Flush() override { return inner_->Flush(); }

private:
    // Reports the answer read so far; reads from here on are push data.
    void EndAnswer() {
        if (!answer_.empty())
            g_log->Frame({Direction::Answer, link_, number_, answer_, answerTime_, RequestCommand(),
                          requestTime_});
        answer_.clear();
        inExchange_ = false;
    }
    // The command code of the last request (inside the serial envelope there).
    std::uint16_t RequestCommand() const {
        const std::size_t at = link_ == LinkType::Serial ? 5 : 4;
        return request_.size() >= at + 2
                   ? static_cast<std::uint16_t>(request_[at] | request_[at + 1] << 8)
                   : 0;
    }

    std::atomic<ULONG> refs_{1};
    IPortway* inner_;
    const std::uint16_t number_;
    LinkType link_ = LinkType::Tcp;
    bool inExchange_ = false;
    std::vector<std::uint8_t> answer_;
    WireTime answerTime_{};
    std::vector<std::uint8_t> request_; // the last request, which names its answer
    WireTime requestTime_{};
};

class WireTapFactory final : public IClassFactory {
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

    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        void* inner = nullptr;
        HRESULT hr = PortwayClassFactory()->CreateInstance(nullptr, IID_IPortway, &inner);
        if (FAILED(hr))
            return hr;
        auto* tap = new (std::nothrow) WireTap(static_cast<IPortway*>(inner));
        if (!tap) {
            static_cast<IPortway*>(inner)->Release();
            return E_OUTOFMEMORY;
        }
        hr = tap->QueryInterface(riid, ppv);
        tap->Release();
        return hr;
    }
    HRESULT LockServer(BOOL) override { return S_OK; }
};

WireTapFactory g_factory;

} // namespace

void InstallWireTap(WireLog& log) {
    g_log = &log;
    RegisterLinkedClass(PORTWAY_PROGID, CLSID_Portway, &g_factory);
}

} // namespace kelvo::tool
