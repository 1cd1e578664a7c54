// The simulator's device commands and error log, driven in-process.
#include "sim/sim_helpers.h"

namespace kelvo::sim {
namespace {

TEST(SimDeviceCommands, ErrorAnswersHaveTheCommandsForm) {
    Device d;
    // Reset: the seventh header byte, then the code without a length byte.
    EXPECT_EQ(d.Ask(Frame(1, 0x0401, {1})), Answer(1, 0x0411, {0, 0x02, 0x00, 0x00, 0x0A}));
    // Axis 4 of 4: length byte and code.
    EXPECT_EQ(d.Ask(Frame(2, 0x040C, {4})), Answer(2, 0x04C1, {4, 0x04, 0x00, 0x00, 0x0A}));
    EXPECT_EQ(d.State().errorResetCount, 0u);
}

// Reads every frame of one entry the way the component does.
Bytes Download(Device& d, std::uint16_t index, int* frames) {
    Bytes record;
    for (std::uint8_t frame = 1;; ++frame) {
        const Bytes answer = d.Ask(Frame(
            frame, 0x040B,
            {static_cast<std::uint8_t>(index), static_cast<std::uint8_t>(index >> 8), frame}));
        EXPECT_GE(answer.size(), 11u);
        if (answer.size() < 11)
            return record;
        EXPECT_EQ(Status(answer), 0x04B0);
        EXPECT_EQ(ldle_u16(&answer[6]), index);
        EXPECT_EQ(answer.size(), 11u + answer[10]);
        record.insert(record.end(), answer.begin() + 11, answer.end());
        *frames = frame;
        if (!answer[9])
            return record;
    }
}

// The log runs end to end in CommandsAgainstSim; one past its last entry is
// the first index the device refuses.
TEST(SimErrorLog, EntryPastTheEndIsRefused) {
    Device d;
    EXPECT_EQ(d.Ask(Frame(1, 0x040B, {3, 0, 1})),
              Answer(1, 0x04B1, {3, 0, 0, 4, 0x03, 0x00, 0x00, 0x0A}));
}

TEST(SimErrorLog, WrongIndexEchoOnTheChosenRequest) {
    DeviceState state;
    state.errorLogWrongIndexAt = 2;
    Device d(state);
    EXPECT_EQ(ldle_u16(&d.Ask(Frame(1, 0x040B, {1, 0, 1}))[6]), 1);
    EXPECT_EQ(ldle_u16(&d.Ask(Frame(2, 0x040B, {1, 0, 2}))[6]), 2);
    EXPECT_EQ(ldle_u16(&d.Ask(Frame(3, 0x040B, {1, 0, 2}))[6]), 1);
}

TEST(SimErrorLog, StateFileSection) {
    DeviceState empty, wrongIndex, state;
    ASSERT_TRUE(Parses(R"(<kelvo-sim><errorLog empty="1"/></kelvo-sim>)", empty));
    EXPECT_TRUE(empty.errorLog.empty());
    ASSERT_TRUE(Parses(R"(<kelvo-sim><errorLog wrongIndexAt="5"/></kelvo-sim>)", wrongIndex));
    EXPECT_EQ(wrongIndex.errorLog.size(), 3u);
    EXPECT_EQ(wrongIndex.errorLogWrongIndexAt, 5u);

    ASSERT_TRUE(Parses("<kelvo-sim><errorLog frameSize=\"2\" axes=\"2\">"
                       "<entry>1a000000 0102 03 04\n 05</entry><entry/></errorLog></kelvo-sim>",
                       state));
    ASSERT_EQ(state.errorLog.size(), 2u);
    EXPECT_EQ(state.errorLog[0], (Bytes{0x1a, 0, 0, 0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(state.errorLogFrameSize, 2);
    EXPECT_EQ(state.axisCount, 2);
    Device d(state);
    int frames = 0;
    EXPECT_EQ(Download(d, 0, &frames), state.errorLog[0]);
    EXPECT_EQ(frames, 5);
}

} // namespace
} // namespace kelvo::sim
