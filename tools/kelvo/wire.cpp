#include "wire.h"

#include "protocol/bytes.h"
#include "protocol/crc16.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <utility>
#include <vector>

namespace kelvo::tool {
namespace {

struct CommandName {
    std::uint16_t code;
    const char* name;
};

constexpr CommandName kCommands[] = {
    {0x0101, "Ping"},
    {0x0201, "get_Par"},
    {0x0202, "put_Par"},
    {0x0301, "get_Par (RAM)"},
    {0x0302, "put_Par (RAM)"},
    {0x0401, "Reset_Command"},
    {0x0402, "Restore_Command"},
    {0x0403, "DeleteErrorLog"},
    {0x040A, "CreateCertificate"},
    {0x040B, "ReadErrorLog"},
    {0x040C, "ResetError"},
    {0x1001, "ReadSSCBuffer"},
    {0x1002, "PushDataCommand"},
    {0x1003, "ReadDataBlock"},
    {0x1004, "WriteDataBlock"},
    {0x3001, "Login"},
    {0x3002, "ChangePasswordUser"},
    {0x3003, "ChangePasswordAdmin"},
    {0x3004, "CreateUser"},
    {0x3005, "DeleteUser"},
    {0x3006, "GetPermissionsAndRole"},
    {0x3007, "SetPermissionsAndRole"},
    {0x3009, "Logout"},
    {0x300A, "GetAllUsers"},
    {0x300B, "GetBVAdminKey"},
    {0x300C, "ResetAdminPassword"},
    {0x300E, "Save_Command"},
    {0x5001, "SafeDataWrite"},
    {0x5002, "SafeDataRead"},
    {0x5003, "ReadSafeObject"},
};

std::string NameOf(std::uint16_t code) {
    for (const CommandName& c : kCommands) {
        if (c.code == code)
            return c.name;
    }
    char text[24];
    std::snprintf(text, sizeof text, "command 0x%04X", code);
    return text;
}

std::uint16_t SuccessWord(std::uint16_t code) {
    return static_cast<std::uint16_t>((code & 0xFF00) | ((code & 0x0F) << 4));
}

std::uint16_t ErrorWord(std::uint16_t code) {
    return code == 0x1004 ? 0x0221 : static_cast<std::uint16_t>(SuccessWord(code) + 1);
}

// Where the device's error code stands in an error answer: after a length
// byte, behind the longer headers of some commands.
std::size_t DeviceCodeOffset(std::uint16_t code) {
    switch (code) {
    case 0x0201:
    case 0x0202:
    case 0x0301:
    case 0x0302:
    case 0x040B:
        return 10;
    case 0x5003:
        return 15;
    default:
        return 7;
    }
}

using Range = std::pair<std::size_t, std::size_t>;

// The password bytes of a request frame (offsets in the frame).
std::vector<Range> Passwords(std::span<const std::uint8_t> frame) {
    if (frame.size() < 6)
        return {};
    std::size_t pos = 6;
    auto counted = [&]() -> Range {
        if (pos >= frame.size())
            return {frame.size(), frame.size()};
        const std::size_t start = pos + 1;
        pos = std::min(frame.size(), start + frame[pos]);
        return {start, pos};
    };
    switch (ldle_u16(frame.data() + 4)) {
    case 0x3001: // user, password
    case 0x3003: // user, new password
    case 0x3004: // user, password
        counted();
        return {counted()};
    case 0x3002: { // old password, new password
        const Range old = counted();
        return {old, counted()};
    }
    default:
        return {};
    }
}

// The frame inside the serial envelope (address byte, CRC trailer).
std::span<const std::uint8_t> FrameOf(LinkType link, std::span<const std::uint8_t> bytes) {
    if (link != LinkType::Serial)
        return bytes;
    if (bytes.size() < 3)
        return {};
    return bytes.subspan(1, bytes.size() - 3);
}

std::string Clock(WireTime when) {
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%06lld", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<long long>(micros % 1000000));
    return text;
}

} // namespace

void WireLog::AddOptions(CLI::App& app) {
    app.add_flag("--wire", print_,
                 "print every frame sent (tx) and received (rx) on standard error: time, hex and "
                 "a decoded line");
    app.add_option("--capture", capturePath_,
                   "write every frame to FILE as pcap for the Wireshark dissector (kelvo.lua)")
        ->type_name("FILE");
}

bool WireLog::Start(bool showSecrets) {
    showSecrets_ = showSecrets;
    if (!print_ && capturePath_.empty())
        return true;
    if (!capturePath_.empty()) {
        file_ = std::make_unique<capture::CaptureFile>();
        std::string error;
        if (!file_->Open(capturePath_, error)) {
            std::fprintf(stderr, "error: --capture %s\n", error.c_str());
            return false;
        }
    }
    InstallWireTap(*this);
    return true;
}

void WireLog::Frame(const WireFrame& frame) {
    if (file_)
        file_->Write(frame.direction, frame.link, frame.number, frame.bytes, frame.when);
    if (!print_)
        return;
    std::string summary =
        WireSummary(frame.direction, frame.link, frame.bytes, frame.requestCommand);
    if (frame.direction == Direction::Answer && frame.requestTime != WireTime{}) {
        char text[32];
        std::snprintf(
            text, sizeof text, " (%.3f ms)",
            std::chrono::duration<double, std::milli>(frame.when - frame.requestTime).count());
        summary += text;
    }
    // Lines of the first link carry no number; with several, each says its own.
    std::string stamp = Clock(frame.when);
    if (frame.number > 1)
        stamp += " [" + std::to_string(frame.number) + "]";
    const std::string hex = WireHex(frame.direction, frame.link, frame.bytes, showSecrets_);
    std::lock_guard lock(mutex_);
    std::fprintf(stderr, "%s %s %s\n%*s%s\n", stamp.c_str(),
                 frame.direction == Direction::Request ? "tx" : "rx", hex.c_str(),
                 static_cast<int>(stamp.size() + 4), "", summary.c_str());
}

std::string WireHex(Direction direction, LinkType link, std::span<const std::uint8_t> bytes,
                    bool showSecrets) {
    std::vector<Range> hidden;
    if (!showSecrets && direction == Direction::Request) {
        const std::size_t shift = link == LinkType::Serial ? 1 : 0;
        for (Range r : Passwords(FrameOf(link, bytes)))
            hidden.emplace_back(r.first + shift, r.second + shift);
    }
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        auto in = std::find_if(hidden.begin(), hidden.end(),
                               [i](Range r) { return i >= r.first && i < r.second; });
        if (in != hidden.end()) {
            if (i == in->first)
                text += text.empty() ? "***" : " ***";
            continue;
        }
        char hex[4];
        std::snprintf(hex, sizeof hex, text.empty() ? "%02x" : " %02x", bytes[i]);
        text += hex;
    }
    return text;
}

std::string WireSummary(Direction direction, LinkType link, std::span<const std::uint8_t> bytes,
                        std::uint16_t requestCommand) {
    if (direction == Direction::Stream)
        return "push data, " + std::to_string(bytes.size()) + " bytes";
    const std::span<const std::uint8_t> frame = FrameOf(link, bytes);
    if (frame.size() < 6)
        return std::string(direction == Direction::Request ? "request" : "answer") + " of " +
               std::to_string(frame.size()) + " bytes, shorter than a header";
    const std::uint16_t counter = ldle_u16(frame.data() + 1);
    const std::uint16_t word = ldle_u16(frame.data() + 4);
    std::string text;
    if (direction == Direction::Request) {
        text = NameOf(word) + " #" + std::to_string(counter) + " request";
    } else {
        text = NameOf(requestCommand) + " #" + std::to_string(counter) + " answer, ";
        char status[48];
        const std::size_t at = DeviceCodeOffset(requestCommand);
        if (word == SuccessWord(requestCommand))
            std::snprintf(status, sizeof status, "success");
        else if (word == ErrorWord(requestCommand) && frame.size() >= at + 4)
            std::snprintf(status, sizeof status, "device error 0x%08X",
                          ldle_u32(frame.data() + at));
        else if (word == ErrorWord(requestCommand))
            std::snprintf(status, sizeof status, "device error");
        else
            std::snprintf(status, sizeof status, "other status 0x%04X", word);
        text += status;
    }
    if (link == LinkType::Serial &&
        Crc16(bytes.first(bytes.size() - 2)) != ldle_u16(bytes.data() + bytes.size() - 2))
        text += ", CRC incorrect";
    return text;
}

} // namespace kelvo::tool
