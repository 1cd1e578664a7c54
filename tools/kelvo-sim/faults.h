// Injected faults: how an answer is spoiled, and which requests get it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvo::sim {

enum class FaultKind {
    Silent,       // no answer at all
    Delay,        // answer after `value` milliseconds
    WrongCounter, // frame counter echo one above the request's
    WrongStatus,  // a status word that is neither the success nor the error word
    DeviceError,  // the error word and the device error code `value`
    BadCrc,       // serial: CRC trailer inverted
    WrongAddress, // serial: address echo one above the device's address
    Close,        // first bytes of the answer, then the connection is closed
    Cut,          // only the first `value` bytes of the answer are sent
    StoreOther,   // a parameter write is confirmed, but its first value byte is
                  // stored with the lowest bit flipped
};

struct Fault {
    FaultKind kind = FaultKind::Silent;
    std::uint32_t value = 0;
};

// Parses "silent", "delay:MS", "wrong-counter", "wrong-status",
// "device-error:CODE" (decimal or 0x-hex), "bad-crc", "wrong-address", "close",
// "cut:N", "store-other".
bool ParseFault(std::string_view text, Fault& fault, std::string& error);

// The faults of one run and the requests they hit. Requests are numbered from
// 1 in arrival order over all links, counting only those the device answers
// and, with `command` set, only that command's requests.
struct FaultPlan {
    std::vector<Fault> faults;
    std::uint64_t firstRequest = 1;       // --fault-at
    std::uint64_t count = 0;              // --fault-count; 0: every later request
    std::optional<std::uint16_t> command; // --fault-command

    bool Matches(std::uint16_t commandCode) const { return !command || *command == commandCode; }
    bool AppliesTo(std::uint64_t requestNumber) const;
};

// A plan from one line of the control channel: "clear" (no faults), or words
// "fault KIND" (repeatable), "at N", "count K" and "command CODE", as the
// options --fault, --fault-at, --fault-count and --fault-command.
bool ParseFaultPlan(std::string_view line, FaultPlan& plan, std::string& error);

} // namespace kelvo::sim
