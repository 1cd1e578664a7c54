// kelvo and kelvo-trace end cleanly on Ctrl-C and SIGTERM. Each starts with
// the signal blocked and gets it as soon as it takes it: kelvo closes the
// object (its -v lines show the logout), removes its trace channel and ends
// with 128 + the signal; kelvo-trace waiting for a channel ends with 0.
#include "support/sim_process.h"
#include "support/temp_folder.h"
#include "tool_testing.h"
#include "trace/reader.h"

#include <csignal>
#include <fstream>

namespace kelvo::test {
namespace {

TEST(ToolsStop, CtrlCAndSigtermEndCleanly) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.104.31", "--no-tls"}));
    TempFolder settings("stop");
    std::ofstream(settings / "Kelvo.ini") << "[Trace]\nTraceEnable=1\n";
    const std::vector<std::string> kelvo = {
        KELVO_BIN_DIR "/kelvo", "-v", "-c",
        "Kelvo:255,3000,0,admin,393A0D010C#TCPIP:127.0.104.31/17221,3000", "save"};
    for (int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        const ProgramOutcome k =
            RunProgram(kelvo, {"KELVO_CONF", "APPDATA=" + settings.path()}, signal);
        EXPECT_EQ(k.status, 128 + signal) << Describe(k);
        EXPECT_NE(k.err.find("CKelvo::Logout ()\n"), std::string::npos) << k.err;
        for (const trace::ChannelInfo& c : trace::ListChannels())
            EXPECT_NE(c.pid, static_cast<std::uint32_t>(k.pid)) << c.name;
        const ProgramOutcome v = RunProgram(
            {KELVO_BIN_DIR "/kelvo-trace", "-f", "-w", "ALTRACE_KELVO_NONE"}, {}, signal);
        EXPECT_EQ(v.status, 0) << Describe(v);
        EXPECT_EQ(v.err, "");
    }
}

} // namespace
} // namespace kelvo::test
