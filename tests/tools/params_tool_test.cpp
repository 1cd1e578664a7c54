// Parameter sets: what a backup writes reads back to the same values, bad
// lines are named by file and line while the good ones are kept; and kelvo
// params and watch against kelvo-sim, as a user runs them: restore's read-back
// against a device that stores something else, and a backup over eight devices
// of which one cannot be reached and one injects faults.
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
#include <tuple>

namespace kelvo::test {
namespace {

using namespace tool;

std::string Write(const TempFolder& folder, const std::string& name, const std::string& text) {
    std::ofstream(folder / name) << text;
    return folder / name;
}

ParamEntry Value(LONG ipa, VARTYPE type, std::string value, std::string name = {}) {
    ParamEntry e;
    e.ipa = ipa;
    e.sub = ipa % 256;
    e.type = type;
    e.value = std::move(value);
    e.name = std::move(name);
    return e;
}

// Every field an entry keeps, for comparing entries whole.
auto Fields(const ParamEntry& e) {
    return std::tie(e.ipa, e.sub, e.type, e.name, e.value, e.error, e.errorText);
}

TEST(ParamSetFile, BackupValuesReadBackTheSameInCsvAndJson) {
    ParamEntry failed = Value(0x3000, VT_I4, "", "login, \"needed\"");
    failed.value.reset();
    failed.error = 1;
    failed.errorText = "This operation needs a login, device 0x15000002";
    const std::vector<ParamEntry> entries = {
        Value(0x1000, VT_I1, "-128"),
        Value(0x1001, VT_UI1, "255"),
        Value(0x1008, VT_I8, "-9223372036854775808", "i8 min"),
        Value(0x1009, VT_UI8, "18446744073709551615", "u8 max"),
        Value(0x1004, VT_I4, "-2147483648"),
        Value(0x1006, VT_R4, "0.1"),
        Value(0x1006, VT_R4, "-3.4028235e+38"),
        Value(0x1007, VT_R8, "1e-300"),
        Value(0x1007, VT_R8, "-inf"),
        Value(0x1007, VT_R8, "nan"),
        Value(0x100A, VT_BSTR, "a, \"quoted\", b"),
        Value(0x100A, VT_BSTR, "caf\xC3\xA9 \xE2\x82\xAC \xE6\x97\xA5"),
        Value(0x100A, VT_BSTR, " line one\nline two "),
        Value(0x100A, VT_BSTR, "", "empty, #2"),
        Value(0x100A, VT_BSTR, "# not a comment"),
        failed,
    };
    const SetHeader header = {{"device", "drive-1"}, {"ping", R"({ "1":"a, \"b\"" })"}};
    const TempFolder folder("param-set");
    for (auto [format, name] :
         {std::pair{SetWriter::Format::Csv, "set.csv"}, {SetWriter::Format::Json, "set.json"}}) {
        SCOPED_TRACE(name);
        const ParamFile file = ReadParamFile(Write(folder, name, SetText(header, entries, format)));
        EXPECT_TRUE(file.errors.empty()) << file.errors.front();
        EXPECT_TRUE(file.hasValues);
        EXPECT_EQ(file.header, header);
        ASSERT_EQ(file.entries.size(), entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i)
            EXPECT_EQ(Fields(file.entries[i]), Fields(entries[i])) << i;
    }
}

TEST(ParamSetFile, BadLinesAreNamedAndTheRestIsRead) {
    struct Case {
        const char* name;
        const char* text;
        std::vector<std::string> errors; // each "NAME:LINE: ..." starts so
        std::vector<std::string> values; // of the entries read
    };
    const Case cases[] = {
        {"a.csv",
         "# device: x\n"
         "IPA;Sub;Type;Value\n"
         "0x1004;0;i4;0x10\n"
         "70000;0;i4;1\n"
         "1;256;i4;1\n"
         "1;0;i1;128\n"
         "1;0;r4;1e39\n"
         "1;0;bool8;1\n"
         "1;0;auto;5\n"
         "1;0;u2;\n"
         "1;0;str;\"open\n"
         "\n"
         "next;line\n",
         {"a.csv:4: ipa", "a.csv:5: sub", "a.csv:6: '128' is out of range for i1",
          "a.csv:7: '1e39' is not a r4", "a.csv:8: unknown type", "a.csv:9: a value needs",
          "a.csv:10: no value", "a.csv:11: the quote of field 4 is not closed"},
         {"16"}},
        {"b.csv", "ipa,sub,type,valu\n", {"b.csv:1: unknown column 'valu'"}, {}},
        {"c.txt",
         "0x1004 0 i4\n0x1005,0,i4\n0x1006 0\n",
         {"c.txt:2: IPA SUB [TYPE] expected"},
         {"", ""}},
        {"d.json",
         "{\"parameters\":[\n"
         "  {\"ipa\":\"0x1004\",\"sub\":0,\"type\":\"i4\",\"value\":-5},\n"
         "  {\"ipa\":4100,\"sub\":0,\n   \"type\":\"i2\",\"value\":40000},\n"
         "  {\"ipa\":4100,\"sub\":0,\"type\":\"str\",\"value\":\"x\",\"vaule\":1}\n"
         "]}\n",
         {"d.json:3: parameter 2: '40000' is out of range for i2",
          "d.json:5: parameter 3: unknown member"},
         {"-5"}},
        {"e.json",
         "{\"parameters\":[\n{\"ipa\":1,\n\"sub\":0,]}\n",
         {"e.json:3: syntax error"},
         {}},
    };
    const TempFolder folder("param-set");
    for (const Case& c : cases) {
        const std::string path = Write(folder, c.name, c.text);
        const ParamFile file = ReadParamFile(path);
        ASSERT_EQ(file.errors.size(), c.errors.size())
            << c.name << ": " << ::testing::PrintToString(file.errors);
        for (std::size_t i = 0; i < c.errors.size(); ++i)
            EXPECT_EQ(file.errors[i].rfind(folder / c.errors[i], 0), 0u) << file.errors[i];
        ASSERT_EQ(file.entries.size(), c.values.size()) << c.name;
        for (std::size_t i = 0; i < c.values.size(); ++i)
            EXPECT_EQ(file.entries[i].value.value_or(""), c.values[i]) << c.name;
    }
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
        {"params restore " + set, 1,
         "0x1004/0 i4: verify mismatch: wrote 7, the device has 6\n"
         "0x1002/0 i2: unchanged -1234\n"
         "0x100A/0 str: verify mismatch: wrote \"new, name\", the device has \"oew, name\"\n",
         "127.0.121.30: 2 of 3 parameters failed"},
        {"params restore --dry-run " + set, 0,
         "0x1004/0 i4: would change 6 -> 7\n0x1002/0 i2: unchanged -1234\n"
         "0x100A/0 str: would change \"oew, name\" -> \"new, name\"\n"},
        {"params restore --no-verify " + set, 0,
         "0x1004/0 i4: written 6 -> 7\n0x1002/0 i2: unchanged -1234\n"
         "0x100A/0 str: written \"oew, name\" -> \"new, name\"\n"},
        // A bad line of a list is named; the other parameters are still read.
        {"par get --file " + list, 1, "6\n200\n", "error: " + list + ":2: sub 'x'"},
        {"params diff " + set, 3,
         "0x1004/0 i4: set 7, device 6\n0x100A/0 str: set \"new, name\", device \"oew, name\"\n"},
    };
    for (const ToolCase& step : steps)
        Check(step, "-c TCPIP:127.0.121.30/17221,3000");

    const ProgramOutcome watch =
        Kelvo("-c TCPIP:127.0.121.30/17221,3000 watch 0x1004 0 i4 --count 2 --interval 0");
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
    const ParamFile d7 = ReadParamFile(folder / "sets/d7.csv");
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
        Kelvo("params diff --devices " + plant + " " + folder / "sets -o " + folder / "diffs");
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
