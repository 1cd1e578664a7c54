// Frame engine of CKelvo: frame counter, request building, the serial envelope,
// the shared answer steps and the standard transaction.
#include "protocol/transaction.h"

#include "device/kelvo_object.h"
#include "kelvo/trace.h"
#include "protocol/bytes.h"

#include <algorithm>

namespace kelvo {

PortLock::PortLock(CComPort* port) {
    if (port && port->lock(2000))
        port_ = port;
}

bool PortLock::Again() {
    return port_ && port_->lock(2000);
}

PortLock::~PortLock() {
    Release();
}

void PortLock::Release() {
    if (port_)
        port_->unlock();
    port_ = nullptr;
}

int AnswerSteps::Echo(int timeoutStep, int wrongStep, const char16_t* wrongFormat) {
    CKelvo& k = object_;
    if (!k.serialMode)
        return KE_OK;
    std::uint8_t echo = 0;
    if (!k.portAdapter->get(&echo, k.ReadTimeout(), 1)) {
        Trace(TRACE_READ, u"%s fail %i (tmo %i len %i)", prefix_, timeoutStep, k.timeOut, 1);
        return KE_TIMEOUT;
    }
    if (k.address != 255 && echo != k.address) {
        Trace(TRACE_READ, wrongFormat, prefix_, wrongStep, static_cast<int>(k.address),
              static_cast<int>(echo));
        return KE_ADDRESS;
    }
    crc = Crc16(&echo, 1, kCrc16Start);
    return KE_OK;
}

int AnswerSteps::Read(std::span<std::uint8_t> out, int step) {
    CKelvo& k = object_;
    if (out.empty())
        return KE_OK;
    if (!k.portAdapter->get(out.data(), k.ReadTimeout(), static_cast<unsigned long>(out.size()))) {
        Trace(TRACE_READ, u"%s fail %i (tmo %i len %i)", prefix_, step, k.timeOut,
              static_cast<int>(out.size()));
        return KE_TIMEOUT;
    }
    if (k.serialMode)
        crc = Crc16(out, crc);
    return KE_OK;
}

int AnswerSteps::Start(PortLock& lock, std::span<const std::uint8_t> frame,
                       std::span<std::uint8_t> headerOut, const char16_t* wrongEchoFormat) {
    if (!lock.locked())
        return KE_NO_PORT;
    if (!object_.SendRequest(frame))
        return KE_SEND;
    if (int r = Echo(1, 2, wrongEchoFormat))
        return r;
    if (int r = Read(headerOut, 3))
        return r;
    if (int r = Counter(headerOut, ldle_u16(&frame[1]), 4))
        return r;
    header = headerOut;
    return KE_OK;
}

int AnswerSteps::Counter(std::span<const std::uint8_t> received, std::uint16_t sent, int step) {
    const std::uint16_t echoed = ldle_u16(&received[1]);
    if (echoed == sent)
        return KE_OK;
    Trace(TRACE_READ, u"%s fail %i (frameCount received: %i, frameCount sent: %i)", prefix_, step,
          static_cast<int>(echoed), static_cast<int>(sent));
    return KE_FRAME_COUNT;
}

int AnswerSteps::Length(std::uint32_t announced, std::uint32_t asked, int step) {
    if (announced == asked)
        return KE_OK;
    Trace(TRACE_READ, u"%s fail %i (lenAnswer %i len %i)", prefix_, step,
          static_cast<std::int32_t>(announced), static_cast<std::int32_t>(asked));
    return KE_LENGTH;
}

int AnswerSteps::Crc(int timeoutStep, int mismatchStep, const char16_t* mismatchFormat) {
    CKelvo& k = object_;
    if (!k.serialMode)
        return KE_OK;
    std::uint8_t trailer[2];
    if (!k.portAdapter->get(trailer, k.ReadTimeout(), 2)) {
        Trace(TRACE_READ, u"%s fail %i (tmo %i len %i)", prefix_, timeoutStep, k.timeOut, 2);
        return KE_TIMEOUT;
    }
    const std::uint16_t received = ldle_u16(trailer);
    if (received == crc)
        return KE_OK;
    Trace(TRACE_READ, mismatchFormat, prefix_, mismatchStep, static_cast<int>(crc),
          static_cast<int>(received));
    return KE_CRC;
}

} // namespace kelvo

using namespace kelvo;

std::uint16_t CKelvo::NextFrameCount() {
    std::uint16_t current = frameCount;
    frameCount = static_cast<std::uint16_t>(current + 1 >= 1024 ? 0 : current + 1);
    return current;
}

std::vector<std::uint8_t> CKelvo::BuildRequest(std::uint16_t command,
                                               std::span<const std::uint8_t> payload) {
    FrameWriter w(6 + payload.size());
    w.u8(canNode)
        .u16(NextFrameCount())
        .u8(static_cast<std::uint8_t>(2 + payload.size()))
        .u16(command)
        .bytes(payload);
    return std::move(w.data());
}

bool CKelvo::SendRequest(std::span<const std::uint8_t> frame) {
    portAdapter->reset();
    int written;
    if (serialMode) {
        // Frames of usual size are wrapped on the stack, longer ones on the heap.
        std::uint8_t small[288];
        std::vector<std::uint8_t> large;
        std::uint8_t* wire = small;
        const std::size_t size = frame.size() + 3;
        if (size > sizeof small) {
            large.resize(size);
            wire = large.data();
        }
        wire[0] = address;
        std::copy(frame.begin(), frame.end(), wire + 1);
        stle_u16(wire + 1 + frame.size(), Crc16(wire, 1 + frame.size(), kCrc16Start));
        written = portAdapter->put(wire, size);
    } else {
        written = portAdapter->put(const_cast<std::uint8_t*>(frame.data()), frame.size());
    }
    if (!written)
        return false;
    portAdapter->flush();
    return true;
}

int CKelvo::ReadSerialAddress(std::uint16_t& crc, const char16_t* prefix) {
    std::uint8_t echo = 0;
    if (!portAdapter->get(&echo, ReadTimeout(), 1)) {
        Trace(TRACE_READ, u"%s read serial address fail (tmo %i len %i)", prefix, timeOut, 1);
        return KE_TIMEOUT;
    }
    if (address != 255 && echo != address) {
        Trace(TRACE_READ, u"%s read serial address fail (request addr: %i, response addr: %i)",
              prefix, static_cast<int>(address), static_cast<int>(echo));
        return KE_ADDRESS;
    }
    crc = Crc16(&echo, 1, kCrc16Start);
    return KE_OK;
}

int CKelvo::CheckResponseCrc(std::uint16_t calculated, const char16_t* prefix, int step) {
    std::uint8_t trailer[2];
    if (!portAdapter->get(trailer, ReadTimeout(), 2)) {
        Trace(TRACE_READ, u"%s CRC timeout fail %i (tmo %i len %i)", prefix, step, timeOut, 2);
        return KE_TIMEOUT;
    }
    std::uint16_t received = ldle_u16(trailer);
    if (received != calculated) {
        Trace(TRACE_READ, u"%s CRC fail %i (calculated CRC: %i,  response CRC: %i)", prefix, step,
              static_cast<int>(calculated), static_cast<int>(received));
        return KE_CRC;
    }
    return KE_OK;
}

int CKelvo::ReadDeviceError(std::uint16_t& crc, const char16_t* prefix) {
    std::uint8_t answer[5];
    if (!portAdapter->get(answer, ReadTimeout(), 5)) {
        Trace(TRACE_READ, u"%s read error timeout (tmo %i len %i)", prefix, timeOut, 5);
        return KE_TIMEOUT;
    }
    if (serialMode) {
        crc = Crc16(answer, 5, crc);
        if (int r = CheckResponseCrc(crc, prefix, 0))
            return r;
    }
    deviceStatus = ldle_u32(answer + 1);
    Trace(TRACE_READ, u"%s FAILED (error code: %i)", prefix, static_cast<int>(deviceStatus));
    return KE_DEVICE;
}

HRESULT CKelvo::Transact(const Exchange& x) {
    const std::vector<std::uint8_t> frame = BuildRequest(x.command, x.payload);
    const std::uint16_t sent = ldle_u16(&frame[1]);

    PortLock lock(portAdapter.get());
    if (!lock.locked())
        return Finish(KE_NO_PORT);
    if (!SendRequest(frame))
        return Finish(KE_SEND);
    if (serialMode && x.serialWithoutAnswer) {
        if (x.commit)
            x.commit();
        return Finish(KE_OK);
    }

    AnswerSteps steps(*this, x.prefix);
    if (serialMode) {
        if (int r = ReadSerialAddress(steps.crc, x.prefix))
            return Finish(r);
    }
    std::uint8_t header[16] = {};
    const std::size_t h = x.headerLength < sizeof header ? x.headerLength : sizeof header;
    if (int r = steps.Read(std::span(header, h), 3))
        return Finish(r);
    if (int r = steps.Counter(std::span(header, h), sent, 4))
        return Finish(r);
    steps.header = std::span<const std::uint8_t>(header, h);

    const std::uint16_t status = ldle_u16(header + 4);
    if (status == x.successWord) {
        if (x.readAnswer) {
            if (int r = x.readAnswer(steps))
                return Finish(r);
        }
        if (serialMode) {
            if (int r = CheckResponseCrc(steps.crc, x.prefix, x.crcStep))
                return Finish(r);
        }
        if (x.commit)
            x.commit();
        return Finish(KE_OK);
    }
    if (status == x.errorWord)
        return Finish(x.readDeviceError ? x.readDeviceError(steps)
                                        : ReadDeviceError(steps.crc, x.prefix));

    Trace(TRACE_READ, x.unknownStatusFormat, x.prefix, static_cast<int>(status));
    return Finish(KE_STATUS);
}
