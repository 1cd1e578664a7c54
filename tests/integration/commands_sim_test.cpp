// Device commands and the error log end to end: the Kelvo object and the Linux
// transport against kelvo-sim, the shipped record description, and the kelvo
// tool. Loopback addresses 127.0.106.x.
#include "device/kelvo_object.h"
#include "support/sim_device.h"
#include "support/sim_process.h"
#include "support/trace_capture.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace kelvo::test {
namespace {

namespace fs = std::filesystem;

const std::string kDescriptions = KELVO_SOURCE_DIR "/tools/kelvo-sim/errorlog";

class CommandsAgainstSim : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterPortwayClass();
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        dir_ = fs::path(::testing::TempDir()) /
               ("kelvo-commands-sim-" + name + "-" + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        setenv("KELVO_DEVICES", (dir_ / "devices").c_str(), 1);
    }
    void TearDown() override { fs::remove_all(dir_); }

    HRESULT ReadLog(SimDevice& d, std::uint16_t index, const fs::path& out,
                    const std::string& parser = kDescriptions) {
        Bstr file(Utf8ToUtf16(out.string()));
        Bstr folder(Utf8ToUtf16(parser));
        return d->ReadErrorLog(index, file.get(), folder.get());
    }

    // Field name -> value attribute of a decoded file, read with pugixml.
    static std::map<std::string, std::string> Fields(const fs::path& file) {
        pugi::xml_document doc;
        EXPECT_TRUE(doc.load_file(file.c_str())) << file;
        std::map<std::string, std::string> fields;
        for (pugi::xml_node group : doc.document_element().children("Group")) {
            for (pugi::xml_node element : group.children("Element"))
                fields[element.attribute("name").value()] = element.attribute("value").value();
        }
        return fields;
    }

    fs::path dir_;
};

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

TEST_F(CommandsAgainstSim, EveryCommandAndTheErrorLogOverTcp) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.106.1", "--no-tls"}));
    SimDevice d(u"TCPIP:127.0.106.1/17221,3000");
    ASSERT_EQ(d.opened, 1) << d.error;

    EXPECT_EQ(d->Reset_Command(), S_OK);
    EXPECT_EQ(d->Restore_Command(0x10002), S_OK);
    EXPECT_EQ(d->ResetError(3), S_OK);
    EXPECT_EQ(d->Save_Command(), S_OK);

    // Unknown axis: the device's code through the length-byte error answer.
    EXPECT_EQ(d->ResetError(9), E_FAIL);
    EXPECT_EQ(d->errorCode, 1);
    EXPECT_EQ(d->deviceStatus, 0x0A000004u);

    const fs::path out = dir_ / "entry0.xml";
    ASSERT_EQ(ReadLog(d, 0, out), S_OK) << d->errorCode;
    EXPECT_EQ(Fields(out), kEntry0);
    ASSERT_EQ(ReadLog(d, 2, dir_ / "entry2.xml"), S_OK);
    const auto entry2 = Fields(dir_ / "entry2.xml");
    EXPECT_EQ(entry2.at("Position"), "9007199254740993");
    EXPECT_EQ(entry2.at("Text"), "Following error too large on axi");
    EXPECT_EQ(entry2.at("Motor"), "-5.75");

    EXPECT_EQ(d->DeleteErrorLog(), S_OK);
    // The error answer echoes the index asked for: a device error, not failure 5.
    EXPECT_EQ(ReadLog(d, 1, dir_ / "gone.xml"), E_FAIL);
    EXPECT_EQ(d->errorCode, 1);
    EXPECT_EQ(d->deviceStatus, 0x0A000003u);
    EXPECT_FALSE(fs::exists(dir_ / "gone.xml"));
}

TEST_F(CommandsAgainstSim, ErrorLogOverSerialWithAddress) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.106.2", "--no-tcp", "--no-tls", "--serial",
                           "--serial-address", "4", "--link-com", "61"}));
    SimDevice d(u"COM:61,921600,N,8,1", true, 4);
    ASSERT_EQ(d.opened, 1) << d.error;
    const fs::path out = dir_ / "serial.xml";
    ASSERT_EQ(ReadLog(d, 0, out), S_OK) << d->errorCode;
    EXPECT_EQ(Fields(out), kEntry0);
    EXPECT_EQ(d->Reset_Command(), S_OK);
    EXPECT_EQ(d->Restore_Command(5), S_OK);
    EXPECT_EQ(d->ResetError(0), S_OK);
    EXPECT_EQ(d->DeleteErrorLog(), S_OK);
}

struct DownloadFault {
    const char* name;
    std::vector<std::string> args;
    bool stateWrongIndex;
    HRESULT result;
    SHORT code;
    const char* trace;
};

TEST_F(CommandsAgainstSim, FaultsInTheMiddleOfADownload) {
    const DownloadFault cases[] = {
        {"SilenceOnFrame2",
         {"--fault", "silent", "--fault-command", "0x040B", "--fault-at", "2", "--fault-count",
          "1"},
         false,
         E_FAIL,
         7,
         "CKelvo::ReadErrorLog fail 3 (index 1)"},
        {"UnexpectedStatusOnce",
         {"--fault", "wrong-status", "--fault-command", "0x040B", "--fault-at", "2",
          "--fault-count", "1"},
         false,
         S_OK,
         0,
         nullptr},
        {"WrongIndexEcho", {}, true, E_FAIL, 9, "CKelvo::ReadErrorLog fail 5 (index 2 1)"},
    };
    int slot = 10;
    for (const DownloadFault& fc : cases) {
        SCOPED_TRACE(fc.name);
        const std::string addr = "127.0.106." + std::to_string(slot++);
        std::vector<std::string> args = {"--addr", addr, "--no-tls"};
        args.insert(args.end(), fc.args.begin(), fc.args.end());
        if (fc.stateWrongIndex) {
            const fs::path state = dir_ / "state.xml";
            std::ofstream(state) << "<kelvo-sim><errorLog wrongIndexAt=\"3\"/></kelvo-sim>";
            args.insert(args.end(), {"--state", state.string()});
        }
        SimProcess sim;
        ASSERT_TRUE(sim.Start(args));
        SimDevice d(Utf8ToUtf16("TCPIP:" + addr + "/17221,3000"));
        ASSERT_EQ(d.opened, 1) << d.error;
        d->timeOut = 300;
        TraceCapture trace;
        const fs::path out = dir_ / (std::string(fc.name) + ".xml");
        EXPECT_EQ(ReadLog(d, 1, out), fc.result);
        EXPECT_EQ(d->errorCode, fc.code);
        if (fc.trace) {
            EXPECT_EQ(trace.lines.back(), fc.trace);
            EXPECT_FALSE(fs::exists(out));
        }
        // The next download works.
        EXPECT_EQ(ReadLog(d, 0, out), S_OK);
        EXPECT_EQ(Fields(out), kEntry0);
    }
}

TEST_F(CommandsAgainstSim, DeviceErrorsOfResetAndRestore) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.106.20", "--no-tls", "--fault", "device-error:0xBEEF",
                           "--fault-count", "2"}));
    SimDevice d(u"TCPIP:127.0.106.20/17221,3000");
    ASSERT_EQ(d.opened, 1) << d.error;
    EXPECT_EQ(d->Reset_Command(), E_FAIL);
    EXPECT_EQ(d->errorCode, 1);
    EXPECT_EQ(d->deviceStatus, 0xBEEFu);
    d->deviceStatus = 0;
    EXPECT_EQ(d->Restore_Command(1), E_FAIL);
    EXPECT_EQ(d->deviceStatus, 0xBEEFu);
    EXPECT_EQ(d->Reset_Command(), S_OK);
}

// The kelvo tool writes the decoded entry and deletes the log.
TEST_F(CommandsAgainstSim, KelvoToolReadsAndDeletesTheLog) {
    const std::string tool = KELVO_BIN_DIR "/kelvo";
    if (!fs::exists(tool))
        GTEST_SKIP() << "the kelvo tool is not built";
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.106.21", "--no-tls"}));
    const std::string conn = " -c TCPIP:127.0.106.21/17221,3000 ";
    const fs::path out = dir_ / "tool.xml";
    auto run = [&](const std::string& args) {
        const int status = std::system((tool + conn + args + " >/dev/null 2>&1").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(run("errorlog read 0 " + out.string() + " " + kDescriptions), 0);
    EXPECT_EQ(Fields(out), kEntry0);
    EXPECT_EQ(run("reset"), 0);
    EXPECT_EQ(run("restore 0x12"), 0);
    EXPECT_EQ(run("reset-error 2"), 0);
    EXPECT_EQ(run("reset-error 300"), 2);
    EXPECT_EQ(run("errorlog delete"), 0);
    EXPECT_EQ(run("errorlog read 0 " + (dir_ / "none.xml").string() + " " + kDescriptions), 1);
}

} // namespace
} // namespace kelvo::test
