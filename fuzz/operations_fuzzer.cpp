// Every device operation of the object against a device that answers with
// the fuzzer's bytes.
//
// Input: operation, flags, flags2, argument length N, N argument bytes, then
// the device bytes (see FuzzTransport for the two ways of playing them).
//   flags:  1 serial link, 2 answers (else one stream), 4 frame counter
//           written into each answer, 8 serial envelope with a correct CRC,
//           16 RAM access, 32 user and password stored (re-login),
//           64 UTF-8 code page, 128 serial address 5 (else 255)
//   flags2: bits 0-1 the n-th write fails, bits 2-3 open error (none, 9, 10, 8),
//           bit 4 null out pointers, bits 5-7 the n-th lock fails
#include "fuzz_support.h"

#include "operations/password_encoding.h"
#include "protocol/bytes.h"
#include "protocol/crc16.h"

#include <bit>
#include <functional>

using namespace kelvo;
using namespace kelvo::fuzz;

namespace {

constexpr std::int32_t kStartCode = KE_TYPE; // errorCode before each operation
constexpr ULONG kSentinel = 0xA5A5A5A5;
constexpr std::uint8_t kGuard = 0xCD;

// How the result of an operation relates to errorCode.
enum class Kind {
    Device,  // S_OK with code 0, E_FAIL with a code; other results leave it
    Par,     // success leaves the code (or 1 after a re-login), E_FAIL stores one
    Local,   // no request, no lock, code untouched
    Session, // Init and Close: own results
};

struct Run {
    CKelvo& k;
    FuzzTransport& t;
    Input args;
    bool nullOut;
};

VARIANT SentinelVariant() {
    VARIANT v{};
    v.vt = VT_ERROR;
    v.scode = 0x5EA1;
    return v;
}

// A text argument: length byte, then that many bytes (widened), repeated to
// reach longer lengths when the high bit of the length asks for it.
std::u16string Text(Input& in) {
    const std::uint8_t n = in.u8();
    std::u16string text = Widen(in.bytes(n & 0x7F));
    if ((n & 0x80) && !text.empty())
        while (text.size() < 300)
            text += text;
    return text;
}

// A buffer with guard bytes behind its len bytes, null when the input asks
// for no buffer.
struct Guarded {
    Guarded(Run& r, std::size_t len) : bytes(len + 16, kGuard), len(len), none(r.nullOut) {}
    BYTE* data() { return none ? nullptr : bytes.data(); }
    // A read into the buffer writes nothing past it; a length above 200 or no
    // buffer is refused before anything is sent.
    HRESULT Check(Run& r, HRESULT hr) const {
        FUZZ_CHECK(std::count(bytes.begin() + static_cast<std::ptrdiff_t>(len), bytes.end(),
                              kGuard) == 16);
        if (len > 200 || none)
            FUZZ_CHECK(hr == E_FAIL && r.k.errorCode == KE_LENGTH && r.t.writes == 0);
        return hr;
    }
    std::vector<std::uint8_t> bytes;
    std::size_t len;
    bool none;
};

// ---------------------------------------------------------------- parameters

const SHORT kTypes[] = {VT_EMPTY, VT_I1, VT_UI1, VT_I2,  VT_UI2,  VT_I4,   VT_UI4,
                        VT_R4,    VT_R8, VT_I8,  VT_UI8, VT_BSTR, VT_BOOL, VT_DATE};

HRESULT GetPar(Run& r) {
    const SHORT type = kTypes[r.args.u8() % std::size(kTypes)];
    const LONG ipa = static_cast<LONG>(r.args.u32()), sub = static_cast<LONG>(r.args.u32());
    Out<VARIANT> v(r.nullOut, SentinelVariant());
    const HRESULT hr = v.Check(r.k.get_Par(ipa, sub, type, v.ptr()));
    FUZZ_CHECK(!v.none || hr == E_POINTER);
    const VARTYPE vt = v.written ? v.value.vt : type;
    FUZZ_CHECK(type == VT_EMPTY ? !v.written || vt == VT_I2 || vt == VT_I4 || vt == VT_I8
                                : vt == static_cast<VARTYPE>(type));
    if (v.written && vt == VT_BSTR)
        FUZZ_CHECK(v.value.bstrVal != nullptr && SysStringLen(v.value.bstrVal) <= 255);
    return hr;
}

// A value of one of the types, its bits from the arguments.
void FillValue(Input& in, VARIANT& v, Bstr& text) {
    VariantInit(&v);
    v.vt = static_cast<VARTYPE>(kTypes[in.u8() % std::size(kTypes)]);
    if (v.vt == VT_DATE) // the types of get_Par, a null for the date
        v.vt = VT_NULL;
    v.ullVal = in.u64();
    if (v.vt == VT_BOOL)
        v.boolVal = (v.ullVal & 1) ? VARIANT_TRUE : 0;
    if (v.vt != VT_BSTR)
        return;
    // 0 to 300 characters: the text given, repeated.
    const std::size_t length = in.u16() % 301;
    const std::u16string unit = Text(in);
    std::u16string value;
    while (value.size() < length)
        value += unit.empty() ? u"a" : unit;
    value.resize(length);
    text = Bstr(value);
    v.bstrVal = text.get();
}

HRESULT PutPar(Run& r) {
    const SHORT type = kTypes[r.args.u8() % std::size(kTypes)];
    const LONG ipa = static_cast<LONG>(r.args.u32()), sub = static_cast<LONG>(r.args.u32());
    VARIANT v;
    Bstr text;
    FillValue(r.args, v, text);
    return r.k.put_Par(ipa, sub, type, v); // the value still belongs to the caller
}

// A typed getter, its parameter from the arguments: a failed read gives 0.
template <class T> HRESULT TypedGet(Run& r, HRESULT (CKelvo::*get)(LONG, LONG, T*)) {
    const LONG ipa = r.args.u16(), sub = r.args.u8();
    T fill;
    std::memset(&fill, 0x5A, sizeof fill);
    Out<T> out(r.nullOut, fill, T{});
    return out.Check((r.k.*get)(ipa, sub, out.ptr()));
}

HRESULT TypedPar(Run& r) {
    const std::uint8_t which = r.args.u8() % 8;
    const LONG ipa = r.args.u16(), sub = r.args.u8();
    const std::uint32_t value = r.args.u32();
    const std::function<HRESULT()> calls[] = {
        [&] { return TypedGet<LONG>(r, &CKelvo::get_ParDWord); },
        [&] { return TypedGet<float>(r, &CKelvo::get_ParFloat); },
        [&] { return TypedGet<SHORT>(r, &CKelvo::get_ParInt); },
        [&] { return TypedGet<LONG>(r, &CKelvo::get_ParWord); },
        [&] { return r.k.put_ParDWord(ipa, sub, static_cast<LONG>(value)); },
        [&] { return r.k.put_ParFloat(ipa, sub, std::bit_cast<float>(value)); },
        [&] { return r.k.put_ParInt(ipa, sub, static_cast<SHORT>(value)); },
        [&] { return r.k.put_ParWord(ipa, sub, static_cast<LONG>(value)); },
    };
    return calls[which]();
}

// ---------------------------------------------------------------- commands

HRESULT Command(Run& r) {
    const std::function<HRESULT()> calls[] = {
        [&] { return r.k.Save_Command(); },
        [&] { return r.k.Reset_Command(); },
        [&] { return r.k.Restore_Command(static_cast<LONG>(r.args.u32())); },
        [&] { return r.k.DeleteErrorLog(); },
        [&] { return r.k.ResetError(r.args.u8()); },
    };
    return calls[r.args.u8() % 5]();
}

HRESULT ReadErrorLog(Run& r) {
    const USHORT index = r.args.u16();
    const std::uint8_t how = r.args.u8();
    // Descriptions of record versions 1 and 2 in the scratch folder.
    [[maybe_unused]] static const bool described = [] {
        std::ofstream(ScratchDir() + "/FPR_Version_00000001.xml")
            << "<?xml version=\"1.0\"?>\n<Record><Group name=\"g\">"
               "<Element><Offset>0</Offset><DataType>unsignedShort</DataType></Element>"
               "<Element><Offset>2</Offset><DataType>string 4</DataType></Element>"
               "<Element><Offset>0</Offset><DataType>double</DataType></Element>"
               "</Group></Record>\n";
        std::ofstream(ScratchDir() + "/FPR_Version_00000002.xml")
            << "<Record><Group><Element><Offset>-8</Offset><DataType>long</DataType>"
               "</Element><Element><DataType>char</DataType></Element></Group></Record>";
        return true;
    }();
    const std::string out = ScratchDir() + "/errorlog.xml";
    std::filesystem::remove(out);
    std::u16string parser = Utf8ToUtf16(ScratchDir());
    if (how & 1)
        parser.append(300, u'x'); // no description path fits
    Bstr file(Utf8ToUtf16((how & 2) ? ScratchDir() + "/no/such/folder/out.xml" : out));
    const HRESULT hr = r.k.ReadErrorLog(index, file.get(), Bstr(parser).get());
    // The decoded document exists exactly when the call succeeded.
    if (!(how & 2))
        FUZZ_CHECK(SUCCEEDED(hr) == std::filesystem::exists(out));
    return hr;
}

// ---------------------------------------------------------------- data exchange

// A data block's request type, type, index, subindex, offset and length.
struct Block {
    explicit Block(Input& in)
        : rt(in.u8()), type(in.u8()), idx(in.u16()), sub(in.u32()), offset(in.u32()), len(in.u8()) {
    }
    BYTE rt, type;
    USHORT idx;
    ULONG sub, offset, len;
};

HRESULT ReadDataBlock(Run& r) {
    const Block b(r.args);
    Guarded buf(r, b.len);
    return buf.Check(r, r.k.ReadDataBlock(b.rt, b.type, b.idx, b.sub, b.offset, b.len, buf.data()));
}

HRESULT WriteDataBlock(Run& r) {
    const Block b(r.args);
    std::vector<BYTE> data(b.len, 0x11);
    const auto given = r.args.bytes(b.len);
    std::copy(given.begin(), given.end(), data.begin());
    return r.k.WriteDataBlock(b.rt, b.type, b.idx, b.sub, b.offset, b.len,
                              r.nullOut ? nullptr : data.data());
}

HRESULT SafeDataWrite(Run& r) {
    // 40 bytes, a shorter count, lower bound 1, 16-bit elements, or no array.
    const std::uint8_t shape = r.args.u8();
    const auto bytes = r.args.bytes(40);
    SAFEARRAY* array = nullptr;
    if (shape % 5 < 4)
        array = SafeArrayCreateVector(shape % 5 == 3 ? VT_I2 : VT_UI1, shape % 5 == 2 ? 1 : 0,
                                      shape % 5 == 1 ? ULONG{shape} >> 2 : 40);
    if (array && array->cbElements == 1 && array->rgsabound[0].cElements >= bytes.size())
        std::copy(bytes.begin(), bytes.end(), static_cast<BYTE*>(array->pvData));
    const HRESULT hr = r.k.SafeDataWrite(array);
    SafeArrayDestroy(array);
    return hr;
}

HRESULT SafeDataRead(Run& r) {
    Out<SAFEARRAY*> out(r.nullOut, reinterpret_cast<SAFEARRAY*>(&r));
    const HRESULT hr = out.Check(r.k.SafeDataRead(out.ptr()));
    if (out.written)
        FUZZ_CHECK(out.value && SafeArrayGetDim(out.value) == 1 &&
                   out.value->rgsabound[0].cElements == 40);
    return hr;
}

HRESULT ReadSafeObject(Run& r) {
    const USHORT index = r.args.u16();
    const BYTE sub = r.args.u8();
    Out<ULONG> out(r.nullOut, kSentinel);
    return out.Check(r.k.ReadSafeObject(index, sub, out.ptr()));
}

HRESULT ReadSSCBuffer(Run& r) {
    const ULONG offset = r.args.u32();
    const BYTE len = r.args.u8();
    Guarded buf(r, len);
    return buf.Check(r, r.k.ReadSSCBuffer(offset, len, buf.data()));
}

HRESULT PushDataCommand(Run& r) {
    const BYTE stream = r.args.u8();
    const ULONG cmd = r.args.u32();
    VARIANT v;
    Bstr text;
    FillValue(r.args, v, text);
    Out<LONG> out(r.nullOut, static_cast<LONG>(kSentinel));
    const HRESULT hr = out.Check(r.k.PushDataCommand(stream, cmd, v, out.ptr()));
    FUZZ_CHECK(!out.written || (out.value >= 0 && out.value <= 255));
    return hr;
}

HRESULT ReadPushData(Run& r) {
    const ULONG size = r.args.u16() % 600;
    Guarded buf(r, size);
    USHORT len = 0xA5A5;
    const HRESULT hr = r.k.ReadPushData(buf.data(), size, &len);
    FUZZ_CHECK(std::count(buf.bytes.begin() + size, buf.bytes.end(), kGuard) == 16);
    FUZZ_CHECK(r.t.locks == 0 && r.t.writes == 0);
    if (!r.k.serialMode)
        FUZZ_CHECK(hr == E_NOTIMPL);
    FUZZ_CHECK(len == (hr == S_OK ? static_cast<USHORT>(size) : 0xA5A5));
    return hr;
}

// ---------------------------------------------------------------- users

// A text out value: on success a new text that `ok` (if given) accepts.
template <class Call>
HRESULT TextOut(Run& r, Call call, bool (*ok)(std::u16string_view) = nullptr) {
    Out<BSTR> out(r.nullOut, SentinelBstr());
    const HRESULT hr = out.Check(call(out.ptr()));
    FUZZ_CHECK(!out.written || !ok || ok(BstrView(out.value)));
    return hr;
}

// SetPermissionsAndRole: role, element count, element kinds.
HRESULT SetPermissions(Run& r, BSTR user) {
    const BYTE role = r.args.u8();
    const std::uint8_t count = r.args.u8() % 70;
    const std::uint8_t shape = r.args.u8();
    VARIANT permissions;
    VariantInit(&permissions);
    permissions.vt = (shape & 1) ? VT_ARRAY | VT_UI1 : VT_ARRAY | VT_VARIANT;
    permissions.parray =
        SafeArrayCreateVector((shape & 2) ? VT_UI1 : VT_VARIANT, (shape & 4) ? 1 : 0, count);
    if (permissions.parray && permissions.parray->cbElements == sizeof(VARIANT)) {
        auto* items = static_cast<VARIANT*>(permissions.parray->pvData);
        for (std::uint8_t i = 0; i < count; ++i) {
            const std::uint8_t e = r.args.u8();
            items[i].vt = (e & 1) ? VT_BOOL : VT_I4;
            items[i].boolVal = (e & 2) ? VARIANT_TRUE : 0;
        }
    }
    const HRESULT hr = r.k.SetPermissionsAndRole((shape & 8) ? nullptr : user, role, permissions);
    VariantClear(&permissions);
    return hr;
}

HRESULT GetPermissions(Run& r, BSTR user) {
    Out<VARIANT> v(r.nullOut, SentinelVariant());
    const HRESULT hr = v.Check(r.k.GetPermissionsAndRole(user, v.ptr()));
    if (v.written)
        FUZZ_CHECK(v.value.vt == (VT_ARRAY | VT_VARIANT) &&
                   v.value.parray->rgsabound[0].cElements == 65);
    return hr;
}

HRESULT UserOp(Run& r) {
    const std::uint8_t which = r.args.u8() % 7;
    Bstr a(Text(r.args));
    Bstr b(Text(r.args));
    const std::function<HRESULT()> calls[] = {
        [&] { return TextOut(r, [&](BSTR* out) { return r.k.GetAllUsers(out); }); },
        [&] { return r.k.ChangePasswordUser(a.get(), b.get()); },
        [&] { return r.k.ChangePasswordAdmin(a.get(), b.get()); },
        [&] { return r.k.CreateUser(a.get(), b.get()); },
        [&] { return r.k.DeleteUser(a.get()); },
        [&] { return GetPermissions(r, a.get()); },
        [&] { return SetPermissions(r, a.get()); },
    };
    return calls[which]();
}

HRESULT AdminOp(Run& r) {
    const auto key = [](std::u16string_view text) { return text.size() == 384; };
    const std::function<HRESULT()> calls[] = {
        [&] {
            return TextOut(
                r, [&](BSTR* out) { return r.k.GetBVAdminKey(out); }, key);
        },
        [&] { return r.k.ResetAdminPassword(Bstr(Text(r.args)).get()); },
        [&] {
            const LONG start = static_cast<LONG>(r.args.u32());
            return r.k.CreateCertificate(start, static_cast<LONG>(r.args.u32()));
        },
    };
    return calls[r.args.u8() % 3]();
}

// ---------------------------------------------------------------- ping, packet, certificate dates

HRESULT PingOp(Run& r) {
    const SHORT blink = static_cast<SHORT>(r.args.u16());
    const auto braced = [](std::u16string_view text) {
        return text.starts_with(u"{ ") && text.ends_with(u" }");
    };
    return TextOut(
        r, [&](BSTR* out) { return r.k.Ping(blink, out); }, braced);
}

// An array of bytes, or of variants: per element a kind and its value.
SAFEARRAY* PacketArray(Input& in, VARTYPE element, std::uint8_t count) {
    static const VARTYPE kItemTypes[] = {VT_UI1, VT_I4, VT_R8, VT_BSTR, VT_NULL};
    SAFEARRAY* array = SafeArrayCreateVector(element, 0, count);
    if (element == VT_UI1) {
        const auto b = in.bytes(count);
        std::copy(b.begin(), b.end(), static_cast<BYTE*>(array->pvData));
        return array;
    }
    auto* items = static_cast<VARIANT*>(array->pvData);
    for (std::uint8_t i = 0; i < count; ++i) {
        VARIANT& item = items[i];
        item.vt = kItemTypes[in.u8() % 5];
        if (item.vt == VT_UI1)
            item.bVal = in.u8();
        else if (item.vt == VT_I4)
            item.lVal = static_cast<LONG>(in.u32());
        else if (item.vt == VT_R8)
            item.dblVal = static_cast<double>(static_cast<std::int16_t>(in.u16())) / 4;
        else if (item.vt == VT_BSTR)
            item.bstrVal = Bstr(Text(in)).release();
    }
    return array;
}

HRESULT PacketOp(Run& r) {
    const SHORT cmd = static_cast<SHORT>(r.args.u16());
    const std::uint8_t shape = r.args.u8();
    const std::uint8_t count = r.args.u8() % 40;
    const LONG lenIn = static_cast<std::int16_t>(r.args.u16()) % 600;
    static const INT kResultTypes[] = {0, VT_ARRAY | VT_VARIANT, VT_ARRAY | VT_UI1, VT_I4};
    const INT resultType = kResultTypes[(shape >> 2) % std::size(kResultTypes)];

    // Bytes, variants, variants that claim to be bytes, or the number 5.
    VARIANT arrOut{};
    arrOut.vt = shape % 4 == 3 ? VT_I4 : shape % 4 == 1 ? VT_ARRAY | VT_VARIANT : VT_ARRAY | VT_UI1;
    arrOut.lVal = 5;
    if (shape % 4 < 2)
        arrOut.parray = PacketArray(r.args, shape % 4 ? VT_VARIANT : VT_UI1, count);
    else if (shape % 4 == 2)
        arrOut.parray = SafeArrayCreateVector(VT_VARIANT, 0, count);
    Out<VARIANT> in(r.nullOut, SentinelVariant());
    const HRESULT hr = in.Check(r.k.PacketVARIANT(cmd, arrOut, lenIn, resultType, in.ptr()));
    FUZZ_CHECK(hr == S_OK || hr == E_FAIL || hr == KELVO_E_CONVERSION);
    if (hr == S_OK)
        FUZZ_CHECK(in.written && (in.value.vt & VT_ARRAY) && in.value.parray &&
                   static_cast<LONG>(in.value.parray->rgsabound[0].cElements) == lenIn);
    VariantClear(&arrOut);
    return hr;
}

HRESULT CertificateDate(Run& r) {
    // Types whose clearing frees nothing: the value field is all that is read.
    static const VARTYPE kTypes[] = {VT_UI4, VT_I4, VT_UI2, VT_EMPTY, VT_I8, VT_BOOL};
    const std::uint8_t shape = r.args.u8();
    const ULONG value = r.args.u32();
    if (shape & 1)
        r.t.properties[PORTWAY_PROP_CERT_NOT_BEFORE] = {kTypes[r.args.u8() % std::size(kTypes)],
                                                        value};
    if (shape & 2)
        r.t.properties[PORTWAY_PROP_CERT_NOT_AFTER] = {VT_UI4, value};
    Out<ULONG> out(r.nullOut, kSentinel);
    const HRESULT hr = out.Check((shape & 4) ? r.k.get_SSLCertNotAfter(out.ptr())
                                             : r.k.get_SSLCertNotBefore(out.ptr()));
    FUZZ_CHECK(!out.written || out.value == value);
    r.t.properties.clear();
    return hr;
}

// ---------------------------------------------------------------- session

// Init with a device part carrying a user and password, then the login.
HRESULT InitOp(Run& r) {
    const std::u16string user = Text(r.args);
    const std::u16string password = Text(r.args);
    const std::u16string tls = (r.args.u8() & 1) ? u",SSL" : u"";
    const std::u16string text = u"Kelvo:1," + Utf8ToUtf16(std::to_string(r.args.u16())) + u",0," +
                                user + u"," + ScramblePassword(password) + u"#TCPIP:fuzz/1,5000" +
                                tls;
    const HRESULT hr = r.k.Init(Bstr(text).get());
    FUZZ_CHECK(hr == S_OK || hr == KELVO_E_OPEN || hr == KELVO_E_CONNECTION_TEXT);
    if (hr == S_OK)
        FUZZ_CHECK(r.k.active && r.k.portAdapter && r.k.tcpMode && !r.k.serialMode);
    if (hr == KELVO_E_OPEN)
        FUZZ_CHECK(!r.k.portAdapter);
    return hr;
}

HRESULT CloseOp(Run& r) {
    const HRESULT hr = r.k.Close();
    FUZZ_CHECK(hr == S_OK && !r.k.portAdapter);
    return hr;
}

struct Operation {
    HRESULT (*run)(Run&);
    Kind kind;
    bool counted = false; // counted texts or a long put_Par text: the frame length byte may wrap
};

// clang-format off
const Operation kOperations[] = {
    {GetPar, Kind::Par},            {PutPar, Kind::Par, true},      {TypedPar, Kind::Par},
    {Command, Kind::Device},        {ReadErrorLog, Kind::Device},   {ReadDataBlock, Kind::Device},
    {WriteDataBlock, Kind::Device}, {SafeDataWrite, Kind::Device},  {SafeDataRead, Kind::Device},
    {ReadSafeObject, Kind::Device}, {ReadSSCBuffer, Kind::Device},  {PushDataCommand, Kind::Device},
    {ReadPushData, Kind::Local},    {UserOp, Kind::Device, true},   {AdminOp, Kind::Device, true},
    {PingOp, Kind::Device},         {PacketOp, Kind::Local},        {CertificateDate, Kind::Local},
    {InitOp, Kind::Session, true},  {CloseOp, Kind::Session}};
// clang-format on

// Every request is well formed: the node, a frame counter below 1024 that
// moves on with every request, a length byte counting the rest of the frame
// modulo 256 (exactly but for a parameter write of 250 to 255 characters and
// counted texts, which wrap), and on a serial link the address and a correct
// CRC trailer.
void CheckRequests(const CKelvo& k, const FuzzTransport& t, bool mayWrap) {
    const std::size_t head = k.serialMode ? 1 : 0, tail = 2 * head;
    int previous = -1;
    for (const auto& w : t.written) {
        FUZZ_CHECK(w.size() >= head + 6 + tail);
        FUZZ_CHECK(w[head] == k.canNode);
        const std::size_t rest = w.size() - head - tail - 4;
        FUZZ_CHECK(w[head + 3] == rest || (mayWrap && w[head + 3] == rest % 256));
        const int counter = ldle_u16(&w[head + 1]);
        FUZZ_CHECK(counter < 1024 && counter != previous);
        previous = counter;
        if (k.serialMode) {
            FUZZ_CHECK(w[0] == k.address);
            FUZZ_CHECK(ldle_u16(&w[w.size() - 2]) == Crc16(w.data(), w.size() - 2, kCrc16Start));
        }
    }
}

void CheckResult(const Operation& op, HRESULT hr, const CKelvo& k, const FuzzTransport& t) {
    const bool pushRead = op.run == ReadPushData;
    FUZZ_CHECK(IsKnownResult(hr) || (pushRead && hr == KE_TIMEOUT));
    FUZZ_CHECK(IsErrorCode(k.errorCode) && t.lockDepth == 0);
    const bool kept = k.errorCode == kStartCode;
    if (op.kind == Kind::Local)
        FUZZ_CHECK(kept && (pushRead || (t.locks == 0 && t.writes == 0 && t.reads == 0)));
    if (op.kind == Kind::Par && SUCCEEDED(hr))
        FUZZ_CHECK(kept || k.errorCode == KE_DEVICE);
    if (op.kind != Kind::Device)
        return;
    if (hr == S_OK)
        FUZZ_CHECK(k.errorCode == KE_OK);
    else if (hr == E_FAIL) // a code of its own, or refused before anything was sent
        FUZZ_CHECK(k.errorCode != KE_OK && (!kept || t.writes == 0));
    else
        FUZZ_CHECK(kept && t.writes == 0);
}

} // namespace

void kelvo::fuzz::FuzzOne(Input& in) {
    const Operation& op = kOperations[in.u8() % std::size(kOperations)];
    const std::uint8_t flags = in.u8();
    const std::uint8_t flags2 = in.u8();
    const auto args = in.bytes(in.u8());

    const bool serial = flags & 1;
    CKelvo* k = ConnectedObject(serial, (flags & 128) ? 5 : 255, flags & 64);
    k->eepromAccess = !(flags & 16);
    if (flags & 32) {
        k->userName = u"fz";
        k->password = u"pw";
    }
    k->errorCode = kStartCode;

    FuzzTransport& t = FuzzTransport::Instance();
    static const PortwayErrorCode kOpenErrors[] = {PW_OK, PW_HOST_NOT_FOUND, PW_CONNECT_FAILED,
                                                   PW_IO_FAILED};
    t.Play(in.rest(), {.answers = (flags & 2) != 0,
                       .patchCounter = (flags & 4) != 0,
                       .serialWrap = serial && (flags & 8),
                       .failLockAt = flags2 >> 5,
                       .failWriteAt = flags2 & 3,
                       .openError = kOpenErrors[(flags2 >> 2) & 3]});

    Run run{*k, t, Input(args), (flags2 & 16) != 0};
    const HRESULT hr = op.run(run);
    CheckResult(op, hr, *k, t);
    CheckRequests(*k, t, op.counted);
    // A refused Init text leaves a new adapter that was never opened.
    const bool refused = op.run == InitOp && hr == KELVO_E_CONNECTION_TEXT;
    if (refused)
        FUZZ_CHECK(k->Save_Command() == E_FAIL && k->errorCode == KE_NO_PORT);
    ReleaseChecked(k, !refused);
}
