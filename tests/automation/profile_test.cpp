// Profile files and the per-user and module folders.
#include "automation/profile.h"
#include "automation/settings_paths.h"
#include "support/scoped_env.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

namespace kelvo::test {
namespace {

class Profile : public ::testing::Test {
protected:
    void Write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
    std::string Contents() const {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    TempFolder dir_{"profile"};
    const std::string path_ = dir_ / "DeviceLink.ini";
};

TEST_F(Profile, ReadingFollowsTheProfileRulesAndIntegersWrapAt32Bits) {
    Write("\xEF\xBB\xBF; comment=1\n"
          "[Kelvo]\n"
          "  LastPort = 7  \r\n"
          "Name= \"quoted text\" \n"
          "Single='x'\n"
          "Lone=\"open\n"
          "NoEquals\n"
          "[Empty]\n"
          "[kelvo]\n"
          "Later=1\n"
          "[S]\na=12abc\nb=-3\nc=0x1F\nd=4294967297\ne=\nf= +8\ng=x\n");
    EXPECT_EQ(ReadProfileInt(path_, "kelvo", "lastport", 31), 7);
    EXPECT_EQ(ReadProfileString(path_, "Kelvo", "Name", "-"), "quoted text");
    EXPECT_EQ(ReadProfileString(path_, "Kelvo", "Single", "-"), "x");
    EXPECT_EQ(ReadProfileString(path_, "Kelvo", "Lone", "-"), "\"open");
    EXPECT_EQ(ReadProfileString(path_, "Kelvo", "NoEquals", "-"), "-");
    EXPECT_EQ(ReadProfileString(path_, "Kelvo", "; comment", "-"), "-");
    // Only the first section of a name is searched.
    EXPECT_EQ(ReadProfileInt(path_, "Kelvo", "Later", 31), 31);
    EXPECT_EQ(ReadProfileInt(path_, "Empty", "LastPort", 31), 31);
    EXPECT_EQ(ReadProfileInt(path_, "Missing", "LastPort", -4), -4);
    EXPECT_EQ(ReadProfileInt(dir_ / "none.ini", "Kelvo", "LastPort", 31), 31);
    EXPECT_EQ(ReadProfileInt(dir_.path(), "Kelvo", "LastPort", 31), 31); // a folder, not a file
    // Integers are decimal and wrap at 32 bits.
    const std::pair<const char*, int> cases[] = {{"a", 12}, {"b", -3}, {"c", 0}, {"d", 1},
                                                 {"e", 5},  {"f", 8},  {"g", 0}};
    for (const auto& [key, value] : cases)
        EXPECT_EQ(ReadProfileInt(path_, "S", key, 5), value) << key; // 5: the default
}

TEST_F(Profile, WritingCreatesReplacesAndAdds) {
    ASSERT_TRUE(WriteProfileString(path_, "Kelvo", "LastPort", "3"));
    EXPECT_EQ(Contents(), "[Kelvo]\nLastPort=3\n");
    ASSERT_TRUE(WriteProfileString(path_, "KELVO", "lastport", "12"));
    EXPECT_EQ(ReadProfileInt(path_, "Kelvo", "LastPort", 31), 12);
    ASSERT_TRUE(WriteProfileString(path_, "Kelvo", "Other", "x"));
    ASSERT_TRUE(WriteProfileString(path_, "Second", "Key", "y"));
    EXPECT_EQ(Contents(), "[Kelvo]\nlastport=12\nOther=x\n\n[Second]\nKey=y\n");
}

TEST_F(Profile, WritingKeepsOtherLinesAndTheFileMode) {
    Write("; settings\r\n[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n");
    ::chmod(path_.c_str(), 0640);
    ASSERT_TRUE(WriteProfileString(path_, "A", "z", "3"));
    ASSERT_TRUE(WriteProfileString(path_, "B", "y", "4"));
    ASSERT_TRUE(WriteProfileString(path_, "C", "w", "5"));
    EXPECT_EQ(Contents(),
              "; settings\r\n[A]\r\nx=1\r\nz=3\r\n\r\n[B]\r\ny=4\r\n\r\n[C]\r\nw=5\r\n");
    struct stat st;
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    // No temporary file is left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()),
                            std::filesystem::directory_iterator()),
              1);
}

TEST_F(Profile, WritingRefusesWhatWouldBreakTheFile) {
    EXPECT_FALSE(WriteProfileString(path_, "S", "k", "two\nlines"));
    EXPECT_FALSE(WriteProfileString(path_, "S]", "k", "v"));
    EXPECT_FALSE(WriteProfileString(path_, "S", "k=v", "v"));
    EXPECT_FALSE(WriteProfileString(path_, "S", " ", "v"));
    EXPECT_FALSE(std::filesystem::exists(path_));
    EXPECT_FALSE(WriteProfileString(dir_ / "missing/DeviceLink.ini", "S", "k", "v"));
}

TEST(SettingsFolder, AppdataThenXdgThenHome) {
    struct Case {
        const char *appdata, *xdg, *home, *expected;
    };
    const Case cases[] = {
        {"/a", "/x", "/h", "/a"},
        {"", "/x", "/h", "/x"},
        {nullptr, nullptr, "/h", "/h/.config"},
        {nullptr, "", "", ""},
        {nullptr, nullptr, nullptr, ""},
    };
    for (const Case& c : cases) {
        ScopedEnv a("APPDATA", c.appdata), x("XDG_CONFIG_HOME", c.xdg), h("HOME", c.home);
        EXPECT_EQ(UserSettingsFolder(), c.expected);
    }
}

TEST(ModuleFolder, TheProgramOrTheOverride) {
    const std::string dir = ModuleDirectory();
    // The component is linked into this test program.
    EXPECT_EQ(dir, std::filesystem::canonical("/proc/self/exe").parent_path().string() + "/");
    SetModuleDirectoryOverride("/opt/kelvo/");
    EXPECT_EQ(ModuleDirectory(), "/opt/kelvo/");
    SetModuleDirectoryOverride(std::nullopt);
    EXPECT_EQ(ModuleDirectory(), dir);
}

} // namespace
} // namespace kelvo::test
