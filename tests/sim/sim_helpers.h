// What the simulator's tests share: request and answer frames, one simulated
// device fed like a connection, and state-file parsing.
#pragma once

#include "kelvo-sim/commands.h"
#include "kelvo-sim/device.h"
#include "kelvo-sim/framing.h"
#include "kelvo-sim/simulator.h"

#include "protocol/bytes.h"
#include "support/scripted_transport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvo::sim {

// [node][counter][length][command][payload]
inline Bytes Frame(std::uint16_t counter, std::uint16_t command, const Bytes& payload = {},
                   std::uint8_t node = 0) {
    FrameWriter w;
    w.u8(node).u16(counter).u8(static_cast<std::uint8_t>(2 + payload.size())).u16(command);
    w.bytes(payload);
    return std::move(w.data());
}

// The answer of node 0: [0][counter][length][status word][data].
inline Bytes Answer(std::uint16_t counter, std::uint16_t status, const Bytes& data = {}) {
    return Frame(counter, status, data);
}

// A device error answer of node 0: the error word, `before`, then [4][code].
inline Bytes ErrorAnswer(std::uint16_t counter, std::uint16_t word, std::uint32_t code,
                         const Bytes& before = {}) {
    FrameWriter w;
    w.bytes(before).u8(4).u32(code);
    return Answer(counter, word, w.data());
}

inline Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A text after its length byte.
inline Bytes Counted(const std::string& text) {
    Bytes b{static_cast<std::uint8_t>(text.size())};
    b.insert(b.end(), text.begin(), text.end());
    return b;
}

// One simulated device and one link's assembler, fed like a connection.
class Device {
public:
    explicit Device(DeviceState state = {}, LinkKind link = LinkKind::Tcp, FaultPlan plan = {})
        : sim_(std::move(state), DefaultCommands(), std::move(plan)), link_(link),
          assembler_(link == LinkKind::Serial, sim_.Commands()) {}

    // The outcomes of every frame the bytes complete.
    std::vector<Outcome> Feed(const Bytes& bytes) {
        assembler_.Feed(bytes);
        std::vector<Outcome> outcomes;
        while (std::optional<IncomingFrame> in = assembler_.Next())
            outcomes.push_back(sim_.Handle(link_, *in));
        return outcomes;
    }
    // All answer bytes the bytes bring back.
    Bytes Ask(const Bytes& bytes) {
        Bytes all;
        for (const Outcome& out : Feed(bytes))
            all.insert(all.end(), out.bytes.begin(), out.bytes.end());
        return all;
    }

    Simulator& sim() { return sim_; }
    DeviceState State() const { return sim_.State(); }
    std::size_t Pending() const { return assembler_.Pending(); }

private:
    Simulator sim_;
    LinkKind link_;
    FrameAssembler assembler_;
};

// A state file's text read into `state`; a refusal must name its reason.
inline ::testing::AssertionResult Parses(const std::string& xml, DeviceState& state) {
    std::string error;
    if (ParseDeviceState(xml, state, error))
        return ::testing::AssertionSuccess();
    ::testing::AssertionResult refused = ::testing::AssertionFailure() << error;
    if (error.empty())
        ADD_FAILURE() << "refused without a reason: " << xml;
    return refused;
}

} // namespace kelvo::sim
