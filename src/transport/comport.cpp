#include "kelvo/comport.h"

#include "kelvo/runtime.h"

#include <cstring>

namespace {
int Ok(HRESULT hr) {
    return SUCCEEDED(hr) ? 1 : 0;
}
} // namespace

CComPort::CComPort() : transport_(nullptr) {}

CComPort::~CComPort() {
    close();
}

CComPort& CComPort::operator=(const CComPort& other) {
    transport_ = other.transport_;
    return *this;
}

int CComPort::open(const char16_t* connection, PortwayErrorCode* error) {
    if (transport_)
        close();
    CLSID clsid;
    if (FAILED(CLSIDFromProgID(PORTWAY_PROGID, &clsid)))
        return 0;
    void* created = nullptr;
    if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IPortway, &created)) || !created)
        return 0;
    transport_ = static_cast<IPortway*>(created);
    kelvo::Bstr text(connection ? std::u16string_view(connection) : std::u16string_view());
    if (SUCCEEDED(transport_->Open(text.get())))
        return 1;
    if (error)
        transport_->get_ErrorCode(error);
    transport_->Release();
    transport_ = nullptr;
    return 0;
}

void CComPort::close() {
    if (!transport_)
        return;
    transport_->Close();
    transport_->Release();
    transport_ = nullptr;
}

int CComPort::lock(unsigned long) {
    return transport_ ? Ok(transport_->Lock()) : 0;
}

void CComPort::unlock() {
    if (transport_)
        transport_->Unlock();
}

int CComPort::put(unsigned char b) {
    return transport_ ? Ok(transport_->Write(&b, 1)) : 0;
}

int CComPort::put(unsigned char* buf, unsigned long len) {
    return transport_ ? Ok(transport_->Write(buf, static_cast<ULONG>(len))) : 0;
}

unsigned char CComPort::get() {
    return 0;
}

int CComPort::get(unsigned char* buf) {
    return transport_ ? Ok(transport_->Read(buf, 1, 1000)) : 0;
}

int CComPort::get(unsigned char* buf, unsigned short timeout, unsigned long len) {
    return transport_ ? Ok(transport_->Read(buf, static_cast<ULONG>(len), timeout)) : 0;
}

int CComPort::flush() {
    return transport_ ? Ok(transport_->Flush()) : 0;
}

void CComPort::reset() {
    if (transport_)
        transport_->Reset();
}

int CComPort::Reset() {
    return transport_ ? Ok(transport_->Reset()) : 0;
}

void CComPort::sbreak() {}

int CComPort::ReadData(short* buf, LONG len, short timeout) {
    return transport_
               ? Ok(transport_->Read(buf, static_cast<ULONG>(len), static_cast<ULONG>(timeout)))
               : 0;
}

int CComPort::WriteData(short* buf, LONG len) {
    return transport_ ? Ok(transport_->Write(buf, static_cast<ULONG>(len))) : 0;
}

int CComPort::ReadVariantData(VARIANT* data, LONG arg) {
    return transport_ ? Ok(transport_->ReadVariantData(data, arg)) : 0;
}

int CComPort::WriteVariantData(VARIANT data) {
    return transport_ ? Ok(transport_->WriteVariantData(data)) : 0;
}

int CComPort::SendVariantMessage(LONG id, VARIANT msg) {
    return transport_ ? Ok(transport_->SendVariantMessage(id, msg)) : 0;
}

int CComPort::ReceiveVariantMessage(LONG* id, LONG* len, VARIANT* msg, LONG timeout) {
    return transport_ ? Ok(transport_->ReceiveVariantMessage(id, len, msg, timeout)) : 0;
}

int CComPort::ReceiveVariantEvent(LONG* a, LONG* b, LONG* c, VARIANT* v, LONG timeout) {
    return transport_ ? Ok(transport_->ReceiveVariantEvent(a, b, c, v, timeout)) : 0;
}

int CComPort::WriteMsg(ULONG id, unsigned char* buf, int len) {
    if (!transport_)
        return 0;
    PortwayMessageBuffer message{len, buf};
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BYREF;
    v.byref = &message;
    return Ok(transport_->SendVariantMessage(static_cast<LONG>(id), v));
}

int CComPort::ReadMsg(ULONG* id, unsigned char* buf, ULONG* len, unsigned short timeout) {
    if (!transport_)
        return 0;
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BYREF;
    LONG messageId = id ? static_cast<LONG>(*id) : 0;
    LONG length = len ? static_cast<LONG>(*len) : 0;
    if (FAILED(transport_->ReceiveVariantMessage(&messageId, &length, &v, timeout)))
        return 0;
    if (id)
        *id = static_cast<ULONG>(messageId);
    if (len)
        *len = static_cast<ULONG>(length);
    if (buf && length >= 0 && v.byref)
        std::memcpy(buf, v.byref, static_cast<std::size_t>(length));
    return 1;
}

int CComPort::AddMessageFilter(LONG a, LONG b) {
    return transport_ ? Ok(transport_->AddMessageFilter(a, b)) : 0;
}

int CComPort::RemMessageFilter(LONG a, LONG b) {
    return transport_ ? Ok(transport_->RemMessageFilter(a, b)) : 0;
}

int CComPort::RequireMessage(LONG a, LONG b) {
    return transport_ ? Ok(transport_->RequireMessage(a, b)) : 0;
}

int CComPort::GetProperty(short id, VARIANT* value) {
    return transport_ ? Ok(transport_->GetProperty(id, value)) : 0;
}

int CComPort::PutProperty(short id, VARIANT value) {
    return transport_ ? Ok(transport_->PutProperty(id, value)) : 0;
}

int CComPort::get_ErrorCode(PortwayErrorCode* error) {
    return transport_ ? Ok(transport_->get_ErrorCode(error)) : 0;
}
