// Ping end to end: the Kelvo object through the Linux transport against
// kelvo-sim over TCP and a pseudo-terminal serial line, and the kelvo tool.
#include "device/kelvo_object.h"
#include "support/sim_device.h"
#include "support/sim_process.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace kelvo::test {
namespace {

// Items of every kind of value: text, unsigned, signed, boolean, float,
// double, a placeholder and a type the component does not know.
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

std::string StateFile() {
    const std::string path = ::testing::TempDir() + "ping_sim_state.xml";
    std::ofstream(path) << kState;
    return path;
}

std::string Ping(SimDevice& d, SHORT blink) {
    Bstr text;
    const HRESULT hr = d->Ping(blink, text.out());
    if (hr != S_OK)
        return "failed " + std::to_string(d->errorCode);
    return Utf16ToUtf8(text.view());
}

TEST(PingAgainstSim, ItemsOverTcp) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.109.21", "--no-tls", "--state", StateFile()}));
    SimDevice d(u"TCPIP:127.0.109.21/17221,3000");
    ASSERT_EQ(d.opened, 1) << d.error;
    EXPECT_EQ(Ping(d, 0), kItems);
    EXPECT_EQ(d->errorCode, 0);
}

TEST(PingAgainstSim, DefaultItemsOverSerial) {
    const std::string dir = ::testing::TempDir() + "kelvo-ping-devices-" + std::to_string(getpid());
    std::filesystem::remove_all(dir);
    setenv("KELVO_DEVICES", dir.c_str(), 1);
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.109.22", "--no-tcp", "--no-tls", "--serial",
                           "--serial-address", "4", "--link-com", "19"}));
    SimDevice d(u"COM:19,921600,N,8,1", true, 4);
    ASSERT_EQ(d.opened, 1) << d.error;
    EXPECT_EQ(Ping(d, 5000), R"({ "1":"kelvo-sim", "2":100001, "3":true, "4":36.500000 })");
    unsetenv("KELVO_DEVICES");
}

TEST(PingAgainstSim, DeviceErrorAndWrongStatus) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.109.23", "--no-tls", "--fault",
                           "device-error:0x0A0000FF", "--fault-count", "1"}));
    SimDevice d(u"TCPIP:127.0.109.23/17221,3000");
    ASSERT_EQ(d.opened, 1) << d.error;
    EXPECT_EQ(Ping(d, 1000), "failed 1");
    EXPECT_EQ(d->deviceStatus, 0x0A0000FFu);
    EXPECT_NE(Ping(d, 1000), "failed 1");

    SimProcess wrong;
    ASSERT_TRUE(wrong.Start({"--addr", "127.0.109.24", "--no-tls", "--fault", "wrong-status"}));
    SimDevice w(u"TCPIP:127.0.109.24/17221,3000");
    ASSERT_EQ(w.opened, 1) << w.error;
    EXPECT_EQ(Ping(w, 1000), "failed 5");
}

// Standard output of a command line, and its exit status.
std::string Output(const std::string& command, int& status) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return out;
    char buffer[512];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    status = pclose(pipe);
    return out;
}

TEST(PingAgainstSim, ToolPrintsTheItems) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.109.25", "--no-tls", "--state", StateFile()}));
    const std::string kelvo =
        std::string(KELVO_BIN_DIR) + "/kelvo -c TCPIP:127.0.109.25/17221,3000";
    int status = -1;
    EXPECT_EQ(Output(kelvo + " ping 3000", status), std::string(kItems) + "\n");
    EXPECT_EQ(status, 0);
}

} // namespace
} // namespace kelvo::test
