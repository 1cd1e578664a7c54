// Parameter-set files: what a backup writes reads back to the same values,
// and bad lines are named by file and line while the good ones are kept.
#include "param_set.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <tuple>

namespace kelvo::tool {
namespace {

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

std::string Write(const test::TempFolder& folder, const std::string& name,
                  const std::string& text) {
    const std::string path = folder / name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
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
    const test::TempFolder folder("param-set");
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
    const test::TempFolder folder("param-set");
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

} // namespace
} // namespace kelvo::tool
