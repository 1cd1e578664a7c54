// Device commands: save, reset, restore, axis error reset, and the error log
// (read frame by frame, delete).
#include "kelvo-sim/commands.h"

#include "protocol/bytes.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace kelvo::sim {
namespace {

constexpr std::uint16_t kSaveCommand = 0x300E;
constexpr std::uint16_t kResetCommand = 0x0401;
constexpr std::uint16_t kRestoreCommand = 0x0402;
constexpr std::uint16_t kDeleteErrorLogCommand = 0x0403;
constexpr std::uint16_t kReadErrorLogCommand = 0x040B;
constexpr std::uint16_t kResetErrorCommand = 0x040C;

Reply Save(DeviceState& state, const Request& request) {
    if (!request.payload.empty())
        return Reply::Error(kBadRequestError);
    ++state.saveCount;
    return Reply::Success();
}

// Reset and restore answer with a 7-byte header: one byte after the status word.
Reply Reset(DeviceState& state, const Request& request) {
    if (!request.payload.empty())
        return Reply::Error(kBadRequestError);
    ++state.resetCount;
    return Reply::Success({0});
}

Reply Restore(DeviceState& state, const Request& request) {
    if (request.payload.size() != 2)
        return Reply::Error(kBadRequestError);
    ++state.restoreCount;
    state.restoreFilter = ldle_u16(request.payload.data());
    return Reply::Success({0});
}

Reply ResetError(DeviceState& state, const Request& request) {
    if (request.payload.size() != 1)
        return Reply::Error(kBadRequestError);
    const std::uint8_t axis = request.payload[0];
    if (axis >= state.axisCount)
        return Reply::Error(kNoSuchAxisError);
    ++state.errorResetCount;
    state.resetAxis = axis;
    return Reply::Success();
}

Reply DeleteErrorLog(DeviceState& state, const Request& request) {
    if (!request.payload.empty())
        return Reply::Error(kBadRequestError);
    state.errorLog.clear();
    return Reply::Success();
}

// Payload: entry index (16 bits), frame number from 1. Answer after the status
// word: index echo (16 bits), one filler byte, more-data flag, data length,
// data. Frame n carries record bytes from (n - 1) * frameSize on.
Reply ReadErrorLog(DeviceState& state, const Request& request) {
    if (request.payload.size() != 3)
        return Reply::Error(kBadRequestError);
    ++state.errorLogRequests;
    const std::uint16_t index = ldle_u16(request.payload.data());
    const std::uint8_t frameNumber = request.payload[2];
    if (index >= state.errorLog.size())
        return Reply::Error(kNoSuchEntryError);
    const std::vector<std::uint8_t>& record = state.errorLog[index];
    const std::size_t frameSize = std::max<std::size_t>(state.errorLogFrameSize, 1);
    const std::size_t start = (frameNumber - std::size_t{1}) * frameSize;
    if (frameNumber == 0 || (start > 0 && start >= record.size()))
        return Reply::Error(kBadRequestError);
    const std::size_t length = std::min(frameSize, record.size() - start);
    const bool more = start + length < record.size();

    std::uint16_t echo = index;
    if (state.errorLogRequests == state.errorLogWrongIndexAt)
        echo = static_cast<std::uint16_t>(echo + 1);
    FrameWriter out(5 + length);
    out.u16(echo).u8(0).u8(more ? 1 : 0).u8(static_cast<std::uint8_t>(length));
    out.bytes(std::span(record).subspan(start, length));
    return Reply::Success(std::move(out.data()));
}

// One entry of the built-in log, in the layout of the record description
// errorlog/FPR_Version_0000001a.xml (field offsets from record byte 8).
struct LogEntry {
    std::uint32_t seconds;
    std::uint16_t milliseconds;
    std::uint32_t errorCode;
    std::uint8_t axis;
    std::int8_t severity;
    const char* text; // Windows-1252, at most 32 bytes
    float motorTemperature;
    float driveTemperature;
    float ambientTemperature;
    float dcBusVoltage;
    double phaseCurrent;
    std::int64_t position;
    std::uint64_t operatingSeconds;
    std::int32_t speedSetpoint;
    std::int16_t torqueSetpoint;
    bool enabled;
    bool braked;
    bool safeTorqueOff;
};

constexpr std::uint32_t kRecordVersion = 26;
constexpr std::size_t kTextBytes = 32;

std::vector<std::uint8_t> EncodeEntry(const LogEntry& e, std::uint32_t sequence) {
    FrameWriter w(101);
    w.u32(kRecordVersion).u32(sequence);
    w.u32(e.seconds).u16(e.milliseconds).u32(e.errorCode).u8(e.axis);
    w.u8(static_cast<std::uint8_t>(e.severity));
    std::uint8_t text[kTextBytes] = {};
    std::memcpy(text, e.text, std::min(std::strlen(e.text), kTextBytes));
    w.bytes(text);
    for (float f : {e.motorTemperature, e.driveTemperature, e.ambientTemperature, e.dcBusVoltage})
        w.u32(std::bit_cast<std::uint32_t>(f));
    w.u64(std::bit_cast<std::uint64_t>(e.phaseCurrent));
    w.u64(static_cast<std::uint64_t>(e.position)).u64(e.operatingSeconds);
    w.u32(static_cast<std::uint32_t>(e.speedSetpoint));
    w.u16(static_cast<std::uint16_t>(e.torqueSetpoint));
    w.u8(e.enabled).u8(e.braked).u8(e.safeTorqueOff);
    return std::move(w.data());
}

} // namespace

std::vector<std::vector<std::uint8_t>> DefaultErrorLog() {
    static const LogEntry kEntries[] = {
        {1717243200, 250, 0x2310, 1, -2,
         "\xDC"
         "bertemperatur Motor",
         87.5f, 45.25f, 23.0f, 564.75f, 12.345, -1048576, 3600000123ull, 1500, -320, true, false,
         false},
        {1717250000, 999, 0x3210, 0, 3, "DC bus overvoltage", 61.0f, 40.5f, 22.5f, 812.5f, 0.5, 0,
         3600007000ull, 0, 0, false, true, true},
        {1717260000, 0, 0x8611, 3, 0, "Following error too large on axis", -5.75f, 30.0f, -10.0f,
         560.0f, -3.25, 9007199254740993, 3600020000ull, -3000, 32767, true, true, false},
    };
    std::vector<std::vector<std::uint8_t>> log;
    std::uint32_t sequence = 1000;
    for (const LogEntry& entry : kEntries)
        log.push_back(EncodeEntry(entry, sequence++));
    return log;
}

void AddDeviceCommands(CommandTable& table) {
    table.Add(MakeCommand(kSaveCommand, "Save_Command", Save));

    // Their device error answer fills the seventh header byte, then the code
    // without a length byte.
    Command reset = MakeCommand(kResetCommand, "Reset_Command", Reset);
    reset.errorForm = {1, false};
    table.Add(std::move(reset));
    Command restore = MakeCommand(kRestoreCommand, "Restore_Command", Restore);
    restore.errorForm = {1, false};
    table.Add(std::move(restore));

    table.Add(MakeCommand(kResetErrorCommand, "ResetError", ResetError));
    table.Add(MakeCommand(kDeleteErrorLogCommand, "DeleteErrorLog", DeleteErrorLog));

    // The error answer echoes the entry index; the filler byte is zero.
    Command read = MakeCommand(kReadErrorLogCommand, "ReadErrorLog", ReadErrorLog);
    read.errorForm = {3, true, 2};
    table.Add(std::move(read));
}

} // namespace kelvo::sim
