// The device: turns request frames into answer bytes, applying the command
// table, the device state and the injected faults. Shared by all links;
// safe to call from several threads.
#pragma once

#include "kelvo-sim/command_table.h"
#include "kelvo-sim/device.h"
#include "kelvo-sim/faults.h"
#include "kelvo-sim/framing.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace kelvo::sim {

// What a link does with one request.
struct Outcome {
    Bytes bytes;             // sent as they are (empty: nothing is sent)
    unsigned delayMs = 0;    // wait this long before sending
    bool closeAfter = false; // close the connection after sending `bytes`
};

class Simulator {
public:
    using LogSink = std::function<void(const std::string&)>;
    // Sees every frame that comes in and what goes out for it (--capture).
    using FrameTap = std::function<void(LinkKind, const IncomingFrame&, const Outcome&)>;

    Simulator(DeviceState state, CommandTable table, FaultPlan faults = {});

    // One frame from the assembler of `link`. Frames the device does not
    // answer (bad CRC, other serial address, no command code) give an empty
    // outcome and are logged in verbose mode.
    Outcome Handle(LinkKind link, const IncomingFrame& in);

    // Number of requests answered (or deliberately not answered by a fault).
    std::uint64_t Requests() const;
    DeviceState State() const;
    const CommandTable& Commands() const { return table_; }

    // Push data for the serial link: the byte rate of the running streams
    // (0: no stream runs) and the next `count` streamed bytes.
    std::uint32_t StreamRate() const;
    Bytes TakeStreamBytes(std::size_t count);

    // Replaces the fault plan; its requests are counted from the next one on.
    void SetFaults(FaultPlan faults);

    // Verbose notes about ignored frames; default: none.
    void SetLog(LogSink sink) { log_ = std::move(sink); }
    // Set before the links run; called outside the device's lock.
    void SetTap(FrameTap tap) { tap_ = std::move(tap); }

private:
    Outcome HandleFrame(LinkKind link, const IncomingFrame& in);
    Bytes Answer(const Request& request, bool faulted);
    void Note(const std::string& text) const;

    mutable std::mutex mutex_;
    DeviceState state_;
    CommandTable table_;
    FaultPlan faults_;
    std::uint64_t requests_ = 0;
    std::uint64_t matching_ = 0;
    LogSink log_;
    FrameTap tap_;
};

} // namespace kelvo::sim
