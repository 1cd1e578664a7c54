// The simulator's data areas (data blocks, the safety block, safety objects,
// the SSC buffer), its device commands, its error log and its parameter table,
// answered in-process byte by byte through the framing and the command table,
// and their state-file sections.
#include "kelvo-sim/data_areas.h"
#include "kelvo-sim/parameters.h"
#include "sim/sim_helpers.h"

namespace kelvo::sim {
namespace {

Bytes Range(std::uint8_t rt, std::uint8_t type, std::uint16_t idx, std::uint32_t sub,
            std::uint32_t offset, std::uint32_t length, const Bytes& data = {}) {
    FrameWriter w;
    w.u8(rt).u8(type).u16(idx).u32(sub).u32(offset).u32(length).bytes(data);
    return std::move(w.data());
}

Bytes ReadRequest(std::uint16_t command, std::uint16_t index, std::uint8_t sub) {
    FrameWriter w;
    w.u16(index).u8(sub);
    return Frame(1, command, w.data());
}

Bytes WriteRequest(std::uint16_t command, std::uint16_t index, std::uint8_t sub,
                   const Bytes& value) {
    FrameWriter w;
    w.u16(index).u8(sub).u8(static_cast<std::uint8_t>(value.size())).bytes(value);
    return Frame(1, command, w.data());
}

// Refused requests: the whole error answer, in the form of its command, and
// nothing changed. Reads and writes that succeed run against the component in
// DataAgainstSim, the error log in CommandsAgainstSim; unknown and protected
// parameters are refused with their codes in the Python package's tests and
// ParametersAgainstSim.
TEST(SimulatorDevice, RefusalsAnswerInTheFormOfTheirCommandAndChangeNothing) {
    struct Case {
        const char* what;
        Bytes request;
        Bytes answer;
        bool loggedIn = false;
    };
    const Case cases[] = {
        {"save with a payload", Frame(1, 0x300E, {0x99}), ErrorAnswer(1, 0x30E1, kBadRequestError)},
        // The error word of the rule for a command the device does not know.
        {"unknown command", Frame(1, 0x0F0C, {3}), ErrorAnswer(1, 0x0FC1, kUnknownCommandError)},
        {"read of an unknown block", Frame(1, 0x1003, Range(1, 2, 3, 5, 0, 1)),
         ErrorAnswer(1, 0x1031, kUnknownBlockError)},
        {"read past the end", Frame(1, 0x1003, Range(1, 2, 3, 4, 61, 4)),
         ErrorAnswer(1, 0x1031, kDataRangeError)},
        {"write past the end", Frame(1, 0x1004, Range(1, 2, 3, 4, 63, 2, {1, 2})),
         ErrorAnswer(1, 0x0221, kDataRangeError)},
        {"SSC read beyond the buffer", Frame(1, 0x1001, {0xFF, 0, 0, 0, 2}),
         ErrorAnswer(1, 0x1011, kDataRangeError)},
        {"safety write of 39 bytes", Frame(1, 0x5001, Bytes(39, 7)),
         ErrorAnswer(1, 0x5011, kBadRequestError)},
        // The error follows the rest of the 14-byte header.
        {"unknown safety object", Frame(1, 0x5003, {0x00, 0x60, 2}),
         ErrorAnswer(1, 0x5031, kUnknownSafeObjectError, Bytes(8, 0))},
        // Reset: the seventh header byte, then the code without a length byte.
        {"reset", Frame(1, 0x0401, {1}), Answer(1, 0x0411, {0, 0x02, 0x00, 0x00, 0x0A})},
        // Axis 4 of 4: length byte and code.
        {"reset error of axis 4", Frame(1, 0x040C, {4}),
         Answer(1, 0x04C1, {4, 0x04, 0x00, 0x00, 0x0A})},
        // One past the log's last entry is the first index refused.
        {"error log entry 3", Frame(1, 0x040B, {3, 0, 1}),
         Answer(1, 0x04B1, {3, 0, 0, 4, 0x03, 0x00, 0x00, 0x0A})},
        // Parameters: a zeroed index and sub-index before the code.
        {"read-only parameter", WriteRequest(0x0202, 0x2000, 0, {1, 2, 3, 4}),
         ErrorAnswer(1, 0x0221, kReadOnlyParameterError, Bytes(3, 0)), true},
        {"parameter length", WriteRequest(0x0202, 0x1004, 0, {1, 2}),
         ErrorAnswer(1, 0x0221, kParameterLengthError, Bytes(3, 0))},
        {"short parameter read", Frame(1, 0x0201, {1, 0}),
         ErrorAnswer(1, 0x0211, kBadRequestError, Bytes(3, 0))},
    };
    for (const Case& c : cases) {
        DeviceState state;
        if (c.loggedIn)
            state.sessionUser = "admin";
        Device d(state);
        EXPECT_EQ(d.Ask(c.request), c.answer) << c.what;
        EXPECT_EQ(d.State().data.blocks, state.data.blocks) << c.what;
        EXPECT_EQ(d.State().errorResetCount, 0u) << c.what;
        EXPECT_EQ(d.State().saveCount, 0u) << c.what;
    }
}

TEST(SimulatorDataBlocks, AWriteWhoseLengthByteWrappedIsFramedByItsLenField) {
    DeviceState state;
    state.data.blocks[{9, 9, 9, 9}] = Bytes(400, 0);
    Device device(state);
    Bytes write = Frame(0, 0x1004, Range(9, 9, 9, 9, 10, 300, Bytes(300, 7)));
    EXPECT_EQ(write[3], (18 + 300) % 256);
    // A save right behind it is still seen as a frame of its own.
    EXPECT_EQ(device.Ask(Join({write, Frame(1, 0x300E)})),
              (Bytes{0, 0, 0, 2, 0x40, 0x10, 0, 1, 0, 2, 0xE0, 0x30}));
    const Bytes block = device.State().data.blocks.at({9, 9, 9, 9});
    EXPECT_EQ(Bytes(block.begin() + 10, block.begin() + 310), Bytes(300, 7));
}

// The data, error-log and parameter sections of a state file replace the
// defaults; blocks are padded to their size.
TEST(SimulatorState, SectionsReplaceTheDefaults) {
    DeviceState empty, wrongIndex, state;
    ASSERT_TRUE(Parses(R"(<kelvo-sim><errorLog empty="1"/></kelvo-sim>)", empty));
    EXPECT_TRUE(empty.errorLog.empty());
    // The built-in log stays; only the second request echoes a wrong index.
    ASSERT_TRUE(Parses(R"(<kelvo-sim><errorLog wrongIndexAt="2"/></kelvo-sim>)", wrongIndex));
    EXPECT_EQ(wrongIndex.errorLog.size(), 3u);
    Device echo(wrongIndex);
    for (std::uint16_t n : {1, 2, 3})
        EXPECT_EQ(ldle_u16(&echo.Ask(Frame(n, 0x040B, {1, 0, 1}))[6]), n == 2 ? 2 : 1);
    ASSERT_TRUE(Parses(R"(<kelvo-sim><data>
        <block rtNum="2" dbType="0x10" dbIdx="300" dbSubIdx="70000" size="6" bytes="0a 0b0c"/>
        <safety bytes="00010203040506070809101112131415161718192021222324252627282930
                       313233343536373839"/>
        <object index="0x7000" subIndex="3" value="0xFFFFFFFF"/>
        <ssc bytes="aabb"/>
      </data><errorLog frameSize="2" axes="2"><entry>1a000000 0102 03 04
       05</entry><entry/></errorLog><parameters>
        <parameter index="0x10" sub="2" type="u2" value="0xBEEF"/>
        <parameter index="17" type="3" value="-2" writable="0" login="1"/>
        <parameter index="20" type="u8"/>
        </parameters></kelvo-sim>)",
                       state));
    ASSERT_EQ(state.data.blocks.size(), 1u);
    EXPECT_EQ(state.data.blocks.at({2, 0x10, 300, 70000}), (Bytes{10, 11, 12, 0, 0, 0}));
    EXPECT_EQ(state.data.safety[39], 0x39);
    ASSERT_EQ(state.data.safeObjects.size(), 1u);
    EXPECT_EQ(state.data.safeObjects.at(SafeObjectKey(0x7000, 3)), 0xFFFFFFFFu);
    EXPECT_EQ(state.data.ssc, (Bytes{0xAA, 0xBB}));

    ASSERT_EQ(state.errorLog.size(), 2u);
    EXPECT_EQ(state.errorLog[0], (Bytes{0x1a, 0, 0, 0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(state.errorLogFrameSize, 2);
    EXPECT_EQ(state.axisCount, 2);
    // Frames of 2 bytes: [index][filler][more][length][data].
    Device d(state);
    EXPECT_EQ(d.Ask(Frame(1, 0x040B, {0, 0, 1})), Answer(1, 0x04B0, {0, 0, 0, 1, 2, 0x1a, 0}));
    EXPECT_EQ(d.Ask(Frame(1, 0x040B, {0, 0, 5})), Answer(1, 0x04B0, {0, 0, 0, 0, 1, 5}));

    ASSERT_EQ(state.parameters.size(), 3u);
    const Parameter& word = state.parameters.at(ParameterKey(0x10, 2));
    EXPECT_EQ(word.type, 18);
    EXPECT_EQ(word.eeprom, (Bytes{0xEF, 0xBE}));
    EXPECT_EQ(word.ram, word.eeprom);
    EXPECT_TRUE(word.writable);
    const Parameter& protectedInt = state.parameters.at(ParameterKey(17, 0));
    EXPECT_EQ(protectedInt.eeprom, (Bytes{0xFE, 0xFF, 0xFF, 0xFF}));
    EXPECT_FALSE(protectedInt.writable);
    EXPECT_TRUE(protectedInt.needsLogin);
    EXPECT_EQ(state.parameters.at(ParameterKey(20, 0)).eeprom, Bytes(8, 0));
}

// A RAM write leaves the stored value in the kelvo tool's tests (KelvoToolData);
// a write of the stored value reaches the RAM too.
TEST(SimulatorParameters, StoredWriteReachesTheRam) {
    Device d;
    EXPECT_EQ(d.Ask(WriteRequest(0x0202, 0x1001, 0, {11})), Answer(1, 0x0220));
    EXPECT_EQ(d.Ask(ReadRequest(0x0301, 0x1001, 0)), Answer(1, 0x0310, {0x01, 0x10, 0, 1, 11}));
}

} // namespace
} // namespace kelvo::sim
