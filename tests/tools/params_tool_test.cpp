// kelvo params and watch against kelvo-sim, as a user runs them: restore's
// read-back against a device that stores something else, and a backup over
// eight devices of which one cannot be reached and one injects faults.
#include "param_set.h"
#include "support/sim_process.h"
#include "support/temp_folder.h"
#include "tool_testing.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>

namespace kelvo::test {
namespace {

std::string Write(const TempFolder& folder, const std::string& name, const std::string& text) {
    std::ofstream(folder / name) << text;
    return folder / name;
}

TEST(KelvoParams, RestoreVerifyCatchesADeviceThatStoresSomethingElse) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.121.30", "--no-tls", "--fault", "store-other",
                           "--fault-command", "0x0202"}));
    const TempFolder folder("params");
    const std::string set = Write(folder, "set.csv",
                                  "ipa,sub,type,value\n0x1004,0,i4,7\n0x1002,0,i2,-1234\n"
                                  "0x100A,0,str,\"new, name\"\n");
    const std::string list = Write(folder, "list.txt", "0x1004 0 i4\n0x1002 x\n0x1001 0 u1\n");
    const ToolCase steps[] = {
        {{"params", "restore", set},
         1,
         "0x1004/0 i4: verify mismatch: wrote 7, the device has 6\n"
         "0x1002/0 i2: unchanged -1234\n"
         "0x100A/0 str: verify mismatch: wrote \"new, name\", the device has \"oew, name\"\n",
         "127.0.121.30: 2 of 3 parameters failed"},
        {{"params", "restore", "--dry-run", set},
         0,
         "0x1004/0 i4: would change 6 -> 7\n0x1002/0 i2: unchanged -1234\n"
         "0x100A/0 str: would change \"oew, name\" -> \"new, name\"\n"},
        {{"params", "restore", "--no-verify", set},
         0,
         "0x1004/0 i4: written 6 -> 7\n0x1002/0 i2: unchanged -1234\n"
         "0x100A/0 str: written \"oew, name\" -> \"new, name\"\n"},
        // A bad line of a list is named; the other parameters are still read.
        {{"par", "get", "--file", list}, 1, "6\n200\n", "error: " + list + ":2: sub 'x'"},
    };
    for (const ToolCase& step : steps)
        Check(step, {"-c", "TCPIP:127.0.121.30/17221,3000"});

    const ProgramOutcome diff =
        Kelvo({"-c", "TCPIP:127.0.121.30/17221,3000", "params", "diff", set});
    EXPECT_EQ(diff.status, 3) << Describe(diff);
    EXPECT_EQ(
        diff.out,
        "0x1004/0 i4: set 7, device 6\n0x100A/0 str: set \"new, name\", device \"oew, name\"\n");

    const ProgramOutcome watch = Kelvo({"-c", "TCPIP:127.0.121.30/17221,3000", "watch", "0x1004",
                                        "0", "i4", "--count", "2", "--interval", "0"});
    EXPECT_EQ(watch.status, 0) << Describe(watch);
    EXPECT_EQ(watch.out.rfind("time,device,0x1004/0\n", 0), 0u) << watch.out;
    EXPECT_EQ(std::count(watch.out.begin(), watch.out.end(), '\n'), 3) << watch.out;
    EXPECT_NE(watch.out.find(",127.0.121.30,6\n"), std::string::npos) << watch.out;
}

TEST(KelvoParams, EightDevicesOneUnreachableOneFaultyGiveTheirRows) {
    // d1-d6 answer, d7 refuses its 2nd and 3rd parameter read, d8 is not there.
    std::vector<std::unique_ptr<SimProcess>> sims;
    std::string devices;
    for (int i = 1; i <= 8; ++i) {
        const std::string addr = "127.0.121." + std::to_string(40 + i);
        devices += "d" + std::to_string(i) + " TCPIP:" + addr + "/17221,3000\n";
        if (i == 8)
            continue;
        std::vector<std::string> args{"--addr", addr, "--no-tls"};
        if (i == 7)
            args.insert(args.end(), {"--fault", "device-error:0x0B000009", "--fault-command",
                                     "0x0201", "--fault-at", "2", "--fault-count", "2"});
        sims.push_back(std::make_unique<SimProcess>());
        ASSERT_TRUE(sims.back()->Spawn(args));
    }
    for (auto& sim : sims)
        ASSERT_TRUE(sim->ReadReady());
    const TempFolder folder("params");
    const std::string plant = Write(folder, "plant.txt", "# the plant\n" + devices);
    const std::string list = Write(folder, "list.csv",
                                   "ipa,sub,type,name\n0x1004,0,i4,a\n0x1006,0,r4,b\n"
                                   "0x100A,0,str,c\n0x1009,0,u8,d\n");

    const ProgramOutcome o = Kelvo({"--json", "params", "backup", "--devices", plant, list, "-o",
                                    folder / "sets", "--jobs", "3"});
    ASSERT_EQ(o.status, 1) << Describe(o);
    const auto summary = nlohmann::json::parse(o.out);
    EXPECT_EQ(summary["devices"], 8);
    EXPECT_EQ(summary["failedDevices"], 1);
    EXPECT_EQ(summary["parameters"], 28);
    EXPECT_EQ(summary["failures"], 2);
    const auto& rows = summary["results"];
    ASSERT_EQ(rows.size(), 8u);
    for (int i = 0; i < 8; ++i) {
        const auto& row = rows[i];
        SCOPED_TRACE(row.dump());
        EXPECT_EQ(row["name"], "d" + std::to_string(i + 1));
        EXPECT_EQ(row["ok"], i < 6);
        EXPECT_EQ(row["reached"], i < 7);
        EXPECT_EQ(row["parameters"], i < 7 ? 4 : 0);
        EXPECT_EQ(row["failures"], i == 6 ? 2 : 0);
        EXPECT_EQ(std::filesystem::exists(folder / ("sets/d" + std::to_string(i + 1) + ".csv")),
                  i < 7);
    }
    EXPECT_EQ(rows[7]["error"].get<std::string>().rfind("cannot reach 127.0.121.48:17221", 0), 0u);

    // The faulty device's set keeps the failed reads with their codes.
    const tool::ParamFile d7 = tool::ReadParamFile(folder / "sets/d7.csv");
    ASSERT_EQ(d7.entries.size(), 4u);
    EXPECT_TRUE(d7.entries[0].value && !d7.entries[0].error);
    for (int i : {1, 2}) {
        EXPECT_EQ(d7.entries[i].error, 1);
        EXPECT_NE(d7.entries[i].errorText.find("device 0x0B000009"), std::string::npos);
    }
    EXPECT_EQ(d7.entries[3].value, "10000000000000000000");
    EXPECT_EQ(d7.header.front(), (std::pair<std::string, std::string>{"device", "d7"}));

    // Each device against its own set: the table names every device.
    const ProgramOutcome diff =
        Kelvo({"params", "diff", "--devices", plant, folder / "sets", "-o", folder / "diffs"});
    EXPECT_EQ(diff.status, 1) << Describe(diff);
    const std::regex table[] = {
        std::regex(R"(device +parameters +failures +different +time +result)"),
        std::regex(R"(d6 +4 +0 +0 +[0-9.]+ s +ok)"),
        std::regex(R"(d7 +4 +2 +0 +[0-9.]+ s +2 failed)"),
        std::regex(R"(d8 +0 +0 +0 +[0-9.]+ s +cannot reach 127.0.121.48:17221: .*)"),
        std::regex(R"(all 8 +28 +2 +0 +[0-9.]+ s +1 device failed, 2 parameters failed)"),
    };
    for (const std::regex& row : table) {
        std::istringstream lines(diff.out);
        bool found = false;
        for (std::string line; std::getline(lines, line);)
            found |= std::regex_match(line, row);
        EXPECT_TRUE(found) << diff.out;
    }
}

} // namespace
} // namespace kelvo::test
