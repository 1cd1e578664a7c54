// The simulator's framing, command handling, state file, fault plans, discovery
// answer and ping, driven in-process, and the built binary. Every fault kind,
// its start, count and command filter run against the component in the fault
// matrix and in KelvoToolSimulator. Loading a state file by name and the
// wrapped length byte of long answers and parameter writes run end to end
// (DataAgainstSim, the fault matrix); a long data-block write only here.
#include "sim/sim_helpers.h"

#include "discovery/scan_udp.h"
#include "kelvo-sim/discovery.h"
#include "kelvo-sim/faults.h"
#include "support/sim_device.h"
#include "support/sim_process.h"
#include "support/temp_folder.h"

#include <signal.h>

#include <filesystem>
#include <fstream>

namespace kelvo::sim {
namespace {

using test::SimProcess;

// Node 3, serial address 5.
DeviceState Node3() {
    DeviceState state;
    state.node = 3;
    state.serialAddress = 5;
    return state;
}

// Fed byte by byte, requests are answered in order with the device's own node
// or serial address (the fault matrix saves over both links through the
// component). A serial request with a wrong CRC and those to other addresses
// are never answered; TCP frames of length 0 and 1 are skipped.
TEST(SimulatorFraming, RequestsSplitAnywhereOrJoinedAreAnsweredInOrder) {
    for (bool serial : {false, true}) {
        Device device(Node3(), serial ? LinkKind::Serial : LinkKind::Tcp);
        Bytes stream = serial ? Bytes{} : Bytes{0, 1, 0, 0, 0, 2, 0, 1, 0x0e};
        const std::uint8_t addresses[] = {5, 255, 6, 0, 5};
        for (std::uint16_t counter = 0; counter < 5; ++counter) {
            Bytes frame = Frame(counter, 0x300E);
            if (serial) {
                frame = test::SerialWrap(addresses[counter], frame);
                frame.back() ^= counter == 0 ? 1 : 0;
            }
            stream = Join({stream, frame});
        }
        std::vector<std::uint16_t> counters;
        for (std::uint8_t b : stream) {
            for (const Outcome& out : device.Feed({b})) {
                if (out.bytes.empty())
                    continue;
                EXPECT_EQ(out.bytes[0], serial ? 5 : 3);
                counters.push_back(ldle_u16(out.bytes.data() + (serial ? 2 : 1)));
            }
        }
        const std::vector<std::uint16_t> answered =
            serial ? std::vector<std::uint16_t>{1, 4} : std::vector<std::uint16_t>{0, 1, 2, 3, 4};
        EXPECT_EQ(counters, answered) << "serial " << serial;
        EXPECT_EQ(device.State().saveCount, answered.size());
        EXPECT_EQ(device.sim().Requests(), answered.size());
        EXPECT_EQ(device.Pending(), 0u);
    }
}

// Every section refuses what it does not know, with a reason.
TEST(SimulatorState, RefusesWhatItDoesNotKnow) {
    std::vector<std::string> bad = {
        "<device/>",
        "<kelvo-sim>",
        "<kelvo-sim><table/></kelvo-sim>",
    };
    const char* sections[] = {
        "<identity node='256'/>",
        "<users/>",
        R"(<users><user name="a"/><user name="a"/></users>)",
        R"(<session required="2"/>)",
        R"(<security key="00"/>)",
        R"(<data><block rtNum="256"/></data>)",
        R"(<data><safety bytes="00"/></data>)",
        R"(<data><ssc size="65537"/></data>)",
        R"(<errorLog frameSize="0"/>)",
        R"(<errorLog><entry>123</entry></errorLog>)",
        R"(<discovery ip="10.0.0"/>)",
        R"(<discovery items="1 x"/>)",
        R"(<ping><item key="256" type="1"/></ping>)",
        R"(<ping><item key="1" type="0x100000000"/></ping>)",
        R"(<parameters><parameter index="1" type="i5" value="1"/></parameters>)",
        R"(<parameters><parameter index="1" type="i1" value="128"/></parameters>)",
        R"(<parameters><parameter index="1" type="r4" value="1e39"/></parameters>)",
        R"(<parameters><parameter index="70000" type="i4" value="1"/></parameters>)",
        R"(<parameters><parameter index="1" type="i4"/>)"
        R"(<parameter index="1" type="u1"/></parameters>)",
    };
    for (const char* section : sections)
        bad.push_back(std::string("<kelvo-sim>") + section + "</kelvo-sim>");
    bad.push_back("<kelvo-sim><users><user name=\"" + std::string(256, 'n') +
                  "\"/></users></kelvo-sim>");
    std::string key;
    for (std::size_t i = 0; i < kAdminKeySize; ++i)
        key += i % 2 ? "aB" : "01";
    DeviceState good;
    ASSERT_TRUE(Parses("<kelvo-sim><security adminKey=\"" + key + "\"/></kelvo-sim>", good));
    EXPECT_EQ(good.adminKey[0], 0x01);
    EXPECT_EQ(good.adminKey[1], 0xAB);
    for (const std::string& k : {key.substr(1), key + "00", "0x" + key.substr(2),
                                 key.substr(0, 10) + "g" + key.substr(11)})
        bad.push_back("<kelvo-sim><security adminKey=\"" + k + "\"/></kelvo-sim>");

    for (const std::string& xml : bad) {
        DeviceState state;
        EXPECT_FALSE(Parses(xml, state)) << xml;
        EXPECT_EQ(state.users.size(), 1u) << "the default table stays: " << xml;
    }
}

// The control line syntax of fault plans changed while the simulator runs: a
// refused line names its reason and leaves the plan as it was.
TEST(FaultPlanLine, ParsesOrRefusesWithThePlanUnchanged) {
    struct Case {
        const char* line;
        std::size_t faults;
        std::uint64_t at;
        std::uint64_t count;
        int command; // -1: any
    };
    const Case cases[] = {
        {"fault cut:7 at 2 count 1 command 0x0201", 1, 2, 1, 0x0201},
        {"  fault delay:300\tfault bad-crc  ", 2, 1, 0, -1},
        {"clear", 0, 1, 0, -1},
        {"fault device-error:4294967295 fault wrong-address", 2, 1, 0, -1},
    };
    const auto preset = [] {
        FaultPlan plan;
        plan.faults.push_back({FaultKind::Silent, 0});
        plan.firstRequest = 9;
        return plan;
    };
    std::string error;
    for (const Case& c : cases) {
        FaultPlan plan = preset();
        ASSERT_TRUE(ParseFaultPlan(c.line, plan, error)) << c.line << ": " << error;
        EXPECT_EQ(plan.faults.size(), c.faults) << c.line;
        EXPECT_EQ(plan.firstRequest, c.at) << c.line;
        EXPECT_EQ(plan.count, c.count) << c.line;
        EXPECT_EQ(plan.command ? *plan.command : -1, c.command) << c.line;
    }
    for (const char* line :
         {"", "fault loud", "fault silent at 0", "fault silent command 0x10000",
          "fault silent every 2", "fault delay:-5", "fault device-error:4294967296"}) {
        FaultPlan plan = preset();
        error.clear();
        EXPECT_FALSE(ParseFaultPlan(line, plan, error)) << line;
        EXPECT_FALSE(error.empty()) << line;
        EXPECT_EQ(plan.firstRequest, 9u) << line;
    }
}

std::string Line(const Bytes& datagram) {
    std::string text;
    discovery::RenderScanAnswer(datagram, text);
    return text;
}

// The configured items run end to end in ScanLoopback.SimulatorAnswersWithItsItems.
TEST(SimulatorDiscovery, DefaultsUseTheStartAddress) {
    EXPECT_EQ(Line(DiscoveryAnswer(DeviceState{}, discovery::ScanRequest(0), "127.0.0.7")),
              "127.0.0.7\t255.255.255.0\t0.0.0.0\t0\tkelvo-sim\tKS-000001\t10000\t02:00:00:00:00:"
              "01\t\n");
    // Only a request (kind 1) is answered, a short one too (time 0).
    EXPECT_TRUE(DiscoveryAnswer(DeviceState{}, Bytes{2, 0, 0, 0}, "127.0.0.2").empty());
    EXPECT_TRUE(DiscoveryAnswer(DeviceState{}, Bytes{}, "127.0.0.2").empty());
    EXPECT_FALSE(DiscoveryAnswer(DeviceState{}, Bytes{1}, "127.0.0.2").empty());
}

// The items run end to end in PingAgainstSim.ItemsThroughTheObjectAndTheTool.
TEST(SimulatorPing, KeepsTheBlinkTimeWithoutASessionAndRefusesOtherPayloads) {
    DeviceState state;
    ASSERT_TRUE(Parses(R"(<kelvo-sim><session required="1"/><ping/></kelvo-sim>)", state));
    Device d(state);
    EXPECT_EQ(d.Ask(Frame(4, 0x0101, {0xB8, 0x0B})), Answer(4, 0x0110, {0}));
    EXPECT_EQ(d.State().network.lastBlink, 3000);
    EXPECT_EQ(d.State().network.pings, 1u);
    EXPECT_EQ(d.Ask(Frame(5, 0x0101, {1})), ErrorAnswer(5, 0x0111, kBadRequestError));
}

// The built binary as a program: its comN link, signals, options. TLS, the
// serial line through its comN link, the plant of many devices and one client
// at a time run end to end in the integration and kelvo tool tests.
TEST(SimProcess, RemovesItsComLinkOnSigterm) {
    const test::TempFolder folder("sim-process");
    const std::string devices = folder / "devices";
    SimProcess sim;
    ASSERT_TRUE(
        sim.Start({"--no-tcp", "--no-tls", "--link-com", "3"}, {"KELVO_DEVICES=" + devices}));
    std::string link = devices + "/com3";
    EXPECT_EQ(sim.Line("com"), link);
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.Line("serial"));
    EXPECT_EQ(sim.WaitExit(SIGTERM), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(link));
}

TEST(SimProcess, EndsByItselfAfterMaxRequests) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.91.5", "--no-tls", "--max-requests", "2"}));
    test::SimDevice device(u"TCPIP:127.0.91.5/17221,3000");
    EXPECT_EQ(device->Save_Command(), S_OK);
    EXPECT_EQ(device->Save_Command(), S_OK);
    EXPECT_EQ(sim.WaitExit(), 0);
}

TEST(SimProcess, RefusesBadOptionsAndStateFiles) {
    const test::TempFolder folder("sim-bad-state");
    std::ofstream(folder / "state.xml") << "<kelvo-sim><identity node='300'/></kelvo-sim>";
    for (const auto& [args, status] :
         {std::pair<std::vector<std::string>, int>{{"--fault", "loud", "--no-tcp", "--no-tls"}, 2},
          {{"--node", "256"}, 2},
          {{"--state", folder / "state.xml", "--no-tcp", "--no-tls"}, 1}}) {
        SimProcess sim;
        ASSERT_TRUE(sim.Spawn(args));
        EXPECT_EQ(sim.WaitExit(), status) << args[0] << " " << args[1];
    }
}

} // namespace
} // namespace kelvo::sim
