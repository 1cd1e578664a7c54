// The simulator's parameter table and its read and write commands, driven
// in-process through the framing and the command table.
#include "kelvo-sim/commands.h"
#include "kelvo-sim/device.h"
#include "kelvo-sim/framing.h"
#include "kelvo-sim/parameters.h"
#include "kelvo-sim/simulator.h"

#include "protocol/bytes.h"
#include "support/scripted_transport.h"

#include <gtest/gtest.h>

#include <string>

namespace kelvo::sim {
namespace {

Bytes ReadRequest(std::uint16_t command, std::uint16_t index, std::uint8_t sub,
                  std::uint16_t counter = 1) {
    FrameWriter w;
    w.u8(0).u16(counter).u8(5).u16(command).u16(index).u8(sub);
    return std::move(w.data());
}

Bytes WriteRequest(std::uint16_t command, std::uint16_t index, std::uint8_t sub, const Bytes& value,
                   std::uint16_t counter = 1) {
    FrameWriter w;
    w.u8(0).u16(counter).u8(static_cast<std::uint8_t>(value.size() + 6)).u16(command);
    w.u16(index).u8(sub).u8(static_cast<std::uint8_t>(value.size())).bytes(value);
    return std::move(w.data());
}

// Answer header (node 0, counter 1) with the status word, then the data.
Bytes Answer(std::uint16_t status, const Bytes& data, std::uint16_t counter = 1) {
    FrameWriter w;
    w.u8(0).u16(counter).u8(static_cast<std::uint8_t>(2 + data.size())).u16(status).bytes(data);
    return std::move(w.data());
}
Bytes ErrorAnswer(std::uint16_t status, std::uint32_t code) {
    FrameWriter w;
    w.u8(0).u8(0).u8(0).u8(4).u32(code);
    return Answer(status, w.data());
}

class Device {
public:
    explicit Device(DeviceState state = {}, LinkKind link = LinkKind::Tcp)
        : sim_(std::move(state), DefaultCommands()), link_(link),
          assembler_(link == LinkKind::Serial, sim_.Commands()) {}

    Bytes Send(const Bytes& bytes) {
        assembler_.Feed(bytes);
        Bytes all;
        while (std::optional<IncomingFrame> in = assembler_.Next()) {
            const Outcome out = sim_.Handle(link_, *in);
            all.insert(all.end(), out.bytes.begin(), out.bytes.end());
        }
        return all;
    }
    Simulator& sim() { return sim_; }

private:
    Simulator sim_;
    LinkKind link_;
    FrameAssembler assembler_;
};

TEST(SimulatorParameters, ReadAnswersIndexSubIndexLengthAndValue) {
    Device d;
    // 0x1004/0 is the i4 -123456 = 0xFFFE1DC0.
    EXPECT_EQ(d.Send(ReadRequest(0x0201, 0x1004, 0)),
              Answer(0x0210, {0x04, 0x10, 0x00, 4, 0xC0, 0x1D, 0xFE, 0xFF}));
    EXPECT_EQ(d.Send(ReadRequest(0x0301, 0x1003, 0)),
              Answer(0x0310, {0x03, 0x10, 0x00, 2, 0x31, 0xD4}));
    EXPECT_EQ(d.Send(ReadRequest(0x0201, 0x100A, 1)), Answer(0x0210, {0x0A, 0x10, 0x01, 0}));
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
        {"unknown write", WriteRequest(0x0302, 0x1004, 9, {1, 2, 3, 4}), false, 0x0321,
         kUnknownParameterError},
        {"read-only", WriteRequest(0x0202, 0x2000, 0, {1, 2, 3, 4}), true, 0x0221,
         kReadOnlyParameterError},
        {"length", WriteRequest(0x0202, 0x1004, 0, {1, 2}), false, 0x0221, kParameterLengthError},
        {"protected read", ReadRequest(0x0301, 0x3000, 0), false, 0x0311, kLoginMissingError},
        {"protected write", WriteRequest(0x0202, 0x3000, 1, {'x'}), false, 0x0221,
         kLoginMissingError},
        {"short read payload", {0, 1, 0, 4, 0x01, 0x02, 1, 0}, false, 0x0211, kBadRequestError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceState state;
        if (c.loggedIn)
            state.sessionUser = "admin";
        Device d(state);
        Bytes request = c.request;
        request[1] = 1; // counter 1 in every request
        EXPECT_EQ(d.Send(request), ErrorAnswer(c.status, c.code));
    }
}

TEST(SimulatorParameters, ProtectedParameterWithSession) {
    DeviceState state;
    state.sessionUser = "admin";
    Device d(state);
    EXPECT_EQ(d.Send(WriteRequest(0x0202, 0x3000, 0, {7, 0, 0, 0})), Answer(0x0220, {}));
    EXPECT_EQ(d.Send(ReadRequest(0x0201, 0x3000, 0)), Answer(0x0210, {0, 0x30, 0, 4, 7, 0, 0, 0}));
}

TEST(SimulatorParameters, RamWriteLeavesTheStoredValue) {
    Device d;
    EXPECT_EQ(d.Send(WriteRequest(0x0302, 0x1001, 0, {9})), Answer(0x0320, {}));
    EXPECT_EQ(d.Send(ReadRequest(0x0301, 0x1001, 0)), Answer(0x0310, {0x01, 0x10, 0, 1, 9}));
    EXPECT_EQ(d.Send(ReadRequest(0x0201, 0x1001, 0)), Answer(0x0210, {0x01, 0x10, 0, 1, 200}));
    EXPECT_EQ(d.Send(WriteRequest(0x0202, 0x1001, 0, {11})), Answer(0x0220, {}));
    EXPECT_EQ(d.Send(ReadRequest(0x0301, 0x1001, 0)), Answer(0x0310, {0x01, 0x10, 0, 1, 11}));
    EXPECT_EQ(d.sim().State().parameters.at(ParameterKey(0x1001, 0)).eeprom, Bytes{11});
}

TEST(SimulatorParameters, LongStringsWithAWrappedLengthByteAreFramed) {
    for (LinkKind link : {LinkKind::Tcp, LinkKind::Serial}) {
        for (std::size_t length : {249u, 250u, 255u}) {
            SCOPED_TRACE(length);
            Device d({}, link);
            const Bytes text(length, 'z');
            Bytes request = WriteRequest(0x0202, 0x100A, 0, text);
            Bytes follow = ReadRequest(0x0201, 0x1001, 0, 2);
            if (link == LinkKind::Serial) {
                request = test::SerialWrap(1, request);
                follow = test::SerialWrap(1, follow);
            }
            // Both requests in one piece: the second is found after the long one.
            Bytes both = request;
            both.insert(both.end(), follow.begin(), follow.end());
            const Bytes answers = d.Send(both);
            Bytes expected = Answer(0x0220, {});
            Bytes second = Answer(0x0210, {0x01, 0x10, 0, 1, 200}, 2);
            if (link == LinkKind::Serial) {
                expected = test::SerialWrap(1, expected);
                second = test::SerialWrap(1, second);
            }
            expected.insert(expected.end(), second.begin(), second.end());
            EXPECT_EQ(answers, expected);
            EXPECT_EQ(d.sim().State().parameters.at(ParameterKey(0x100A, 0)).ram, text);
        }
    }
}

TEST(SimulatorParameters, ReadOf255ByteStringWrapsTheAnswerLengthByte) {
    DeviceState state;
    state.parameters[ParameterKey(1, 0)] = {8, Bytes(255, 'q'), Bytes(255, 'q'), true, false};
    Device d(state);
    const Bytes answer = d.Send(ReadRequest(0x0201, 1, 0));
    ASSERT_EQ(answer.size(), 10u + 255u);
    EXPECT_EQ(answer[3], (2 + 4 + 255) % 256);
    EXPECT_EQ(answer[9], 255);
}

TEST(SimulatorParameters, StateFileReplacesTheTable) {
    DeviceState state;
    std::string error;
    ASSERT_TRUE(ParseDeviceState(R"(<kelvo-sim><parameters>
        <parameter index="0x10" sub="2" type="u2" value="0xBEEF"/>
        <parameter index="17" type="3" value="-2" writable="0" login="1"/>
        <parameter index="18" type="r4" value="0.25"/>
        <parameter index="19" type="str" value="caf&#xE9;"/>
        <parameter index="20" type="u8"/>
        </parameters></kelvo-sim>)",
                                 state, error))
        << error;
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

TEST(SimulatorParameters, StateFileRefusals) {
    const char* bad[] = {
        R"(<kelvo-sim><parameters><parameter index="1" type="i5" value="1"/></parameters></kelvo-sim>)",
        R"(<kelvo-sim><parameters><parameter type="i4" value="1"/></parameters></kelvo-sim>)",
        R"(<kelvo-sim><parameters><parameter index="1" type="i1" value="128"/></parameters></kelvo-sim>)",
        R"(<kelvo-sim><parameters><parameter index="1" type="u2" value="-1"/></parameters></kelvo-sim>)",
        R"(<kelvo-sim><parameters><parameter index="1" type="i4" value="x"/></parameters></kelvo-sim>)",
        R"(<kelvo-sim><parameters><parameter index="1" type="r4" value="1e39"/></parameters></kelvo-sim>)",
        R"(<kelvo-sim><parameters><parameter index="70000" type="i4" value="1"/></parameters></kelvo-sim>)",
        R"(<kelvo-sim><parameters><parameter index="1" type="i4" value="1" colour="red"/></parameters></kelvo-sim>)",
        R"(<kelvo-sim><parameters><param index="1" type="i4" value="1"/></parameters></kelvo-sim>)",
        R"(<kelvo-sim><parameters><parameter index="1" type="i4" value="1"/><parameter index="1" type="u1" value="1"/></parameters></kelvo-sim>)",
    };
    for (const char* xml : bad) {
        DeviceState state;
        std::string error;
        EXPECT_FALSE(ParseDeviceState(xml, state, error)) << xml;
        EXPECT_FALSE(error.empty()) << xml;
    }
}

TEST(SimulatorParameters, TypeNamesAndNumbers) {
    std::uint16_t type = 0;
    EXPECT_TRUE(ParseParameterType("u8", type));
    EXPECT_EQ(type, 21);
    EXPECT_TRUE(ParseParameterType("0x10", type));
    EXPECT_EQ(type, 16);
    EXPECT_FALSE(ParseParameterType("11", type)); // VT_BOOL is no parameter type
    EXPECT_FALSE(ParseParameterType("65544", type));
    EXPECT_FALSE(ParseParameterType("", type));
}

} // namespace
} // namespace kelvo::sim
