// Push data: stream commands and the streamed bytes of a serial link.
#include "device/kelvo_object.h"
#include "kelvo/trace.h"
#include "protocol/bytes.h"

using namespace kelvo;

namespace {

constexpr std::uint16_t kPushCommand = 0x1002;

// The value field goes out for 16/32-bit integers whose low 16 bits are
// neither 0 nor 0x4347.
bool ValueField(const VARIANT& val, std::uint16_t& value) {
    switch (val.vt) {
    case VT_I2:
    case VT_UI2:
        value = val.uiVal;
        break;
    case VT_I4:
    case VT_UI4:
        value = static_cast<std::uint16_t>(val.ulVal);
        break;
    default:
        return false;
    }
    return value != 0 && value != 0x4347;
}

} // namespace

HRESULT CKelvo::PushDataCommand(BYTE streamID, ULONG cmd, VARIANT val, LONG* result) {
    static constexpr char16_t kPrefix[] = u"CKelvo::PushDataCommand";
    Trace(TRACE_READ, u"CKelvo::PushDataCommand %u %u", static_cast<unsigned>(streamID), cmd);
    FrameWriter payload(4);
    payload.u8(streamID).u8(static_cast<std::uint8_t>(cmd));
    std::uint16_t value = 0;
    if (ValueField(val, value))
        payload.u16(value);

    std::uint8_t resultByte = 0;
    Exchange x{};
    x.prefix = kPrefix;
    x.command = kPushCommand;
    x.payload = payload.data();
    x.headerLength = 7;
    x.successWord = SuccessWord(kPushCommand);
    x.errorWord = static_cast<std::uint16_t>(x.successWord + 1);
    x.serialWithoutAnswer = true;
    auto readResult = [&](AnswerSteps& steps) {
        resultByte = steps.header[6];
        return static_cast<int>(KE_OK);
    };
    auto store = [&] {
        if (result)
            *result = resultByte;
    };
    x.readAnswer = readResult;
    x.commit = store;
    return Transact(x);
}

HRESULT CKelvo::ReadPushData(BYTE* buf, ULONG bufsize, USHORT* len) {
    Trace(TRACE_READ, u"CKelvo::ReadPushData %p %d", static_cast<const void*>(buf),
          static_cast<int>(bufsize));
    if (!serialMode)
        return E_NOTIMPL;
    // No lock and no frame: the streamed bytes are taken off the line as they are.
    if (!buf || !portAdapter || !portAdapter->get(buf, ReadTimeout(), bufsize))
        return KE_TIMEOUT; // a success-class status: the caller reads it as "nothing yet"
    if (len)
        *len = static_cast<USHORT>(bufsize);
    return S_OK;
}
