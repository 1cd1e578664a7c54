// Device commands, the error log and ping end to end: the Kelvo object and the
// Linux transport against kelvo-sim, the shipped record description, and the
// kelvo tool's ping. Loopback addresses 127.0.106.x and 127.0.109.x. The tool's
// error-log and reset commands: KelvoToolData.
#include "integration/sim_link.h"
#include "support/run_program.h"

#include <pugixml.hpp>

#include <map>

namespace kelvo::test {
namespace {

namespace fs = std::filesystem;

const std::string kDescriptions = KELVO_SOURCE_DIR "/tools/kelvo-sim/errorlog";

// Field name -> value attribute of a decoded file.
std::map<std::string, std::string> Fields(const std::string& file) {
    pugi::xml_document doc;
    EXPECT_TRUE(doc.load_file(file.c_str())) << file;
    std::map<std::string, std::string> fields;
    for (pugi::xml_node group : doc.document_element().children("Group")) {
        for (pugi::xml_node element : group.children("Element"))
            fields[element.attribute("name").value()] = element.attribute("value").value();
    }
    return fields;
}

// Entry 0 of the simulator's built-in log, as the shipped description reads it.
const std::map<std::string, std::string> kEntry0 = {
    {"Seconds", "1717243200"},
    {"Milliseconds", "250"},
    {"ErrorCode", "8976"},
    {"Axis", "1"},
    {"Severity", "-2"},
    {"Text", "\xC3\x9c"
             "bertemperatur Motor"},
    {"Motor", "87.5"},
    {"PowerStage", "45.25"},
    {"Ambient", "23"},
    {"DcBusVoltage", "564.75"},
    {"PhaseCurrent", "12.345"},
    {"Position", "-1048576"},
    {"OperatingTime", "3600000123"},
    {"SpeedSetpoint", "1500"},
    {"TorqueSetpoint", "-320"},
    {"Enabled", "true"},
    {"BrakeEngaged", "false"},
    {"SafeTorqueOff", "false"},
};

using CommandsAgainstSim = SimTest;

TEST_F(CommandsAgainstSim, TheShippedDescriptionDecodesTheLogAndDeletionIsSeen) {
    SimProcess sim;
    auto d = Start(sim, Link::Tcp, "127.0.106.1");
    const auto read = [&](std::uint16_t index, const std::string& out) {
        return (*d)->ReadErrorLog(index, Bstr(Utf8ToUtf16(out)).get(),
                                  Bstr(Utf8ToUtf16(kDescriptions)).get());
    };
    ASSERT_EQ(read(0, dir_ + "/entry0.xml"), S_OK) << (*d)->errorCode;
    EXPECT_EQ(Fields(dir_ + "/entry0.xml"), kEntry0);
    ASSERT_EQ(read(2, dir_ + "/entry2.xml"), S_OK);
    const auto entry2 = Fields(dir_ + "/entry2.xml");
    EXPECT_EQ(entry2.at("Position"), "9007199254740993");
    EXPECT_EQ(entry2.at("Text"), "Following error too large on axi");
    EXPECT_EQ(entry2.at("Motor"), "-5.75");

    EXPECT_EQ((*d)->DeleteErrorLog(), S_OK);
    // The error answer echoes the index asked for: a device error, not failure 5.
    EXPECT_EQ(read(1, dir_ + "/gone.xml"), E_FAIL);
    EXPECT_EQ((*d)->errorCode, 1);
    EXPECT_EQ((*d)->deviceStatus, 0x0A000003u);
    EXPECT_FALSE(fs::exists(dir_ + "/gone.xml"));
}

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
