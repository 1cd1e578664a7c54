// Device commands: save, reset, restore, axis error reset, error-log deletion.
#include "device/kelvo_object.h"
#include "kelvo/trace.h"
#include "protocol/bytes.h"

#include <algorithm>

using namespace kelvo;

namespace {

constexpr std::uint16_t kSaveCommand = 0x300E;
constexpr std::uint16_t kResetErrorCommand = 0x040C;
constexpr std::uint16_t kResetCommand = 0x0401;
constexpr std::uint16_t kRestoreCommand = 0x0402;
constexpr std::uint16_t kDeleteErrorLogCommand = 0x0403;

// The device error answer that starts with its length byte L, then L bytes of
// the code. The code has 4 bytes; a device sending another L is still read to
// the end so that the CRC trailer that follows lines up and covers every byte
// received, but only the first min(L, 4) bytes are kept, as a little-endian
// number (missing high bytes are 0). deviceStatus is stored at once, before
// any CRC check.
int ReadLengthPrefixedCode(AnswerSteps& steps, int lengthStep, int codeStep) {
    std::uint8_t length = 0;
    if (int r = steps.Read(std::span(&length, 1), lengthStep))
        return r;
    std::uint8_t code[255] = {};
    if (int r = steps.Read(std::span(code, length), codeStep))
        return r;
    std::uint8_t kept[4] = {};
    std::copy_n(code, std::min<std::size_t>(length, sizeof kept), kept);
    steps.object().deviceStatus = ldle_u32(kept);
    return KE_OK;
}

// The command exchange of reset, restore and error-log deletion: every step
// numbered by the operation itself. After the error word the device sends the
// 32-bit code, preceded by its length byte for the log deletion.
struct DeviceCommand {
    const char16_t* prefix;
    std::uint16_t command;
    std::span<const std::uint8_t> payload;
    std::size_t headerLength;     // 7 for reset and restore, 6 for the log deletion
    bool lengthByte;              // the error answer starts with a length byte
    const char16_t* statusFormat; // trace of a status word of neither kind
};

HRESULT RunDeviceCommand(CKelvo& k, const DeviceCommand& c) {
    const std::vector<std::uint8_t> frame = k.BuildRequest(c.command, c.payload);
    PortLock lock(k.portAdapter.get());
    AnswerSteps steps(k, c.prefix);
    std::uint8_t header[7] = {};
    if (int r = steps.Start(lock, frame, std::span(header, c.headerLength)))
        return k.Finish(r);

    const std::uint16_t success = SuccessWord(c.command);
    const std::uint16_t status = ldle_u16(header + 4);
    if (status == success)
        return k.Finish(steps.Crc(5, 6));
    if (status != success + 1) {
        Trace(TRACE_READ, c.statusFormat, c.prefix, static_cast<int>(status));
        return k.Finish(KE_STATUS);
    }

    // Device error: the steps go on from 7, one more for the length byte.
    int step = 7;
    if (c.lengthByte) {
        if (int r = ReadLengthPrefixedCode(steps, step, step + 1))
            return k.Finish(r);
        step += 2;
    } else {
        std::uint8_t code[4];
        if (int r = steps.Read(code, step))
            return k.Finish(r);
        k.deviceStatus = ldle_u32(code);
        step += 1;
    }
    if (int r = steps.Crc(step, step + 1))
        return k.Finish(r);
    Trace(TRACE_READ, u"%s fail %i (error code: %i)", c.prefix, step + 2,
          static_cast<int>(k.deviceStatus));
    return k.Finish(KE_DEVICE);
}

} // namespace

HRESULT CKelvo::Save_Command() {
    static constexpr char16_t kPrefix[] = u"CKelvo::Save_Command";
    TraceText(TRACE_READ, kPrefix);
    Exchange x{};
    x.prefix = kPrefix;
    x.command = kSaveCommand;
    x.headerLength = 6;
    x.successWord = SuccessWord(kSaveCommand);
    x.errorWord = static_cast<std::uint16_t>(x.successWord + 1);
    x.crcStep = 7;
    return Transact(x);
}

HRESULT CKelvo::ResetError(BYTE axisNum) {
    static constexpr char16_t kPrefix[] = u"CKelvo::ResetError";
    Trace(TRACE_READ, u"CKelvo::ResetError %i", static_cast<int>(axisNum));
    const std::uint8_t payload[] = {axisNum};
    auto deviceError = [this](AnswerSteps& steps) -> int {
        if (int r = ReadLengthPrefixedCode(steps, 7, 8))
            return r;
        if (serialMode) {
            if (int r = CheckResponseCrc(steps.crc, kPrefix, 9))
                return r;
        }
        Trace(TRACE_READ, u"%s fail 11 (error code: %i)", kPrefix, static_cast<int>(deviceStatus));
        return KE_DEVICE;
    };
    Exchange x{};
    x.prefix = kPrefix;
    x.command = kResetErrorCommand;
    x.payload = payload;
    x.headerLength = 6;
    x.successWord = SuccessWord(kResetErrorCommand);
    x.errorWord = static_cast<std::uint16_t>(x.successWord + 1);
    x.crcStep = 5;
    x.readDeviceError = deviceError;
    return Transact(x);
}

HRESULT CKelvo::Reset_Command() {
    static constexpr char16_t kPrefix[] = u"CKelvo::Reset_Command";
    TraceText(TRACE_READ, kPrefix);
    return RunDeviceCommand(*this, {kPrefix, kResetCommand, {}, 7, false, u"%s fail (%i)"});
}

HRESULT CKelvo::Restore_Command(LONG filter) {
    static constexpr char16_t kPrefix[] = u"CKelvo::Restore_Command";
    TraceText(TRACE_READ, kPrefix);
    std::uint8_t payload[2];
    stle_u16(payload, static_cast<std::uint16_t>(filter));
    return RunDeviceCommand(*this,
                            {kPrefix, kRestoreCommand, payload, 7, false, u"%s fail 11 (%i)"});
}

HRESULT CKelvo::DeleteErrorLog() {
    TraceText(TRACE_READ, u"CKelvo::DeleteErroLog");
    return RunDeviceCommand(
        *this,
        {u"CKelvo::DeleteErrorLog", kDeleteErrorLogCommand, {}, 6, true, u"%s fail 12 (%i)"});
}
