// The viewer program and tracing at load, each in processes of their own:
// kelvo-trace lists, prints, filters and follows; a program that links the
// component starts tracing from Kelvo.ini before main and removes its channel
// at exit; a traced process talks to the simulator while kelvo-trace --follow
// prints its lines.
#include "kelvo/trace.h"
#include "support/run_program.h"
#include "support/sim_device.h"
#include "support/sim_process.h"
#include "support/temp_folder.h"
#include "trace/reader.h"
#include "trace/writer.h"
#include "trace_testing.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>

#include <fstream>
#include <vector>

namespace kelvo::test {
namespace {

using trace::TraceChannel;

const std::string kViewer = KELVO_BIN_DIR "/kelvo-trace";

using Viewer = TraceTest;

// kelvo-trace with `args`; its output and exit status.
int RunViewer(std::vector<std::string> args, std::string& output) {
    args.insert(args.begin(), kViewer);
    const ProgramOutcome outcome = RunProgram(args);
    output = outcome.out;
    return outcome.status;
}

TEST_F(Viewer, PrintsFiltersListsAndWritesJson) {
    TraceChannel channel;
    ASSERT_TRUE(channel.Open(TestBase("v"), 3, false));
    channel.Stamp(static_cast<std::uint32_t>(::getpid()), 1700000000);
    WriteText(channel, 0, 1, u"Kelvo library connection");
    WriteText(channel, 1, 2, u"CKelvo::Save_Command");
    WriteText(channel, 2, 4, u"written");
    WriteText(channel, 3, 2,
              u"CKelvo::Save_Command fail 4 (frameCount received: 3, frameCount "
              u"sent: 2)");
    const std::string name = channel.name();
    std::string out;

    ASSERT_EQ(RunViewer({name}, out), 0);
    EXPECT_EQ(out, "1 [Read operations] CKelvo::Save_Command\n"
                   "2 [Write operations] written\n"
                   "3 [Read operations] CKelvo::Save_Command fail 4 (frameCount received: 3, "
                   "frameCount sent: 2)\n");
    // The base name works too, in any case.
    ASSERT_EQ(RunViewer({TestBase("V"), "--category", "write,connection"}, out), 0);
    EXPECT_EQ(out, "2 [Write operations] written\n");
    ASSERT_EQ(RunViewer({name, "-c", "0x2", "--json"}, out), 0);
    EXPECT_EQ(out.substr(0, out.find('\n')),
              "{\"sequence\":1,\"category\":2,\"label\":\"Read operations\",\"text\":"
              "\"CKelvo::Save_Command\"}");

    ASSERT_EQ(RunViewer({"--list"}, out), 0);
    const std::size_t line = out.find(name + " ");
    ASSERT_NE(line, std::string::npos) << out;
    EXPECT_NE(out.find("running", line), std::string::npos);
    ASSERT_EQ(RunViewer({"--list", "--json"}, out), 0);
    EXPECT_NE(out.find("{\"name\":\"" + name + "\",\"pid\":" + std::to_string(::getpid()) +
                       ",\"running\":true,\"capacity\":3,\"count\":4,\"startTime\":1700000000}"),
              std::string::npos)
        << out;
}

TEST_F(Viewer, PidChoosesThePlainOrTheSuffixedName) {
    TraceChannel first, second;
    ASSERT_TRUE(first.Open(TestBase("w"), 2, false));
    ASSERT_TRUE(second.Open(TestBase("w"), 2, false));
    WriteText(first, 0, 1, u"first");
    WriteText(second, 0, 1, u"second");
    std::string out;
    // Both were made by this process; the plain one records its writer.
    first.Stamp(static_cast<std::uint32_t>(::getpid()), 0);
    ASSERT_EQ(RunViewer({TestBase("w"), "--pid", std::to_string(::getpid())}, out), 0);
    EXPECT_EQ(out, "0 [Kelvo library connection] first\n");
    first.Stamp(1, 0);
    ASSERT_EQ(RunViewer({TestBase("w"), "--pid", std::to_string(::getpid())}, out), 0);
    EXPECT_EQ(out, "0 [Kelvo library connection] second\n");
}

TEST_F(Viewer, MissingChannelAndBadOptions) {
    std::string out;
    EXPECT_EQ(RunViewer({TestBase("none")}, out), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(RunViewer({"--category", "reading"}, out), 2);
    EXPECT_EQ(RunViewer({"--interval", "0"}, out), 2);
}

// The traced process (a child of this test) runs device operations against
// the simulator while kelvo-trace follows its channel from another process.
TEST_F(Viewer, FollowShowsTheOperationsOfARunningHost) {
    const TempFolder folder("follow");
    std::ofstream(folder / "Kelvo.ini") << "[Trace]\nTraceEnable=1\nTracemask=3\n";
    const std::string base = TestBase("follow");

    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.110.1", "--no-tls", "--fault", "wrong-counter",
                           "--fault-at", "2", "--fault-count", "1"}));
    // Read while it runs; `timeout` ends it should the host never come.
    const std::string follow = " --follow --wait --until-exit --interval 10";
    std::unique_ptr<FILE, int (*)(FILE*)> viewer(
        ::popen(("timeout 30 " + kViewer + " " + base + follow).c_str(), "r"), ::pclose);
    ASSERT_NE(viewer, nullptr);
    ChannelChild host([&](TraceChannel&) {
        trace::StartOptions options;
        options.settingsFolder = folder.path();
        options.baseName = base;
        options.wait = [] {};
        auto channel = trace::StartTracingWith(options);
        if (!channel)
            return std::string("no channel");
        SimDevice device(u"TCPIP:127.0.110.1/17221,3000");
        const HRESULT ok = device->Save_Command();
        const HRESULT failed = device->Save_Command();
        std::string report = ok == S_OK && failed == E_FAIL ? "done" : "unexpected results";
        // The channel stays until the parent lets this process end.
        static std::unique_ptr<TraceChannel> keep;
        keep = std::move(channel);
        return report;
    });
    ASSERT_EQ(host.Report(), "done");
    std::string out;
    ASSERT_TRUE(ReadPipe(fileno(viewer.get()), out, [](const std::string& t) {
        return t.find("CKelvo::Save_Command fail 4") != std::string::npos;
    })) << out;
    host.Release();
    ReadPipe(fileno(viewer.get()), out, [](const std::string&) { return false; });
    EXPECT_EQ(::pclose(viewer.release()), 0) << out;
    EXPECT_EQ(out.find("0 [Kelvo library connection] Kelvo library connection\n"), 0u) << out;
    EXPECT_NE(out.find("1 [Read operations] Read operations\n"), std::string::npos);
    EXPECT_NE(out.find("2 [Read operations] CKelvo::Save_Command\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[Read operations] CKelvo::Save_Command fail 4 (frameCount received: "),
              std::string::npos);
    EXPECT_EQ(out.find("Write operations"), std::string::npos);
}

// Run by TracingAtLoad.StartsFromKelvoIni in a process of its own: tracing
// was started before main from the Kelvo.ini of its $APPDATA.
TEST(TracingAtLoad, Helper) {
    if (!std::getenv("KELVO_TRACE_AT_LOAD_HELPER"))
        GTEST_SKIP() << "runs inside TracingAtLoad.StartsFromKelvoIni";
    EXPECT_TRUE(TraceEnabled(TRACE_WRITE));
    EXPECT_FALSE(TraceEnabled(TRACE_READ));
    EXPECT_TRUE(Trace(TRACE_WRITE, u"helper %i", 42));
    StartTracing(); // once per process: nothing happens
    bool found = false;
    for (const trace::ChannelInfo& info : trace::ListChannels()) {
        if (info.pid != static_cast<std::uint32_t>(::getpid()))
            continue;
        found = true;
        trace::TraceReader reader;
        ASSERT_TRUE(reader.Open(info.name));
        EXPECT_EQ(reader.Header().mask, 5u);
        EXPECT_EQ(reader.Header().capacity, 16u);
        const auto entries = reader.ReadAll();
        ASSERT_EQ(entries.size(), 3u);
        EXPECT_EQ(entries[0].text, u"Kelvo library connection");
        EXPECT_EQ(entries[1].text, u"Write operations");
        EXPECT_EQ(entries[2].text, u"helper 42");
        std::printf("channel: %s\n", info.name.c_str());
    }
    EXPECT_TRUE(found);
}

TEST(TracingAtLoad, StartsFromKelvoIniAndRemovesTheNameAtExit) {
    const TempFolder folder("atload");
    std::ofstream(folder / "Kelvo.ini") << "[Trace]\nTraceEnable=1\nTracemask=5\nTracesize=16\n";
    const ProgramOutcome helper =
        RunProgram({"/proc/self/exe", "--gtest_filter=TracingAtLoad.Helper"},
                   {"APPDATA=" + folder.path(), "KELVO_TRACE_AT_LOAD_HELPER=1"});
    EXPECT_EQ(helper.status, 0) << Describe(helper);
    const std::size_t at = helper.out.find("channel: ");
    ASSERT_NE(at, std::string::npos) << helper.out;
    const std::string name = helper.out.substr(at + 9, helper.out.find('\n', at) - at - 9);
    EXPECT_TRUE(name.starts_with("ALTRACE_KELVO")) << name;
    EXPECT_FALSE(ObjectExists(name));
}

} // namespace
} // namespace kelvo::test
