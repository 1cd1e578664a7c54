// The simulator's data areas: data blocks, the safety block, safety objects and
// the SSC buffer, answered in-process byte by byte, and their state-file section.
#include "kelvo-sim/data_areas.h"
#include "sim/sim_helpers.h"

namespace kelvo::sim {
namespace {

Bytes Range(std::uint8_t rt, std::uint8_t type, std::uint16_t idx, std::uint32_t sub,
            std::uint32_t offset, std::uint32_t length, const Bytes& data = {}) {
    FrameWriter w;
    w.u8(rt).u8(type).u16(idx).u32(sub).u32(offset).u32(length).bytes(data);
    return std::move(w.data());
}

Bytes Counting(std::size_t n, std::uint8_t start = 0) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(start + i);
    return b;
}

// The device code of an error answer whose 5 bytes start at `at`.
std::uint32_t ErrorCode(const Bytes& answer, std::size_t at = 6) {
    return answer.size() >= at + 5 ? ldle_u32(&answer[at + 1]) : 0;
}

// Reads and writes that succeed run against the component in DataAgainstSim.
TEST(SimulatorDataAreas, RefusalsCarryTheirCodesAndChangeNothing) {
    Device device;
    ASSERT_EQ(Status(device.Ask(Frame(0, 0x1004, Range(1, 2, 3, 4, 63, 1, {6})))), 0x1040);

    struct Case {
        const char* what;
        Bytes frame;
        std::uint16_t status;
        std::uint32_t code;
    };
    const Case cases[] = {
        {"read of an unknown block", Frame(2, 0x1003, Range(1, 2, 3, 5, 0, 1)), 0x1031,
         kUnknownBlockError},
        {"read past the end", Frame(2, 0x1003, Range(1, 2, 3, 4, 61, 4)), 0x1031, kDataRangeError},
        {"write past the end", Frame(2, 0x1004, Range(1, 2, 3, 4, 63, 2, {1, 2})), 0x0221,
         kDataRangeError},
        {"SSC read beyond the buffer", Frame(2, 0x1001, {0xFF, 0, 0, 0, 2}), 0x1011,
         kDataRangeError},
        {"safety write of 39 bytes", Frame(2, 0x5001, Counting(39)), 0x5011, kBadRequestError},
    };
    for (const Case& c : cases) {
        const Bytes answer = device.Ask(c.frame);
        EXPECT_EQ(Status(answer), c.status) << c.what;
        EXPECT_EQ(ErrorCode(answer), c.code) << c.what;
    }
    // The refused writes changed nothing.
    EXPECT_EQ(device.State().data.blocks.at({1, 2, 3, 4})[63], 6);
}

TEST(SimulatorDataBlocks, AWriteWhoseLengthByteWrappedIsFramedByItsLenField) {
    DeviceState state;
    state.data.blocks[{9, 9, 9, 9}] = Bytes(400, 0);
    Device device(state);
    Bytes write = Frame(0, 0x1004, Range(9, 9, 9, 9, 10, 300, Counting(300)));
    EXPECT_EQ(write[3], (18 + 300) % 256);
    // A save right behind it is still seen as a frame of its own.
    EXPECT_EQ(device.Ask(Join({write, Frame(1, 0x300E)})),
              (Bytes{0, 0, 0, 2, 0x40, 0x10, 0, 1, 0, 2, 0xE0, 0x30}));
    const Bytes block = device.State().data.blocks.at({9, 9, 9, 9});
    EXPECT_EQ(Bytes(block.begin() + 10, block.begin() + 310), Counting(300));
}

// An unknown safety object: the error answer follows the rest of its 14-byte header.
TEST(SimulatorSafety, UnknownObjectAnswersAfterTheWholeHeader) {
    Device device;
    const Bytes unknown = device.Ask(Frame(6, 0x5003, {0x00, 0x60, 2}));
    ASSERT_EQ(unknown.size(), 19u);
    EXPECT_EQ(Status(unknown), 0x5031);
    EXPECT_EQ(ErrorCode(unknown, 14), kUnknownSafeObjectError);
}

TEST(SimulatorDataState, SectionReplacesBlocksAndObjectsAndPadsToSize) {
    DeviceState state;
    ASSERT_TRUE(Parses(R"(<kelvo-sim><data>
        <block rtNum="2" dbType="0x10" dbIdx="300" dbSubIdx="70000" size="6" bytes="0a 0b0c"/>
        <safety bytes="00010203040506070809101112131415161718192021222324252627282930313233343536373839"/>
        <object index="0x7000" subIndex="3" value="0xFFFFFFFF"/>
        <ssc bytes="aabb"/>
      </data></kelvo-sim>)",
                       state));
    ASSERT_EQ(state.data.blocks.size(), 1u);
    EXPECT_EQ(state.data.blocks.at({2, 0x10, 300, 70000}), (Bytes{10, 11, 12, 0, 0, 0}));
    EXPECT_EQ(state.data.safety[39], 0x39);
    ASSERT_EQ(state.data.safeObjects.size(), 1u);
    EXPECT_EQ(state.data.safeObjects.at(SafeObjectKey(0x7000, 3)), 0xFFFFFFFFu);
    EXPECT_EQ(state.data.ssc, (Bytes{0xAA, 0xBB}));
}

} // namespace
} // namespace kelvo::sim
