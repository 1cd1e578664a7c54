// Login and logout: the device's session for userName/password. Both run the
// numbered form of the exchange and return true or false; errorCode is written
// only on failure.
#include "device/kelvo_object.h"
#include "kelvo/trace.h"
#include "protocol/bytes.h"
#include "protocol/counted_text.h"

#include <cstring>

using namespace kelvo;

namespace {

constexpr std::uint16_t kLoginCommand = 0x3001;
constexpr std::uint16_t kLoginOk = 0x3010;
constexpr std::uint16_t kLoginError = 0x3011;
constexpr std::uint16_t kLogoutCommand = 0x3009;
constexpr std::uint16_t kLogoutOk = 0x3090;
constexpr std::uint16_t kLogoutError = 0x3091;

// Device codes of a session that is lost or taken: one Logout and one more
// Login repair it.
bool NeedsRelogin(std::uint32_t code) {
    return code == 0x15000001 || code == 0x1500000D || code == 0x1500000E || code == 0x1500000F;
}

} // namespace

bool CKelvo::Login(std::u16string_view user, std::u16string_view pass, bool allowRelogin) {
    static constexpr char16_t kPrefix[] = u"CKelvo::Login";
    Trace(TRACE_READ, u"CKelvo::Login (%s %s)", user, pass);
    auto fail = [this](int code) {
        errorCode = code;
        return false;
    };

    // Counted texts; the frame length byte (both lengths + 4) keeps its low
    // 8 bits.
    const std::string userBytes = CountedText(user);
    const std::string passBytes = CountedText(pass);
    FrameWriter payload(userBytes.size() + passBytes.size() + 2);
    payload.u8(static_cast<std::uint8_t>(userBytes.size()))
        .bytes({reinterpret_cast<const std::uint8_t*>(userBytes.data()), userBytes.size()})
        .u8(static_cast<std::uint8_t>(passBytes.size()))
        .bytes({reinterpret_cast<const std::uint8_t*>(passBytes.data()), passBytes.size()});
    const std::vector<std::uint8_t> frame = BuildRequest(kLoginCommand, payload.data());

    PortLock lock(portAdapter.get());
    AnswerSteps steps(*this, kPrefix);
    std::uint8_t header[7];
    if (int r = steps.Start(lock, frame, header))
        return fail(r);

    const std::uint16_t status = ldle_u16(header + 4);
    if (status == kLoginOk) {
        const std::size_t echoed = header[6];
        std::uint8_t name[255];
        if (int r = steps.Read({name, echoed}, 5))
            return fail(r);
        if (int r = steps.Crc(6, 7))
            return fail(r);
        if (echoed == userBytes.size() && std::memcmp(name, userBytes.data(), echoed) == 0)
            return true;
        Trace(TRACE_READ, u"CKelvo::Login fail 8 (data size received: %i, data size expected: %i)",
              static_cast<int>(echoed), static_cast<int>(userBytes.size()));
        return fail(KE_USER_ECHO);
    }
    if (status == kLoginError) {
        std::uint8_t code[4];
        if (int r = steps.Read(code, 9))
            return fail(r);
        deviceStatus = ldle_u32(code);
        if (int r = steps.Crc(10, 11))
            return fail(r);
        if (allowRelogin && NeedsRelogin(deviceStatus)) {
            lock.Release();
            if (!Logout())
                return false;
            return Login(user, pass, false);
        }
        Trace(TRACE_READ, u"CKelvo::Login fail 12 (error code: %i)",
              static_cast<int>(deviceStatus));
        return fail(KE_DEVICE);
    }
    Trace(TRACE_READ, u"CKelvo::Login fail 13 (unknown error: %i)", static_cast<int>(status));
    return fail(KE_STATUS);
}

bool CKelvo::Logout() {
    static constexpr char16_t kPrefix[] = u"CKelvo::Logout";
    TraceText(TRACE_READ, u"CKelvo::Logout ()");
    auto fail = [this](int code) {
        errorCode = code;
        return false;
    };
    const std::vector<std::uint8_t> frame = BuildRequest(kLogoutCommand, {});

    PortLock lock(portAdapter.get());
    AnswerSteps steps(*this, kPrefix);
    std::uint8_t header[7];
    if (int r =
            steps.Start(lock, frame, header, u"%s fail %i (reqest addr: %i, response addr: %i)"))
        return fail(r);

    const std::uint16_t status = ldle_u16(header + 4);
    if (status == kLogoutOk) {
        std::uint8_t data[255];
        if (int r = steps.Read({data, header[6]}, 5))
            return fail(r);
        if (int r = steps.Crc(6, 7))
            return fail(r);
        return true;
    }
    if (status == kLogoutError) {
        std::uint8_t code[4];
        if (int r = steps.Read(code, 8))
            return fail(r);
        deviceStatus = ldle_u32(code);
        if (int r = steps.Crc(9, 10))
            return fail(r);
        Trace(TRACE_READ, u"CKelvo::Logout fail 11 (%i)", static_cast<int>(deviceStatus));
        return fail(KE_DEVICE);
    }
    Trace(TRACE_READ, u"CKelvo::Logout fail 12 (%i)", static_cast<int>(status));
    return fail(KE_STATUS);
}
