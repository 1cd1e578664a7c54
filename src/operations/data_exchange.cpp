// Data blocks, safety data, safety objects and the SSC buffer: one request and
// one answer each, through the standard transaction. The bytes are passed
// through as they are; only sizes, framing and CRC are checked.
#include "device/kelvo_object.h"
#include "kelvo/trace.h"
#include "protocol/bytes.h"

#include <cstring>

using namespace kelvo;

namespace {

constexpr std::uint16_t kSscReadCommand = 0x1001;
constexpr std::uint16_t kBlockReadCommand = 0x1003;
constexpr std::uint16_t kBlockWriteCommand = 0x1004;
constexpr std::uint16_t kSafeWriteCommand = 0x5001;
constexpr std::uint16_t kSafeReadCommand = 0x5002;
constexpr std::uint16_t kSafeObjectCommand = 0x5003;

// The block write reports a device error with this word, not with its success
// word + 1 as every other command does.
constexpr std::uint16_t kBlockWriteErrorWord = 0x0221;

// Most bytes one block read or SSC buffer read may ask for.
constexpr std::uint32_t kMaxReadLength = 200;
// The length byte of a block write counts command, address and data: 18 + len.
// A longer write would go out with a length byte that wrapped and so lied
// about the frame's size; it is refused before anything is sent.
constexpr std::uint32_t kMaxWriteLength = 255 - 18;

constexpr std::size_t kSafeDataSize = 40;
// The safety object answer: 14 header bytes, the value in bytes 10-13.
constexpr std::size_t kSafeObjectHeader = 14;
constexpr std::size_t kSafeObjectValue = 10;

// An exchange whose status words follow the usual rule.
Exchange StandardExchange(const char16_t* prefix, std::uint16_t command,
                          std::span<const std::uint8_t> payload, int crcStep) {
    Exchange x{};
    x.prefix = prefix;
    x.command = command;
    x.payload = payload;
    x.successWord = SuccessWord(command);
    x.errorWord = static_cast<std::uint16_t>(x.successWord + 1);
    x.crcStep = crcStep;
    return x;
}

// rtNum, dbType, dbIdx, dbSubIdx, byteOffset, len: the address of a block range.
FrameWriter BlockRange(BYTE rtNum, BYTE dbType, USHORT dbIdx, ULONG dbSubIdx, ULONG byteOffset,
                       ULONG len) {
    FrameWriter w(16 + len);
    w.u8(rtNum).u8(dbType).u16(dbIdx).u32(dbSubIdx).u32(byteOffset).u32(len);
    return w;
}

// Owns a SAFEARRAY until it is handed over.
class ArrayOwner {
public:
    explicit ArrayOwner(SAFEARRAY* array) : array_(array) {}
    ~ArrayOwner() { SafeArrayDestroy(array_); }
    ArrayOwner(const ArrayOwner&) = delete;
    ArrayOwner& operator=(const ArrayOwner&) = delete;
    SAFEARRAY* get() const { return array_; }
    SAFEARRAY* release() {
        SAFEARRAY* a = array_;
        array_ = nullptr;
        return a;
    }

private:
    SAFEARRAY* array_;
};

// The 40 bytes of a safety data array, examined in this order: present and of
// bytes (else E_INVALIDARG), one dimension of 40 elements (else E_FAIL: a
// length error), lower bound 0 (else E_INVALIDARG).
HRESULT SafeDataBytes(SAFEARRAY* data, std::uint8_t (&out)[kSafeDataSize]) {
    VARTYPE vt = VT_EMPTY;
    if (!data || FAILED(SafeArrayGetVartype(data, &vt)) || vt != VT_UI1 ||
        SafeArrayGetElemsize(data) != 1)
        return E_INVALIDARG;
    if (SafeArrayGetDim(data) != 1 || data->rgsabound[0].cElements != kSafeDataSize)
        return E_FAIL;
    LONG lower = 0;
    if (FAILED(SafeArrayGetLBound(data, 1, &lower)) || lower != 0)
        return E_INVALIDARG;
    void* bytes = nullptr;
    if (HRESULT hr = SafeArrayAccessData(data, &bytes); FAILED(hr))
        return hr;
    std::memcpy(out, bytes, kSafeDataSize);
    SafeArrayUnaccessData(data);
    return S_OK;
}

} // namespace

HRESULT CKelvo::ReadDataBlock(BYTE rtNum, BYTE dbType, USHORT dbIdx, ULONG dbSubIdx,
                              ULONG byteOffset, ULONG len, BYTE* buf) {
    static constexpr char16_t kPrefix[] = u"CKelvo::ReadDataBlock";
    Trace(TRACE_READ, u"CKelvo::ReadDataBlock %u %u %u %u %u %u", rtNum, dbType, dbIdx, dbSubIdx,
          byteOffset, len);
    if (len > kMaxReadLength || !buf)
        return Finish(KE_LENGTH);

    FrameWriter payload = BlockRange(rtNum, dbType, dbIdx, dbSubIdx, byteOffset, len);
    // The announced length must match before any byte reaches buf.
    auto answer = [buf, len](AnswerSteps& steps) -> int {
        std::uint8_t announced[4];
        if (int r = steps.Read(announced, 5))
            return r;
        if (int r = steps.Length(ldle_u32(announced), len, 6))
            return r;
        return steps.Read(std::span(buf, len), 7);
    };
    Exchange x = StandardExchange(kPrefix, kBlockReadCommand, payload.data(), 8);
    x.readAnswer = answer;
    return Transact(x);
}

HRESULT CKelvo::WriteDataBlock(BYTE rtNum, BYTE dbType, USHORT dbIdx, ULONG dbSubIdx,
                               ULONG byteOffset, ULONG len, BYTE* buf) {
    static constexpr char16_t kPrefix[] = u"CKelvo::WriteDataBlock";
    Trace(TRACE_READ, u"CKelvo::WriteDataBlock %u %u %u %u %u %u", rtNum, dbType, dbIdx, dbSubIdx,
          byteOffset, len);
    // Refused without a frame: too long for the length byte, or no data.
    if (len > kMaxWriteLength || (!buf && len > 0))
        return Finish(KE_LENGTH);

    FrameWriter payload = BlockRange(rtNum, dbType, dbIdx, dbSubIdx, byteOffset, len);
    if (len > 0)
        payload.bytes(std::span<const std::uint8_t>(buf, len));
    Exchange x = StandardExchange(kPrefix, kBlockWriteCommand, payload.data(), 7);
    x.errorWord = kBlockWriteErrorWord;
    return Transact(x);
}

HRESULT CKelvo::SafeDataWrite(SAFEARRAY* data) {
    static constexpr char16_t kPrefix[] = u"CKelvo::SafeDataWrite";
    TraceText(TRACE_READ, kPrefix);
    std::uint8_t bytes[kSafeDataSize];
    if (HRESULT hr = SafeDataBytes(data, bytes); FAILED(hr)) {
        // The request was already started: a refused array uses up its counter.
        NextFrameCount();
        return hr == E_FAIL ? Finish(KE_LENGTH) : hr;
    }
    return Transact(StandardExchange(kPrefix, kSafeWriteCommand, bytes, 7));
}

HRESULT CKelvo::SafeDataRead(SAFEARRAY** result) {
    static constexpr char16_t kPrefix[] = u"CKelvo::SafeDataRead";
    TraceText(TRACE_READ, kPrefix);
    if (!result)
        return E_POINTER;
    ArrayOwner array(SafeArrayCreateVector(VT_UI1, 0, kSafeDataSize));
    if (!array.get())
        return E_OUTOFMEMORY;

    auto answer = [&array](AnswerSteps& steps) -> int {
        void* bytes = nullptr;
        SafeArrayAccessData(array.get(), &bytes);
        const int r = steps.Read(std::span(static_cast<std::uint8_t*>(bytes), kSafeDataSize), 7);
        SafeArrayUnaccessData(array.get());
        return r;
    };
    auto handOver = [&array, result] { *result = array.release(); };
    Exchange x = StandardExchange(kPrefix, kSafeReadCommand, {}, 8);
    x.readAnswer = answer;
    x.commit = handOver;
    return Transact(x);
}

HRESULT CKelvo::ReadSafeObject(USHORT index, BYTE subindex, ULONG* result) {
    static constexpr char16_t kPrefix[] = u"CKelvo::ReadSafeObject";
    TraceText(TRACE_READ, kPrefix);
    if (!result)
        return E_POINTER;

    std::uint8_t payload[3];
    stle_u16(payload, index);
    payload[2] = subindex;
    ULONG value = 0;
    // Everything came with the 14-byte header; bytes 6-9 are not examined.
    auto answer = [&value](AnswerSteps& steps) -> int {
        value = ldle_u32(&steps.header[kSafeObjectValue]);
        return KE_OK;
    };
    auto store = [&value, result] { *result = value; };
    Exchange x = StandardExchange(kPrefix, kSafeObjectCommand, payload, 8);
    x.headerLength = kSafeObjectHeader;
    x.readAnswer = answer;
    x.commit = store;
    return Transact(x);
}

HRESULT CKelvo::ReadSSCBuffer(ULONG offset, BYTE len, BYTE* buf) {
    static constexpr char16_t kPrefix[] = u"CKelvo::ReadSSCBuffer";
    Trace(TRACE_READ, u"CKelvo::ReadSSCBuffer %d %d %p", static_cast<std::int32_t>(offset),
          static_cast<int>(len), buf);
    if (len > kMaxReadLength || !buf)
        return Finish(KE_LENGTH);

    std::uint8_t payload[5];
    stle_u32(payload, offset);
    payload[4] = len;
    auto answer = [buf, len](AnswerSteps& steps) -> int {
        std::uint8_t announced = 0;
        if (int r = steps.Read(std::span(&announced, 1), 5))
            return r;
        if (int r = steps.Length(announced, len, 6))
            return r;
        return steps.Read(std::span(buf, len), 7);
    };
    Exchange x = StandardExchange(kPrefix, kSscReadCommand, payload, 8);
    x.readAnswer = answer;
    return Transact(x);
}
