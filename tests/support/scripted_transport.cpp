#include "support/scripted_transport.h"

#include "kelvo/runtime.h"
#include "protocol/crc16.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kelvo::test {
namespace {

// Hands out the prepared instance once per Prepare().
class Factory final : public StaticClassFactory {
public:
    ScriptedTransport* next = nullptr;

    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (outer)
            return CLASS_E_NOAGGREGATION;
        if (!next)
            return E_FAIL;
        return next->QueryInterface(riid, ppv);
    }
};

Factory& TheFactory() {
    static Factory f;
    return f;
}

} // namespace

ScriptedTransport* ScriptedTransport::Prepare() {
    auto* t = new ScriptedTransport;
    TheFactory().next = t;
    RegisterLinkedClass(PORTWAY_PROGID, CLSID_Portway, &TheFactory());
    return t;
}

ScriptedTransport& ScriptedTransport::Answer(const Bytes& bytes) {
    std::lock_guard lock(mutex_);
    answers_.push_back({{bytes, false}});
    return *this;
}

ScriptedTransport& ScriptedTransport::AnswerThenTimeout(const Bytes& bytes) {
    std::lock_guard lock(mutex_);
    answers_.push_back({{bytes, false}, {{}, true}});
    return *this;
}

void ScriptedTransport::Deliver(const Bytes& bytes) {
    std::lock_guard lock(mutex_);
    input_.push_back({bytes, false});
}

void ScriptedTransport::SetProperty(SHORT id, ULONG value, VARTYPE vt) {
    properties_.push_back({id, value, vt});
}

int ScriptedTransport::Count(const std::string& call) const {
    return static_cast<int>(std::count_if(calls.begin(), calls.end(), [&](const std::string& c) {
        return c == call || c.rfind(call + " ", 0) == 0;
    }));
}

HRESULT ScriptedTransport::Open(BSTR connection) {
    std::lock_guard lock(mutex_);
    std::u16string text = connection ? std::u16string(connection) : std::u16string();
    openedWith = text;
    calls.push_back("Open");
    if (openError_ != PW_OK) {
        lastError_ = openError_;
        return E_FAIL;
    }
    return S_OK;
}

HRESULT ScriptedTransport::Close() {
    std::lock_guard lock(mutex_);
    calls.push_back("Close");
    return S_OK;
}

HRESULT ScriptedTransport::Reset() {
    std::lock_guard lock(mutex_);
    calls.push_back("Reset");
    input_.clear();
    return S_OK;
}

HRESULT ScriptedTransport::Lock() {
    std::lock_guard lock(mutex_);
    calls.push_back("Lock");
    if (failLock_) {
        failLock_ = false;
        lastError_ = PW_LOCK_FAILED;
        return E_FAIL;
    }
    ++lockDepth;
    return S_OK;
}

HRESULT ScriptedTransport::Unlock() {
    std::lock_guard lock(mutex_);
    calls.push_back("Unlock");
    lockDepth = 0;
    return S_OK;
}

HRESULT ScriptedTransport::Read(void* buffer, ULONG length, ULONG timeout) {
    std::lock_guard lock(mutex_);
    calls.push_back("Read " + std::to_string(length) + " " + std::to_string(timeout));
    auto* out = static_cast<std::uint8_t*>(buffer);
    ULONG got = 0;
    while (got < length && !input_.empty()) {
        Piece& front = input_.front();
        if (front.timeout) {
            input_.pop_front();
            break;
        }
        ULONG take = std::min<ULONG>(length - got, static_cast<ULONG>(front.bytes.size()));
        if (take > 0)
            std::memcpy(out + got, front.bytes.data(), take);
        front.bytes.erase(front.bytes.begin(), front.bytes.begin() + take);
        got += take;
        if (front.bytes.empty())
            input_.pop_front();
    }
    if (got == length)
        return S_OK;
    lastError_ = PW_TIMEOUT;
    return E_FAIL;
}

HRESULT ScriptedTransport::Write(const void* buffer, ULONG length) {
    std::lock_guard lock(mutex_);
    const auto* p = static_cast<const std::uint8_t*>(buffer);
    Bytes bytes(p, p + length);
    calls.push_back("Write " + Hex(bytes));
    if (failWrite_) {
        failWrite_ = false;
        lastError_ = PW_IO_FAILED;
        return E_FAIL;
    }
    writes.push_back(bytes);
    if (!answers_.empty()) {
        for (auto& piece : answers_.front())
            input_.push_back(std::move(piece));
        answers_.pop_front();
    }
    return S_OK;
}

HRESULT ScriptedTransport::get_ErrorCode(PortwayErrorCode* error) {
    std::lock_guard lock(mutex_);
    if (!error)
        return E_POINTER;
    *error = lastError_;
    return S_OK;
}

HRESULT ScriptedTransport::GetProperty(SHORT id, VARIANT* value) {
    std::lock_guard lock(mutex_);
    calls.push_back("GetProperty " + std::to_string(id));
    for (const auto& p : properties_) {
        if (p.id == id) {
            value->vt = p.vt;
            value->ulVal = p.value;
            return S_OK;
        }
    }
    return E_FAIL;
}

HRESULT ScriptedTransport::Flush() {
    std::lock_guard lock(mutex_);
    calls.push_back("Flush");
    return S_OK;
}

std::string Hex(const Bytes& bytes) {
    std::string s;
    char buf[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02x" : "%02x", bytes[i]);
        s += buf;
    }
    return s;
}

Bytes AnswerFrame(std::uint16_t counter, std::uint16_t status, const Bytes& data,
                  std::uint8_t node) {
    Bytes b(6 + data.size());
    b[0] = node;
    b[1] = static_cast<std::uint8_t>(counter);
    b[2] = static_cast<std::uint8_t>(counter >> 8);
    b[3] = static_cast<std::uint8_t>(2 + data.size());
    b[4] = static_cast<std::uint8_t>(status);
    b[5] = static_cast<std::uint8_t>(status >> 8);
    std::copy(data.begin(), data.end(), b.begin() + 6);
    return b;
}

Bytes SerialWrap(std::uint8_t address, const Bytes& bytes) {
    Bytes b(1 + bytes.size() + 2);
    b[0] = address;
    std::copy(bytes.begin(), bytes.end(), b.begin() + 1);
    const std::uint16_t crc = Crc16(b.data(), 1 + bytes.size(), kCrc16Start);
    b[1 + bytes.size()] = static_cast<std::uint8_t>(crc);
    b[2 + bytes.size()] = static_cast<std::uint8_t>(crc >> 8);
    return b;
}

} // namespace kelvo::test
