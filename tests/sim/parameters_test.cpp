// The simulator's parameter table and its read and write commands, driven
// in-process through the framing and the command table.
#include "kelvo-sim/parameters.h"
#include "sim/sim_helpers.h"

namespace kelvo::sim {
namespace {

Bytes ReadRequest(std::uint16_t command, std::uint16_t index, std::uint8_t sub,
                  std::uint16_t counter = 1) {
    FrameWriter w;
    w.u16(index).u8(sub);
    return Frame(counter, command, w.data());
}

Bytes WriteRequest(std::uint16_t command, std::uint16_t index, std::uint8_t sub,
                   const Bytes& value) {
    FrameWriter w;
    w.u16(index).u8(sub).u8(static_cast<std::uint8_t>(value.size())).bytes(value);
    return Frame(1, command, w.data());
}

// A parameter's error answer: zeroed index and sub-index, then [4][code].
Bytes ParameterError(std::uint16_t status, std::uint32_t code) {
    FrameWriter w;
    w.u8(0).u8(0).u8(0).u8(4).u32(code);
    return Answer(1, status, w.data());
}

TEST(SimulatorParameters, DeviceErrorsOfAccess) {
    struct Case {
        const char* name;
        Bytes request;
        bool loggedIn;
        std::uint16_t status;
        std::uint32_t code;
    };
    const Case cases[] = {
        {"unknown read", ReadRequest(0x0201, 0x7777, 0), false, 0x0211, kUnknownParameterError},
        {"read-only", WriteRequest(0x0202, 0x2000, 0, {1, 2, 3, 4}), true, 0x0221,
         kReadOnlyParameterError},
        {"length", WriteRequest(0x0202, 0x1004, 0, {1, 2}), false, 0x0221, kParameterLengthError},
        {"protected read", ReadRequest(0x0301, 0x3000, 0), false, 0x0311, kLoginMissingError},
        {"short read payload", Frame(1, 0x0201, {1, 0}), false, 0x0211, kBadRequestError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceState state;
        if (c.loggedIn)
            state.sessionUser = "admin";
        Device d(state);
        EXPECT_EQ(d.Ask(c.request), ParameterError(c.status, c.code));
    }
}

TEST(SimulatorParameters, RamWriteLeavesTheStoredValue) {
    Device d;
    EXPECT_EQ(d.Ask(WriteRequest(0x0302, 0x1001, 0, {9})), Answer(1, 0x0320));
    EXPECT_EQ(d.Ask(ReadRequest(0x0301, 0x1001, 0)), Answer(1, 0x0310, {0x01, 0x10, 0, 1, 9}));
    EXPECT_EQ(d.Ask(ReadRequest(0x0201, 0x1001, 0)), Answer(1, 0x0210, {0x01, 0x10, 0, 1, 200}));
    EXPECT_EQ(d.Ask(WriteRequest(0x0202, 0x1001, 0, {11})), Answer(1, 0x0220));
    EXPECT_EQ(d.Ask(ReadRequest(0x0301, 0x1001, 0)), Answer(1, 0x0310, {0x01, 0x10, 0, 1, 11}));
    EXPECT_EQ(d.State().parameters.at(ParameterKey(0x1001, 0)).eeprom, Bytes{11});
}

TEST(SimulatorParameters, StateFileReplacesTheTable) {
    DeviceState state;
    ASSERT_TRUE(Parses(R"(<kelvo-sim><parameters>
        <parameter index="0x10" sub="2" type="u2" value="0xBEEF"/>
        <parameter index="17" type="3" value="-2" writable="0" login="1"/>
        <parameter index="18" type="r4" value="0.25"/>
        <parameter index="19" type="str" value="caf&#xE9;"/>
        <parameter index="20" type="u8"/>
        </parameters></kelvo-sim>)",
                       state));
    ASSERT_EQ(state.parameters.size(), 5u);
    const Parameter& word = state.parameters.at(ParameterKey(0x10, 2));
    EXPECT_EQ(word.type, 18);
    EXPECT_EQ(word.eeprom, (Bytes{0xEF, 0xBE}));
    EXPECT_EQ(word.ram, word.eeprom);
    EXPECT_TRUE(word.writable);
    const Parameter& protectedInt = state.parameters.at(ParameterKey(17, 0));
    EXPECT_EQ(protectedInt.eeprom, (Bytes{0xFE, 0xFF, 0xFF, 0xFF}));
    EXPECT_FALSE(protectedInt.writable);
    EXPECT_TRUE(protectedInt.needsLogin);
    EXPECT_EQ(state.parameters.at(ParameterKey(18, 0)).eeprom, (Bytes{0, 0, 0x80, 0x3E}));
    EXPECT_EQ(state.parameters.at(ParameterKey(19, 0)).eeprom, (Bytes{'c', 'a', 'f', 0xE9}));
    EXPECT_EQ(state.parameters.at(ParameterKey(20, 0)).eeprom, Bytes(8, 0));
}

} // namespace
} // namespace kelvo::sim
