#include "transport/portway/portway.h"

#include "kelvo/runtime.h"
#include "transport/portway/channel.h"
#include "transport/portway/connection_text.h"
#include "transport/portway/link_lock.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <poll.h>

namespace kelvo {
namespace {

using portway::Channel;
using portway::Clock;
using portway::Fingerprint;
using portway::IoStatus;
using portway::LinkLock;
using portway::WaitResult;

// How long Write waits for the link to take more bytes.
constexpr std::chrono::milliseconds kWriteTimeout{5000};

std::u16string HexText(const Fingerprint& digest) {
    static constexpr char16_t kDigits[] = u"0123456789abcdef";
    std::u16string text;
    for (std::uint8_t b : digest) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 15]);
    }
    return text;
}

std::uint32_t ClampToU32(std::int64_t seconds) {
    if (seconds < 0)
        return 0;
    if (seconds > static_cast<std::int64_t>(UINT32_MAX))
        return UINT32_MAX;
    return static_cast<std::uint32_t>(seconds);
}

// Bytes received beyond what a Read asked for, handed to the next Reads: an
// answer that arrives in one piece is taken from the link in one call.
class ReadAhead {
public:
    static constexpr std::size_t kSize = 4096;

    std::size_t Take(std::uint8_t* out, std::size_t length) {
        const std::size_t n = std::min(length, end_ - begin_);
        std::memcpy(out, bytes_ + begin_, n);
        begin_ += n;
        return n;
    }
    // Room for kSize bytes; only asked for when empty.
    std::uint8_t* Space() { return bytes_; }
    void Filled(std::size_t count) {
        begin_ = 0;
        end_ = count;
    }
    void Clear() { begin_ = end_ = 0; }
    bool Empty() const { return begin_ == end_; }

private:
    std::uint8_t bytes_[kSize];
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

class Portway final : public IPortway {
public:
    Portway() = default;
    Portway(const Portway&) = delete;
    Portway& operator=(const Portway&) = delete;

    // ---- IUnknown ----
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
        ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0)
            delete this;
        return left;
    }

    // ---- IDispatch: the transport is used through its vtable only ----
    HRESULT GetTypeInfoCount(UINT* count) override {
        if (!count)
            return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }

    // ---- IPortway ----
    HRESULT Open(BSTR connection) override {
        try {
            std::lock_guard<std::mutex> io(ioMutex_);
            CloseLink();
            openFailure_.clear();
            lastFailure_.store(PW_OK);
            const std::string text = Utf16ToUtf8(BstrView(connection));
            auto target = portway::ParseConnectionText(text);
            if (!target)
                return FailOpen(PW_BAD_CONNECTION_TEXT,
                                "the transport text '" + text + "' has no known form");
            portway::OpenResult opened;
            if (auto* tcp = std::get_if<portway::TcpTarget>(&*target)) {
                std::optional<Fingerprint> pin;
                if (tcp->tls && !TlsPin(&pin))
                    return FailOpen(PW_TLS_FAILED, "KELVO_TLS_FINGERPRINT is not a SHA-256 "
                                                   "fingerprint (64 hex digits)");
                opened = portway::OpenTcp(*tcp, pin);
            } else if (auto* serial = std::get_if<portway::SerialTarget>(&*target)) {
                opened = portway::OpenSerial(*serial);
            } else {
                opened = portway::OpenBridge(std::get<portway::BridgeTarget>(*target));
            }
            if (opened.error != PW_OK)
                return FailOpen(opened.error, opened.failure);
            auto lock = LinkLock::ForLink(opened.linkId, opened.lockNode);
            std::lock_guard<std::mutex> state(stateMutex_);
            channel_ = std::move(opened.channel);
            linkLock_ = std::move(lock);
            peerClosed_ = false;
            return Succeed();
        } catch (const std::bad_alloc&) {
            return Fail(PW_IO_FAILED, E_OUTOFMEMORY);
        } catch (...) {
            return Fail(PW_IO_FAILED);
        }
    }

    // Called with ioMutex_ held.
    HRESULT FailOpen(PortwayErrorCode error, std::string failure) {
        openFailure_ = std::move(failure);
        return Fail(error);
    }

    HRESULT Close() override {
        std::lock_guard<std::mutex> io(ioMutex_);
        CloseLink();
        return Succeed();
    }

    HRESULT Reset() override {
        std::lock_guard<std::mutex> io(ioMutex_);
        if (!channel_)
            return Fail(PW_NOT_OPEN);
        // After an answer read to its end with nothing behind it, there is
        // nothing to drop: the socket is not asked again.
        const bool nothingLeft = quiet_ && ahead_.Empty();
        ahead_.Clear();
        if (!nothingLeft && !channel_->DropInput())
            peerClosed_ = true;
        return Succeed();
    }

    HRESULT Lock() override {
        std::shared_ptr<LinkLock> lock = CurrentLock();
        if (!lock)
            return Fail(PW_NOT_OPEN);
        try {
            PortwayErrorCode error = lock->Acquire(this);
            return error == PW_OK ? Succeed() : Fail(error);
        } catch (...) {
            return Fail(PW_LOCK_FAILED);
        }
    }

    HRESULT Unlock() override {
        std::shared_ptr<LinkLock> lock = CurrentLock();
        if (!lock)
            return Fail(PW_NOT_OPEN);
        return lock->Release() ? Succeed() : Fail(PW_LOCK_FAILED);
    }

    HRESULT Read(void* buffer, ULONG length, ULONG timeout) override {
        std::lock_guard<std::mutex> io(ioMutex_);
        if (!channel_)
            return Fail(PW_NOT_OPEN);
        if (length == 0)
            return Succeed();
        if (!buffer)
            return Fail(PW_BAD_ARGUMENT, E_POINTER);
        if (peerClosed_)
            return Fail(PW_PEER_CLOSED);
        auto* out = static_cast<std::uint8_t*>(buffer);
        std::size_t got = ahead_.Take(out, length);
        if (got == length)
            return Succeed();
        Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout);
        // Right after a request the answer cannot be there yet: wait first.
        bool wait = answerAwaited_ && !channel_->HasBuffered();
        answerAwaited_ = false;
        while (got < length) {
            // Whatever has arrived is taken in one call; the rest of it waits
            // in ahead_ for the next Read.
            const std::size_t wanted = length - got;
            const bool direct = wanted >= ReadAhead::kSize;
            std::uint8_t* into = direct ? out + got : ahead_.Space();
            const std::size_t room = direct ? wanted : ReadAhead::kSize;
            portway::IoResult r =
                wait ? channel_->ReadWithin(into, room, deadline) : channel_->ReadSome(into, room);
            quiet_ = r.status == IoStatus::Done && channel_->InputDrained();
            if (r.status == IoStatus::Done) {
                if (direct) {
                    got += r.count;
                } else {
                    ahead_.Filled(r.count);
                    got += ahead_.Take(out + got, wanted);
                }
                wait = false;
                continue;
            }
            if (r.status == IoStatus::WantRead) {
                wait = true;
                continue;
            }
            PortwayErrorCode error = AwaitProgress(r.status, deadline, PW_TIMEOUT);
            if (error != PW_OK)
                return Fail(error);
        }
        return Succeed();
    }

    HRESULT Write(const void* buffer, ULONG length) override {
        std::lock_guard<std::mutex> io(ioMutex_);
        if (!channel_)
            return Fail(PW_NOT_OPEN);
        if (length == 0)
            return Succeed();
        if (!buffer)
            return Fail(PW_BAD_ARGUMENT, E_POINTER);
        if (peerClosed_)
            return Fail(PW_PEER_CLOSED);
        auto* in = static_cast<const std::uint8_t*>(buffer);
        std::size_t sent = 0;
        Clock::time_point deadline = Clock::now() + kWriteTimeout;
        while (sent < length) {
            portway::IoResult r = channel_->WriteSome(in + sent, length - sent);
            if (r.status == IoStatus::Done) {
                sent += r.count;
                deadline = Clock::now() + kWriteTimeout;
                continue;
            }
            PortwayErrorCode error = AwaitProgress(r.status, deadline, PW_IO_FAILED);
            if (error != PW_OK)
                return Fail(error);
        }
        answerAwaited_ = true;
        quiet_ = false;
        return Succeed();
    }

    HRESULT WriteVariantData(VARIANT) override { return E_NOTIMPL; }
    HRESULT ReadVariantData(VARIANT*, LONG) override { return E_NOTIMPL; }

    HRESULT get_ErrorCode(PortwayErrorCode* error) override {
        if (!error)
            return E_POINTER;
        *error = error_.load();
        return S_OK;
    }

    HRESULT SendVariantMessage(LONG, VARIANT) override { return E_NOTIMPL; }
    HRESULT ReceiveVariantMessage(LONG*, LONG*, VARIANT*, LONG) override { return E_NOTIMPL; }
    HRESULT AddMessageFilter(LONG, LONG) override { return S_OK; }
    HRESULT RemMessageFilter(LONG, LONG) override { return S_OK; }
    HRESULT RequireMessage(LONG, LONG) override { return S_OK; }
    HRESULT ReceiveVariantEvent(LONG*, LONG*, LONG*, VARIANT*, LONG) override { return E_NOTIMPL; }

    HRESULT PutProperty(SHORT id, VARIANT value) override {
        if (id != PORTWAY_PROP_TLS_PIN)
            return Fail(PW_BAD_ARGUMENT, E_INVALIDARG);
        std::lock_guard<std::mutex> io(ioMutex_);
        if (value.vt == VT_EMPTY || (value.vt == VT_BSTR && SysStringLen(value.bstrVal) == 0)) {
            pin_.reset();
            return Succeed();
        }
        if (value.vt != VT_BSTR)
            return Fail(PW_BAD_ARGUMENT, E_INVALIDARG);
        auto pin = portway::ParseFingerprint(Utf16ToUtf8(BstrView(value.bstrVal)));
        if (!pin)
            return Fail(PW_BAD_ARGUMENT, E_INVALIDARG);
        pin_ = pin;
        return Succeed();
    }

    HRESULT GetProperty(SHORT id, VARIANT* value) override {
        if (!value)
            return Fail(PW_BAD_ARGUMENT, E_POINTER);
        std::lock_guard<std::mutex> io(ioMutex_);
        if (id == PORTWAY_PROP_TLS_PIN)
            return BstrResult(pin_ ? HexText(*pin_) : std::u16string(), value);
        if (id == PORTWAY_PROP_OPEN_FAILURE)
            return BstrResult(Utf8ToUtf16(openFailure_), value);
        if (id == PORTWAY_PROP_LAST_FAILURE) {
            value->vt = VT_I4;
            value->lVal = lastFailure_.load();
            return Succeed();
        }
        if (id == PORTWAY_PROP_TLS_FINGERPRINT) {
            Fingerprint digest;
            if (!channel_ || !channel_->CertificateFingerprint(&digest))
                return Fail(PW_NO_CERTIFICATE);
            return BstrResult(HexText(digest), value);
        }
        if (id != PORTWAY_PROP_CERT_NOT_BEFORE && id != PORTWAY_PROP_CERT_NOT_AFTER)
            return Fail(PW_BAD_ARGUMENT, E_INVALIDARG);
        std::int64_t notBefore = 0;
        std::int64_t notAfter = 0;
        if (!channel_ || !channel_->CertificateDates(&notBefore, &notAfter))
            return Fail(PW_NO_CERTIFICATE);
        value->vt = VT_UI4;
        value->ulVal = ClampToU32(id == PORTWAY_PROP_CERT_NOT_BEFORE ? notBefore : notAfter);
        return Succeed();
    }

    HRESULT Flush() override {
        std::lock_guard<std::mutex> io(ioMutex_);
        if (!channel_)
            return Fail(PW_NOT_OPEN);
        return channel_->Drain() ? Succeed() : Fail(PW_IO_FAILED);
    }

private:
    ~Portway() {
        std::lock_guard<std::mutex> io(ioMutex_);
        CloseLink();
    }

    HRESULT Fail(PortwayErrorCode error, HRESULT hr = E_FAIL) {
        error_.store(error);
        lastFailure_.store(error);
        return hr;
    }

    HRESULT Succeed() {
        error_.store(PW_OK);
        return S_OK;
    }

    HRESULT BstrResult(const std::u16string& text, VARIANT* value) {
        BSTR b = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        if (!b)
            return Fail(PW_IO_FAILED, E_OUTOFMEMORY);
        value->vt = VT_BSTR;
        value->bstrVal = b;
        return Succeed();
    }

    std::shared_ptr<LinkLock> CurrentLock() {
        std::lock_guard<std::mutex> state(stateMutex_);
        return linkLock_;
    }

    // Called with ioMutex_ held.
    void CloseLink() {
        std::shared_ptr<LinkLock> lock;
        std::unique_ptr<Channel> channel;
        {
            std::lock_guard<std::mutex> state(stateMutex_);
            lock = std::move(linkLock_);
            channel = std::move(channel_);
        }
        if (lock)
            lock->ReleaseOwnedBy(this);
        peerClosed_ = false;
        answerAwaited_ = false;
        quiet_ = false;
        ahead_.Clear();
    }

    // The pin for a TLS open: the property, else the environment; false when the
    // environment holds no valid fingerprint.
    bool TlsPin(std::optional<Fingerprint>* pin) const {
        if (pin_) {
            *pin = pin_;
            return true;
        }
        const char* env = std::getenv("KELVO_TLS_FINGERPRINT");
        if (!env || !*env)
            return true;
        *pin = portway::ParseFingerprint(env);
        return pin->has_value();
    }

    // Waits for the direction a channel call asked for; PW_OK to try again.
    PortwayErrorCode AwaitProgress(IoStatus status, Clock::time_point deadline,
                                   PortwayErrorCode onTimeout) {
        switch (status) {
        case IoStatus::Closed:
            peerClosed_ = true;
            return PW_PEER_CLOSED;
        case IoStatus::Failed:
            return PW_IO_FAILED;
        case IoStatus::TimedOut:
            return onTimeout;
        case IoStatus::Done:
            return PW_OK;
        case IoStatus::WantRead:
        case IoStatus::WantWrite:
            break;
        }
        short events = status == IoStatus::WantWrite ? POLLOUT : POLLIN;
        WaitResult waited = portway::WaitFor(channel_->fd(), events, deadline);
        if (waited == WaitResult::TimedOut)
            return onTimeout;
        if (waited == WaitResult::Failed)
            return PW_IO_FAILED;
        return PW_OK;
    }

    std::atomic<ULONG> refs_{1};
    std::atomic<PortwayErrorCode> error_{PW_OK};
    std::atomic<PortwayErrorCode> lastFailure_{PW_OK}; // kept while later calls succeed
    // ioMutex_ serialises the link's operations; stateMutex_ guards the channel
    // and lock pointers for Lock/Unlock, which must not wait behind a Read.
    std::mutex ioMutex_;
    std::mutex stateMutex_;
    std::unique_ptr<Channel> channel_;
    std::shared_ptr<LinkLock> linkLock_;
    std::optional<Fingerprint> pin_;
    std::string openFailure_; // why the last Open failed; empty after a success
    bool peerClosed_ = false;
    // Set by a Write: the next Read waits before it tries the channel.
    bool answerAwaited_ = false;
    // Everything received was taken from the channel by a receive that found
    // no more, and no request went out since: Reset need not ask the socket.
    bool quiet_ = false;
    ReadAhead ahead_;
};

class PortwayFactory final : public IClassFactory {
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
        auto* object = new (std::nothrow) Portway;
        if (!object)
            return E_OUTOFMEMORY;
        HRESULT hr = object->QueryInterface(riid, ppv);
        object->Release();
        return hr;
    }

    HRESULT LockServer(BOOL) override { return S_OK; }
};

PortwayFactory g_factory;

} // namespace

IClassFactory* PortwayClassFactory() {
    return &g_factory;
}

void RegisterPortwayClass() {
    RegisterLinkedClass(PORTWAY_PROGID, CLSID_Portway, &g_factory);
}

} // namespace kelvo
