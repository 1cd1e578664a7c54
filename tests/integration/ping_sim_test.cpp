// Ping end to end: the Kelvo object through the Linux transport against
// kelvo-sim, and the kelvo tool, with items of every kind of value.
#include "integration/sim_link.h"
#include "support/run_program.h"

namespace kelvo::test {
namespace {

// Text, unsigned, signed, boolean, float, double, a placeholder and a type
// the component does not know.
constexpr char kState[] = R"(<kelvo-sim>
  <ping>
    <item key="1" type="0x00070009" text="drive &quot;A&quot;"/>
    <item key="2" type="0x00060007" value="a0860100"/>
    <item key="3" type="0x00030004" value="feffffff"/>
    <item key="4" type="1" value="01"/>
    <item key="5" type="0x00120008" value="0000c03f"/>
    <item key="6" type="0xFFFF0011" value="000000000000f8bf"/>
    <item key="7" type="0" value=""/>
    <item key="8" type="0x00000002" value="0102"/>
  </ping>
</kelvo-sim>)";
constexpr char kItems[] = R"({ "1":"drive "A"", "2":100000, "3":-2, "4":true, "5":1.500000, )"
                          R"("6":-1.500000, "7":"?", "8":null })";

using PingAgainstSim = SimTest;

TEST_F(PingAgainstSim, ItemsThroughTheObjectAndTheTool) {
    SimProcess sim;
    auto d = Start(sim, Link::Tcp, "127.0.109.21", {"--state", File("state.xml", kState)});
    Bstr text;
    ASSERT_EQ((*d)->Ping(0, text.out()), S_OK) << (*d)->errorCode;
    EXPECT_EQ(Utf16ToUtf8(text.view()), kItems);
    d.reset(); // the simulator serves one client at a time

    const ProgramOutcome tool =
        RunProgram({KELVO_BIN_DIR "/kelvo", "-c", "TCPIP:127.0.109.21/17221,3000", "ping", "3000"});
    EXPECT_EQ(tool.status, 0) << Describe(tool);
    EXPECT_EQ(tool.out, std::string(kItems) + "\n");
}

} // namespace
} // namespace kelvo::test
