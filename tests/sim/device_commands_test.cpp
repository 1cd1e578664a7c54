// The simulator's device commands and error log, driven in-process.
#include "kelvo-sim/commands.h"
#include "kelvo-sim/device.h"
#include "kelvo-sim/simulator.h"

#include "protocol/bytes.h"

#include <gtest/gtest.h>

#include <string>

namespace kelvo::sim {
namespace {

Bytes Frame(std::uint16_t counter, std::uint16_t command, const Bytes& payload = {}) {
    FrameWriter w;
    w.u8(0).u16(counter).u8(static_cast<std::uint8_t>(2 + payload.size())).u16(command);
    w.bytes(payload);
    return std::move(w.data());
}

// One TCP request through the simulator; the answer bytes.
Bytes Ask(Simulator& sim, const Bytes& frame) {
    IncomingFrame in;
    in.frame = frame;
    return sim.Handle(LinkKind::Tcp, in).bytes;
}

Simulator MakeSim(DeviceState state = {}) {
    return Simulator(std::move(state), DefaultCommands());
}

TEST(SimDeviceCommands, AnswersAndState) {
    Simulator sim = MakeSim();
    // Reset and restore: 7-byte header.
    EXPECT_EQ(Ask(sim, Frame(1, 0x0401)), (Bytes{0, 1, 0, 3, 0x10, 0x04, 0}));
    EXPECT_EQ(Ask(sim, Frame(2, 0x0402, {0x34, 0x12})), (Bytes{0, 2, 0, 3, 0x20, 0x04, 0}));
    EXPECT_EQ(Ask(sim, Frame(3, 0x040C, {3})), (Bytes{0, 3, 0, 2, 0xC0, 0x04}));
    EXPECT_EQ(Ask(sim, Frame(4, 0x0403)), (Bytes{0, 4, 0, 2, 0x30, 0x04}));
    const DeviceState state = sim.State();
    EXPECT_EQ(state.resetCount, 1u);
    EXPECT_EQ(state.restoreCount, 1u);
    EXPECT_EQ(state.restoreFilter, 0x1234);
    EXPECT_EQ(state.errorResetCount, 1u);
    EXPECT_EQ(state.resetAxis, 3);
    EXPECT_TRUE(state.errorLog.empty());
}

TEST(SimDeviceCommands, ErrorAnswersHaveTheCommandsForm) {
    Simulator sim = MakeSim();
    // Reset: the seventh header byte, then the code without a length byte.
    EXPECT_EQ(Ask(sim, Frame(1, 0x0401, {1})),
              (Bytes{0, 1, 0, 7, 0x11, 0x04, 0, 0x02, 0x00, 0x00, 0x0A}));
    // Axis 4 of 4: length byte and code.
    EXPECT_EQ(Ask(sim, Frame(2, 0x040C, {4})),
              (Bytes{0, 2, 0, 7, 0xC1, 0x04, 4, 0x04, 0x00, 0x00, 0x0A}));
    EXPECT_EQ(sim.State().errorResetCount, 0u);
}

// Reads every frame of one entry the way the component does.
Bytes Download(Simulator& sim, std::uint16_t index, int* frames) {
    Bytes record;
    for (std::uint8_t frame = 1;; ++frame) {
        const Bytes answer = Ask(sim, Frame(frame, 0x040B,
                                            {static_cast<std::uint8_t>(index),
                                             static_cast<std::uint8_t>(index >> 8), frame}));
        EXPECT_GE(answer.size(), 11u);
        if (answer.size() < 11)
            return record;
        EXPECT_EQ(ldle_u16(&answer[4]), 0x04B0);
        EXPECT_EQ(ldle_u16(&answer[6]), index);
        EXPECT_EQ(answer.size(), 11u + answer[10]);
        record.insert(record.end(), answer.begin() + 11, answer.end());
        *frames = frame;
        if (!answer[9])
            return record;
    }
}

TEST(SimErrorLog, EntriesNeedThreeFramesAndCarryVersion26) {
    Simulator sim = MakeSim();
    const std::vector<Bytes> log = DefaultErrorLog();
    ASSERT_GE(log.size(), 3u);
    for (std::uint16_t i = 0; i < log.size(); ++i) {
        int frames = 0;
        EXPECT_EQ(Download(sim, i, &frames), log[i]);
        EXPECT_GE(frames, 3);
        EXPECT_EQ(ldle_u32(log[i].data()), 26u);
    }
}

TEST(SimErrorLog, MissingEntryAndDeletion) {
    Simulator sim = MakeSim();
    // No entry 3: the error word, the index echo, a zero filler.
    EXPECT_EQ(Ask(sim, Frame(1, 0x040B, {3, 0, 1})),
              (Bytes{0, 1, 0, 10, 0xB1, 0x04, 3, 0, 0, 4, 0x03, 0x00, 0x00, 0x0A}));
    EXPECT_EQ(Ask(sim, Frame(2, 0x0403)).size(), 6u);
    EXPECT_EQ(ldle_u16(&Ask(sim, Frame(3, 0x040B, {0, 0, 1}))[4]), 0x04B1);
}

TEST(SimErrorLog, WrongIndexEchoOnTheChosenRequest) {
    DeviceState state;
    state.errorLogWrongIndexAt = 2;
    Simulator sim = MakeSim(state);
    EXPECT_EQ(ldle_u16(&Ask(sim, Frame(1, 0x040B, {1, 0, 1}))[6]), 1);
    EXPECT_EQ(ldle_u16(&Ask(sim, Frame(2, 0x040B, {1, 0, 2}))[6]), 2);
    EXPECT_EQ(ldle_u16(&Ask(sim, Frame(3, 0x040B, {1, 0, 2}))[6]), 1);
}

TEST(SimErrorLog, StateFileSection) {
    struct Case {
        const char* xml;
        bool ok;
        std::size_t entries;
    };
    const Case cases[] = {
        {"<errorLog frameSize=\"2\" axes=\"2\"><entry>1a000000 0102 03 04\n 05</entry>"
         "<entry/></errorLog>",
         true, 2},
        {"<errorLog empty=\"1\"/>", true, 0},
        {"<errorLog wrongIndexAt=\"5\"/>", true, 3},
        {"<errorLog frameSize=\"0\"/>", false, 0},
        {"<errorLog><entry>0g</entry></errorLog>", false, 0},
        {"<errorLog><entry>123</entry></errorLog>", false, 0},
        {"<errorLog><record/></errorLog>", false, 0},
        {"<errorLog size=\"1\"/>", false, 0},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.xml);
        DeviceState state;
        std::string error;
        const bool ok =
            ParseDeviceState(std::string("<kelvo-sim>") + cs.xml + "</kelvo-sim>", state, error);
        EXPECT_EQ(ok, cs.ok) << error;
        if (ok) {
            EXPECT_EQ(state.errorLog.size(), cs.entries);
        }
    }
    DeviceState state;
    std::string error;
    ASSERT_TRUE(
        ParseDeviceState(std::string("<kelvo-sim>") + cases[0].xml + "</kelvo-sim>", state, error));
    EXPECT_EQ(state.errorLog[0], (Bytes{0x1a, 0, 0, 0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(state.errorLogFrameSize, 2);
    EXPECT_EQ(state.axisCount, 2);
    Simulator sim = MakeSim(state);
    int frames = 0;
    EXPECT_EQ(Download(sim, 0, &frames), state.errorLog[0]);
    EXPECT_EQ(frames, 5);
}

} // namespace
} // namespace kelvo::sim
