// Parameter access: read and write one device parameter by index, sub-index
// and variant type, with one re-login when the device reports a lost login;
// the typed accessors on top of them.
//
// Both exchanges number their own steps and read a header of their own, so
// they run on AnswerSteps (Start: lock, send, echo, header, counter). Frames are built on the
// stack: a numeric read or write allocates nothing.
#include "device/kelvo_object.h"
#include "kelvo/trace.h"
#include "protocol/bytes.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

using namespace kelvo;

namespace {

constexpr char16_t kGetPrefix[] = u"CKelvo::get_Par";
constexpr char16_t kPutPrefix[] = u"CKelvo::put_Par";

constexpr std::uint16_t kReadEeprom = 0x0201;
constexpr std::uint16_t kReadRam = 0x0301;
constexpr std::uint16_t kWriteEeprom = 0x0202;
constexpr std::uint16_t kWriteRam = 0x0302;

// Device error code of an access that needs a login the device no longer has.
constexpr std::uint32_t kLoginRequired = 0x15000002;

constexpr std::size_t kReadHeader = 10;
constexpr std::size_t kWriteHeader = 6;
constexpr std::size_t kWriteFrameHead = 10;
constexpr std::size_t kMaxText = 255;

// The request head shared by read and write: node, counter, length of the
// rest, command, parameter index (low 16 bits), sub-index (low 8 bits).
void PutRequestHead(CKelvo& k, std::uint8_t* frame, std::uint8_t restLength, std::uint16_t command,
                    LONG ipa, LONG subI) {
    frame[0] = k.canNode;
    stle_u16(frame + 1, k.NextFrameCount());
    frame[3] = restLength;
    stle_u16(frame + 4, command);
    stle_u16(frame + 6, static_cast<std::uint16_t>(ipa));
    frame[8] = static_cast<std::uint8_t>(subI);
}

// After a device error: the single re-login when the device lost the login
// and both credentials are stored. True when the access may be repeated.
bool Relogin(CKelvo& k, bool allowRelogin) {
    if (!allowRelogin || k.deviceStatus != kLoginRequired)
        return false;
    if (k.userName.empty() || k.password.empty())
        return false;
    return k.Login(k.userName, k.password, true);
}

// ---- Read ----

// The value bytes as the requested type; a type of 0 is taken from the value
// length. The bytes come from a zero-filled buffer of 256, so shorter values
// read zero-extended and longer ones are cut.
int StoreValue(const std::uint8_t* value, std::uint8_t length, SHORT type, VARIANT* out) {
    VARTYPE vt = static_cast<VARTYPE>(type);
    if (type == VT_EMPTY) {
        switch (length) {
        case 2:
            vt = VT_I2;
            break;
        case 4:
            vt = VT_I4;
            break;
        case 8:
            vt = VT_I8;
            break;
        default:
            Trace(TRACE_READ, u"%s fail 13 (numbytes %i)", kGetPrefix, static_cast<int>(length));
            return KE_TYPE;
        }
    }
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    switch (vt) {
    case VT_I1:
        v.cVal = static_cast<char>(value[0]);
        break;
    case VT_UI1:
        v.bVal = value[0];
        break;
    case VT_I2:
        v.iVal = static_cast<SHORT>(ldle_u16(value));
        break;
    case VT_UI2:
        v.uiVal = ldle_u16(value);
        break;
    case VT_I4:
        v.lVal = static_cast<LONG>(ldle_u32(value));
        break;
    case VT_UI4:
        v.ulVal = ldle_u32(value);
        break;
    case VT_R4:
        v.fltVal = std::bit_cast<float>(ldle_u32(value));
        break;
    case VT_R8:
        v.dblVal = std::bit_cast<double>(ldle_u64(value));
        break;
    case VT_I8:
        v.llVal = static_cast<LONGLONG>(ldle_u64(value));
        break;
    case VT_UI8:
        v.ullVal = ldle_u64(value);
        break;
    case VT_BSTR: {
        const char* text = reinterpret_cast<const char*>(value);
        const std::size_t n = strnlen(text, length);
        // ASCII reads alike in every code page: widened straight into the
        // result, the one allocation of the read.
        if (std::all_of(value, value + n, [](std::uint8_t c) { return c < 0x80; })) {
            v.bstrVal = SysAllocStringLen(nullptr, static_cast<UINT>(n));
            if (v.bstrVal)
                std::copy(value, value + n, v.bstrVal);
            break;
        }
        const std::u16string wide = FromAnsi(std::string_view(text, n));
        v.bstrVal = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
        break;
    }
    default:
        Trace(TRACE_READ, u"%s fail 14 (type %i)", kGetPrefix, static_cast<int>(type));
        return KE_TYPE;
    }
    *out = v;
    return KE_OK;
}

// One read exchange; the result is stored only when the whole answer was
// verified. Returns the error code.
int ReadExchange(CKelvo& k, LONG ipa, LONG subI, SHORT type, VARIANT* out) {
    const std::uint16_t command = k.eepromAccess ? kReadEeprom : kReadRam;
    const std::uint16_t success = SuccessWord(command);
    std::uint8_t frame[9];
    PutRequestHead(k, frame, 5, command, ipa, subI);

    PortLock lock(k.portAdapter.get());
    AnswerSteps steps(k, kGetPrefix);
    std::uint8_t header[kReadHeader];
    if (int r = steps.Start(lock, frame, header))
        return r;

    const std::uint16_t status = ldle_u16(header + 4);
    if (status == success + 1) {
        std::uint8_t code[4];
        if (int r = steps.Read(code, 5))
            return r;
        k.deviceStatus = ldle_u32(code);
        if (int r = steps.Crc(6, 7))
            return r;
        Trace(TRACE_READ, u"%s fail 8 (%i)", kGetPrefix, static_cast<int>(k.deviceStatus));
        return KE_DEVICE;
    }
    if (status != success) {
        Trace(TRACE_READ, u"%s fail 9 (%i)", kGetPrefix, static_cast<int>(status));
        return KE_STATUS;
    }
    const std::uint8_t length = header[9];
    std::uint8_t value[256] = {};
    if (int r = steps.Read(std::span(value, length), 10))
        return r;
    if (int r = steps.Crc(11, 12))
        return r;
    return StoreValue(value, length, type, out);
}

HRESULT ReadParameter(CKelvo& k, LONG ipa, LONG subI, SHORT type, VARIANT* out, bool allowRelogin) {
    Trace(TRACE_READ, u"CKelvo::get_Par (ipa %i subidx %i type %i)", ipa, subI,
          static_cast<int>(type));
    const int r = ReadExchange(k, ipa, subI, type, out);
    if (r == KE_OK)
        return S_OK; // errorCode keeps the outcome of the last failure
    k.errorCode = r;
    if (r == KE_DEVICE && Relogin(k, allowRelogin))
        return ReadParameter(k, ipa, subI, type, out, false);
    return E_FAIL;
}

// ---- Write ----

bool InTypeTable(VARTYPE vt) {
    switch (vt) {
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_R4:
    case VT_R8:
    case VT_I8:
    case VT_UI8:
    case VT_BSTR:
        return true;
    default:
        return false;
    }
}

// Puts the value bytes of `value` at `out` (room for 255); returns their
// number, 0 for a type outside the table or an empty string.
std::size_t PackValue(const VARIANT& value, std::uint8_t* out) {
    switch (value.vt) {
    case VT_I1:
    case VT_UI1:
        out[0] = value.bVal;
        return 1;
    case VT_I2:
    case VT_UI2:
        stle_u16(out, value.uiVal);
        return 2;
    case VT_I4:
    case VT_UI4:
        stle_u32(out, value.ulVal);
        return 4;
    case VT_R4:
        stle_u32(out, std::bit_cast<std::uint32_t>(value.fltVal));
        return 4;
    case VT_R8:
        stle_u64(out, std::bit_cast<std::uint64_t>(value.dblVal));
        return 8;
    case VT_I8:
    case VT_UI8:
        stle_u64(out, value.ullVal);
        return 8;
    case VT_BSTR: {
        // The length is counted in characters; the bytes are the first ones of
        // the converted text (zeros when it came out shorter).
        const std::u16string_view text = BstrView(value.bstrVal);
        const std::size_t n = text.size();
        if (n == 0 || n > kMaxText)
            return 0;
        const std::string bytes = ToAnsi(text);
        const std::size_t copied = bytes.size() < n ? bytes.size() : n;
        std::memcpy(out, bytes.data(), copied);
        std::memset(out + copied, 0, n - copied);
        return n;
    }
    default:
        return 0;
    }
}

// One write exchange of a built frame. Returns the error code.
int WriteExchange(CKelvo& k, std::span<const std::uint8_t> frame, std::uint16_t command) {
    const std::uint16_t success = SuccessWord(command);
    PortLock lock(k.portAdapter.get());
    AnswerSteps steps(k, kPutPrefix);
    std::uint8_t header[kWriteHeader];
    if (int r = steps.Start(lock, frame, header))
        return r;

    const std::uint16_t status = ldle_u16(header + 4);
    if (status == success)
        return steps.Crc(5, 6);
    if (status != success + 1) {
        Trace(TRACE_READ, u"%s fail 11 (%i)", kPutPrefix, static_cast<int>(status));
        return KE_STATUS;
    }
    std::uint8_t answer[8];
    if (int r = steps.Read(answer, 7))
        return r;
    if (int r = steps.Crc(8, 9))
        return r;
    k.deviceStatus = ldle_u32(answer + 4);
    Trace(TRACE_READ, u"%s fail 10 (error code: %i)", kPutPrefix, static_cast<int>(k.deviceStatus));
    return KE_DEVICE;
}

HRESULT WriteParameter(CKelvo& k, LONG ipa, LONG subI, SHORT type, const VARIANT& value,
                       bool allowRelogin) {
    Trace(TRACE_READ, u"CKelvo::put_Par (ipa %i subidx %i type %i)", ipa, subI,
          static_cast<int>(type));
    Variant converted; // cleared on every way out
    const VARIANT* v = &value;
    if (type != VT_EMPTY && static_cast<VARTYPE>(type) != value.vt) {
        if (FAILED(VariantChangeType(&converted, &value, 0, static_cast<VARTYPE>(type))))
            return E_FAIL;
        v = &converted;
    } else if (type == VT_EMPTY) {
        if (!InTypeTable(value.vt))
            return k.Finish(KE_TYPE);
        type = static_cast<SHORT>(value.vt);
    }
    if (v->vt == VT_BSTR && SysStringLen(v->bstrVal) > kMaxText)
        return k.Finish(KE_LENGTH);
    if (ipa > 65535) {
        Trace(TRACE_READ, u"%s fail 7 (max ipa is 65535, used ipa is %i)", kPutPrefix, ipa);
        return k.Finish(KE_INDEX);
    }

    std::uint8_t frame[kWriteFrameHead + kMaxText];
    const std::size_t n = PackValue(*v, frame + kWriteFrameHead);
    if (n == 0)
        return k.Finish(KE_TYPE);
    const std::uint16_t command = k.eepromAccess ? kWriteEeprom : kWriteRam;
    PutRequestHead(k, frame, static_cast<std::uint8_t>(n + 6), command, ipa, subI);
    frame[9] = static_cast<std::uint8_t>(n);

    const int r = WriteExchange(k, std::span(frame, kWriteFrameHead + n), command);
    if (r == KE_OK)
        return S_OK; // errorCode keeps the outcome of the last failure
    k.errorCode = r;
    if (r == KE_DEVICE && Relogin(k, allowRelogin))
        return WriteParameter(k, ipa, subI, type, value, false);
    return E_FAIL;
}

} // namespace

HRESULT CKelvo::get_Par(LONG ipa, LONG subI, SHORT type, VARIANT* pVal) {
    if (!pVal)
        return E_POINTER;
    return ReadParameter(*this, ipa, subI, type, pVal, true);
}

HRESULT CKelvo::put_Par(LONG ipa, LONG subI, SHORT type, VARIANT newVal) {
    return WriteParameter(*this, ipa, subI, type, newVal, true);
}

// ---- Typed accessors: the object's own Par with a fixed type ----

namespace {

// Reads through the object's Par getter; `pick` takes the value out of the
// VARIANT. A failed read gives 0.
template <class T, class Pick>
HRESULT GetTyped(IDeviceLink& self, LONG ipa, LONG subI, VARTYPE type, T* pVal, Pick pick) {
    if (!pVal)
        return E_POINTER;
    Variant v;
    const HRESULT hr = self.get_Par(ipa, subI, static_cast<SHORT>(type), &v);
    *pVal = SUCCEEDED(hr) ? pick(v) : T{};
    return hr;
}

// Writes through the object's Par setter with a VARIANT already of the type.
template <class Fill>
HRESULT PutTyped(IDeviceLink& self, LONG ipa, LONG subI, VARTYPE type, Fill fill) {
    VARIANT v;
    VariantInit(&v);
    v.vt = type;
    fill(v);
    return self.put_Par(ipa, subI, static_cast<SHORT>(type), v);
}

} // namespace

HRESULT CKelvo::get_ParDWord(LONG ipa, LONG subI, LONG* pVal) {
    return GetTyped(*this, ipa, subI, VT_UI4, pVal,
                    [](const VARIANT& v) { return static_cast<LONG>(v.ulVal); });
}

HRESULT CKelvo::put_ParDWord(LONG ipa, LONG subI, LONG newVal) {
    return PutTyped(*this, ipa, subI, VT_UI4,
                    [newVal](VARIANT& v) { v.ulVal = static_cast<ULONG>(newVal); });
}

HRESULT CKelvo::get_ParFloat(LONG ipa, LONG subI, float* pVal) {
    return GetTyped(*this, ipa, subI, VT_R4, pVal, [](const VARIANT& v) { return v.fltVal; });
}

HRESULT CKelvo::put_ParFloat(LONG ipa, LONG subI, float newVal) {
    return PutTyped(*this, ipa, subI, VT_R4, [newVal](VARIANT& v) { v.fltVal = newVal; });
}

HRESULT CKelvo::get_ParInt(LONG ipa, LONG subI, SHORT* pVal) {
    return GetTyped(*this, ipa, subI, VT_I2, pVal, [](const VARIANT& v) { return v.iVal; });
}

HRESULT CKelvo::put_ParInt(LONG ipa, LONG subI, SHORT newVal) {
    return PutTyped(*this, ipa, subI, VT_I2, [newVal](VARIANT& v) { v.iVal = newVal; });
}

HRESULT CKelvo::get_ParWord(LONG ipa, LONG subI, LONG* pVal) {
    return GetTyped(*this, ipa, subI, VT_UI2, pVal,
                    [](const VARIANT& v) { return static_cast<LONG>(v.uiVal); });
}

HRESULT CKelvo::put_ParWord(LONG ipa, LONG subI, LONG newVal) {
    return PutTyped(*this, ipa, subI, VT_UI2,
                    [newVal](VARIANT& v) { v.uiVal = static_cast<USHORT>(newVal & 0xFFFF); });
}
