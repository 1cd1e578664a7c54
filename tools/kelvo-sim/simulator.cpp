#include "kelvo-sim/simulator.h"

#include "protocol/bytes.h"
#include "protocol/crc16.h"

#include <algorithm>

namespace kelvo::sim {
namespace {

// Bytes of the answer sent before the connection is dropped by the close
// fault: part of the header (serial: after the address echo).
constexpr std::size_t kCloseAfterBytes = 3;

bool Has(const FaultPlan& plan, FaultKind kind) {
    return std::any_of(plan.faults.begin(), plan.faults.end(),
                       [kind](const Fault& f) { return f.kind == kind; });
}

std::uint32_t ValueOf(const FaultPlan& plan, FaultKind kind) {
    for (const Fault& fault : plan.faults) {
        if (fault.kind == kind)
            return fault.value;
    }
    return 0;
}

bool IsParameterWrite(std::uint16_t command) {
    return command == 0x0202 || command == 0x0302;
}

// A status word that is neither of the command's pair.
std::uint16_t OtherStatus(std::uint16_t success, std::uint16_t error) {
    std::uint16_t word = static_cast<std::uint16_t>(success + 2);
    while (word == success || word == error)
        ++word;
    return word;
}

} // namespace

Simulator::Simulator(DeviceState state, CommandTable table, FaultPlan faults)
    : state_(state), table_(std::move(table)), faults_(std::move(faults)) {}

std::uint64_t Simulator::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

DeviceState Simulator::State() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void Simulator::Note(const std::string& text) const {
    if (log_)
        log_(text);
}

void Simulator::SetFaults(FaultPlan faults) {
    std::lock_guard lock(mutex_);
    faults_ = std::move(faults);
    matching_ = 0;
}

std::uint32_t Simulator::StreamRate() const {
    std::lock_guard lock(mutex_);
    return state_.streams.any() ? state_.pushRate : 0;
}

Bytes Simulator::TakeStreamBytes(std::size_t count) {
    std::lock_guard lock(mutex_);
    if (state_.streams.none())
        return {};
    Bytes bytes(count);
    for (std::uint8_t& byte : bytes)
        byte = state_.nextStreamByte++;
    return bytes;
}

Outcome Simulator::Handle(LinkKind link, const IncomingFrame& in) {
    Outcome out = HandleFrame(link, in);
    if (tap_)
        tap_(link, in, out);
    return out;
}

Outcome Simulator::HandleFrame(LinkKind link, const IncomingFrame& in) {
    std::lock_guard lock(mutex_);
    const bool serial = link == LinkKind::Serial;
    if (serial && !in.crcOk) {
        Note("serial: request with a wrong CRC ignored");
        return {};
    }
    if (serial && in.address != state_.serialAddress && in.address != 255) {
        Note("serial: request for address " + std::to_string(in.address) + " ignored");
        return {};
    }
    if (in.tooShort || in.frame.size() < 6) {
        Note(std::string(LinkName(link)) + ": frame without a command code ignored");
        return {};
    }

    Request request;
    request.link = link;
    request.node = in.frame[0];
    request.counter = ldle_u16(in.frame.data() + 1);
    request.command = ldle_u16(in.frame.data() + 4);
    request.payload = std::span<const std::uint8_t>(in.frame).subspan(6);

    ++requests_;
    if (requests_ == state_.dropSessionAt && state_.LoggedIn()) {
        Note("session of " + state_.sessionUser + " dropped");
        state_.sessionUser.clear();
    }
    bool faulted = false;
    if (faults_.Matches(request.command)) {
        ++matching_;
        faulted = faults_.AppliesTo(matching_);
    }

    // store-other: the device keeps another value than the one it confirms.
    Bytes altered;
    constexpr std::size_t kValueAt = 4; // index (2), sub-index, length, value
    if (faulted && Has(faults_, FaultKind::StoreOther) && IsParameterWrite(request.command) &&
        request.payload.size() > kValueAt) {
        altered.assign(request.payload.begin(), request.payload.end());
        altered[kValueAt] ^= 0x01;
        request.payload = altered;
    }
    Bytes answer = Answer(request, faulted);
    if (answer.empty())
        return {};

    Outcome out;
    if (serial) {
        std::uint8_t echo = state_.serialAddress;
        if (faulted && Has(faults_, FaultKind::WrongAddress))
            echo = static_cast<std::uint8_t>(echo + 1);
        answer.insert(answer.begin(), echo);
        std::uint16_t crc = Crc16(answer);
        if (faulted && Has(faults_, FaultKind::BadCrc))
            crc = static_cast<std::uint16_t>(~crc);
        answer.resize(answer.size() + 2);
        stle_u16(answer.data() + answer.size() - 2, crc);
    }
    out.bytes = std::move(answer);
    if (!faulted)
        return out;

    if (Has(faults_, FaultKind::Delay))
        out.delayMs = ValueOf(faults_, FaultKind::Delay);
    if (Has(faults_, FaultKind::Cut))
        out.bytes.resize(std::min<std::size_t>(out.bytes.size(), ValueOf(faults_, FaultKind::Cut)));
    else if (Has(faults_, FaultKind::Close))
        out.bytes.resize(std::min(out.bytes.size(), kCloseAfterBytes + (serial ? 1 : 0)));
    out.closeAfter = Has(faults_, FaultKind::Close);
    if (Has(faults_, FaultKind::Silent))
        out.bytes.clear();
    return out;
}

Bytes Simulator::Answer(const Request& request, bool faulted) {
    const Command* command = table_.Find(request.command);
    std::uint16_t successWord = command ? command->successWord : SuccessWord(request.command);
    std::uint16_t errorWord = command ? command->errorWord : ErrorWord(request.command);
    ErrorForm form = command ? command->errorForm : ErrorForm{};

    Reply reply;
    if (faulted && Has(faults_, FaultKind::DeviceError))
        reply = Reply::Error(ValueOf(faults_, FaultKind::DeviceError));
    else if (command && command->needsLogin && state_.loginRequired && !state_.LoggedIn())
        reply = Reply::Error(kLoginMissingError);
    else if (command)
        reply = command->handler(state_, request);
    else
        reply = Reply::Error(kUnknownCommandError);

    std::uint16_t status = successWord;
    switch (reply.kind) {
    case Reply::Kind::NoAnswer:
        return {};
    case Reply::Kind::Success:
        break;
    case Reply::Kind::DeviceError:
        status = errorWord;
        reply.data = EncodeDeviceError(form, reply.code, request.payload);
        break;
    }
    if (faulted && Has(faults_, FaultKind::WrongStatus))
        status = OtherStatus(successWord, errorWord);
    std::uint16_t counter = request.counter;
    if (faulted && Has(faults_, FaultKind::WrongCounter))
        counter = static_cast<std::uint16_t>(counter + 1);

    FrameWriter out(8 + reply.data.size());
    out.u8(state_.node).u16(counter).u8(static_cast<std::uint8_t>(2 + reply.data.size()));
    out.u16(status).bytes(reply.data);
    return std::move(out.data());
}

} // namespace kelvo::sim
