// Ping: blink request, the item answer and its rendering as JSON-like text.
#include "operations/ping.h"

#include "device/kelvo_object.h"
#include "kelvo/trace.h"
#include "protocol/bytes.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

using namespace kelvo;

namespace kelvo {
namespace {

// The first 8 bytes of a value, zero-filled when it is shorter.
std::array<std::uint8_t, 8> Fixed(std::span<const std::uint8_t> value) {
    std::array<std::uint8_t, 8> out{};
    std::copy_n(value.begin(), std::min(out.size(), value.size()), out.begin());
    return out;
}

// printf-style append; "%f" of a large double needs more than a line.
template <class... A> void AppendFormat(std::string& text, const char* format, A... args) {
    const int n = std::snprintf(nullptr, 0, format, args...);
    if (n <= 0)
        return;
    const std::size_t old = text.size();
    text.resize(old + static_cast<std::size_t>(n) + 1);
    std::snprintf(text.data() + old, static_cast<std::size_t>(n) + 1, format, args...);
    text.resize(old + static_cast<std::size_t>(n));
}

void AppendText(std::span<const std::uint8_t> value, std::string& text) {
    text.push_back('"');
    text.append(value.begin(), std::find(value.begin(), value.end(), std::uint8_t{0}));
    text.push_back('"');
}

} // namespace

bool RenderPingItem(std::uint8_t key, std::uint32_t type, std::span<const std::uint8_t> value,
                    std::string& text) {
    AppendFormat(text, "\"%u\":", unsigned{key});
    const auto b = Fixed(value);
    switch (type) {
    case 0x00000000:
    case 0xFFFF0100:
    case 0xFFFF0101:
        text += "\"?\"";
        return true;
    case 0x00000001:
        text += b[0] != 0 ? "true" : "false";
        return true;
    case 0x00010002:
        AppendFormat(text, "%i", int{static_cast<std::int8_t>(b[0])});
        return true;
    case 0x00020003:
        AppendFormat(text, "%i", int{static_cast<std::int16_t>(ldle_u16(b.data()))});
        return true;
    case 0x00030004:
    case 0x0008FFFF:
        AppendFormat(text, "%i", static_cast<int>(static_cast<std::int32_t>(ldle_u32(b.data()))));
        return true;
    case 0x00040005:
        AppendFormat(text, "%u", unsigned{b[0]});
        return true;
    case 0x00050006:
        AppendFormat(text, "%u", unsigned{ldle_u16(b.data())});
        return true;
    case 0x00060007:
        AppendFormat(text, "%u", static_cast<unsigned>(ldle_u32(b.data())));
        return true;
    case 0x00070009:
    case 0x0007FFFF:
    case 0xFFFFFFFF:
        AppendText(value, text);
        return true;
    case 0x00100015:
        AppendFormat(text, "%lli", static_cast<long long>(ldle_u64(b.data())));
        return true;
    case 0x0011001B:
        AppendFormat(text, "%llu", static_cast<unsigned long long>(ldle_u64(b.data())));
        return true;
    case 0x00120008: {
        float f;
        const std::uint32_t bits = ldle_u32(b.data());
        std::memcpy(&f, &bits, sizeof f);
        AppendFormat(text, "%f", static_cast<double>(f));
        return true;
    }
    case 0xFFFF0011: {
        double d;
        const std::uint64_t bits = ldle_u64(b.data());
        std::memcpy(&d, &bits, sizeof d);
        AppendFormat(text, "%f", d);
        return true;
    }
    default:
        text += "null";
        return false;
    }
}

} // namespace kelvo

HRESULT CKelvo::Ping(SHORT blinkTime, BSTR* result) {
    static constexpr char16_t kPrefix[] = u"CKelvo::Ping";
    TraceText(TRACE_READ, kPrefix);
    if (!result)
        return E_POINTER;
    std::uint8_t payload[2];
    stle_u16(payload, static_cast<std::uint16_t>(LimitBlinkTime(blinkTime)));

    std::string text;
    // Success: the item count in header byte 6, then each item's 6-byte header
    // (key, type code, value length) and its value.
    auto readItems = [&text](AnswerSteps& steps) -> int {
        const std::uint8_t count = steps.header[6];
        text = "{ ";
        for (unsigned i = 0; i < count; ++i) {
            std::uint8_t item[6];
            if (int r = steps.Read(item, 5))
                return r;
            std::uint8_t value[256];
            if (int r = steps.Read(std::span(value, item[5]), 8))
                return r;
            const std::uint32_t type = ldle_u32(item + 1);
            if (!RenderPingItem(item[0], type, std::span(value, item[5]), text))
                Trace(TRACE_READ, u"CKelvo::Ping fail 8: unknown datablock type %d %d",
                      static_cast<int>(item[0]), static_cast<int>(type));
            if (i + 1 < count)
                text += ", ";
        }
        text += " }";
        return KE_OK;
    };
    // Device error: header byte 6 is the length byte, the 32-bit code follows.
    auto readError = [this](AnswerSteps& steps) -> int {
        std::uint8_t code[4];
        if (int r = steps.Read(code, 11))
            return r;
        deviceStatus = ldle_u32(code);
        if (serialMode) {
            if (int r = CheckResponseCrc(steps.crc, kPrefix, 12))
                return r;
        }
        Trace(TRACE_READ, u"%s fail 14 (error code: %i)", kPrefix, static_cast<int>(deviceStatus));
        return KE_DEVICE;
    };
    // The text is handed over before the port is unlocked.
    auto commit = [&text, result] {
        const std::u16string wide = FromAnsi(text);
        *result = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    };

    Exchange x{};
    x.prefix = kPrefix;
    x.command = kPingCommand;
    x.payload = payload;
    x.headerLength = 7;
    x.successWord = kPingSuccess;
    x.errorWord = kPingError;
    x.crcStep = 9;
    x.readAnswer = readItems;
    x.readDeviceError = readError;
    x.commit = commit;
    x.unknownStatusFormat = u"%s fail 15 (unknown error: %i)";
    return Transact(x);
}
