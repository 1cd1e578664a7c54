// The file-backed registry: its text form, key rules, and writers that share
// a folder.
#include "automation/registry.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

namespace kelvo::registry {
namespace {

class RegistryFolder : public ::testing::Test {
protected:
    test::TempFolder folder_{"registry"};
    const std::string root_ = folder_.path();
};

TEST(RegistryHive, TextRoundTripsAndKeepsNamesWithoutRegardToCase) {
    HiveData hive;
    ASSERT_TRUE(hive.SetValue("CLSID\\{A}\\InprocServer32", "", "/opt/lib/lib\"k\"\\.so"));
    ASSERT_TRUE(hive.SetValue("clsid\\{a}\\INPROCSERVER32", "ThreadingModel", "Apartment"));
    ASSERT_TRUE(hive.SetValue("Kelvo.Kelvo", "multi", "line\nbreak"));
    ASSERT_TRUE(hive.CreateKey("CLSID\\{A}\\Programmable"));

    EXPECT_TRUE(hive.HasKey("CLSID")); // parents are made
    EXPECT_EQ(*hive.Value("CLSID\\{A}\\InprocServer32", "threadingmodel"), "Apartment");
    EXPECT_EQ(hive.Subkeys("clsid\\{A}"),
              (std::vector<std::string>{"InprocServer32", "Programmable"}));
    const std::string text = hive.Text();
    EXPECT_NE(text.find("[CLSID\\{A}\\InprocServer32]\n@=\"/opt/lib/lib\\\"k\\\"\\\\.so\"\n"
                        "\"ThreadingModel\"=\"Apartment\"\n"),
              std::string::npos)
        << text;
    EXPECT_LT(text.find("[CLSID]"), text.find("[Kelvo.Kelvo]")); // sorted

    HiveData back;
    ASSERT_TRUE(HiveData::Parse(text, back));
    EXPECT_EQ(back.Text(), text);
    EXPECT_EQ(*back.Value("Kelvo.Kelvo", "MULTI"), "line\nbreak");
}

TEST(RegistryHive, UnusableTextsAreRefused) {
    const char* const badFiles[] = {
        "@=\"value before any key\"\n",
        "[key]\nname=\"unquoted name\"\n",
        "[key]\n\"name\"=\"unterminated\n",
        "[key]\n\"name\"=\"v\" trailing\n",
        "[unclosed\n",
        "[a\\\\b]\n",
    };
    for (const char* text : badFiles) {
        HiveData hive;
        EXPECT_FALSE(HiveData::Parse(text, hive)) << text;
    }
    HiveData hive;
    for (const char* path : {"", "\\a", "a\\", "a\\\\b", "a\nb", "[a"})
        EXPECT_FALSE(hive.CreateKey(path)) << path;
    EXPECT_TRUE(hive.Empty());
}

TEST(RegistryHive, KeysWithSubkeysGoOnlyAsATree) {
    HiveData hive;
    hive.SetValue("A\\B\\C", "", "x");
    hive.CreateKey("A\\Bz"); // a sibling sharing the prefix
    EXPECT_FALSE(hive.DeleteKey("A\\B"));
    hive.DeleteTree("a\\b");
    EXPECT_FALSE(hive.HasKey("A\\B\\C"));
    EXPECT_TRUE(hive.HasKey("A\\Bz"));
    EXPECT_TRUE(hive.DeleteKey("A\\Bz"));
    EXPECT_TRUE(hive.DeleteKey("A"));
    EXPECT_TRUE(hive.Empty());
}

TEST_F(RegistryFolder, WritersAtOnceAllLand) {
    constexpr int kWriters = 8;
    std::vector<std::thread> writers;
    for (int i = 0; i < kWriters; ++i)
        writers.emplace_back([this, i] {
            EXPECT_TRUE(Update(root_, Hive::LocalMachine, [i](HiveData& hive) {
                return hive.SetValue("Software\\Test", "v" + std::to_string(i), "x");
            }));
        });
    for (auto& w : writers)
        w.join();
    HiveData hive;
    ASSERT_TRUE(Load(root_, Hive::LocalMachine, hive));
    EXPECT_EQ(hive.KeyValues("Software\\Test")->size(), static_cast<std::size_t>(kWriters));
    // The other hive is untouched; no temporary file stays behind.
    EXPECT_FALSE(std::filesystem::exists(HiveFile(root_, Hive::ClassesRoot)));
    for (const auto& entry : std::filesystem::directory_iterator(root_))
        EXPECT_EQ(entry.path().string().find(".tmp"), std::string::npos) << entry.path();
}

TEST_F(RegistryFolder, AnUnwritableHiveStaysAsItWas) {
    ASSERT_TRUE(Update(root_, Hive::ClassesRoot,
                       [](HiveData& hive) { return hive.SetValue("Kept", "", "1"); }));
    // A folder where the hive file belongs: neither readable nor replaceable.
    std::filesystem::create_directory(HiveFile(root_, Hive::LocalMachine));
    EXPECT_FALSE(Update(root_, Hive::LocalMachine,
                        [](HiveData& hive) { return hive.SetValue("New", "", "1"); }));
    HiveData hive;
    EXPECT_FALSE(Load(root_, Hive::LocalMachine, hive));

    // A hive that does not parse is not overwritten either.
    std::ofstream(HiveFile(root_, Hive::ClassesRoot), std::ios::app) << "garbage\n";
    EXPECT_FALSE(Update(root_, Hive::ClassesRoot,
                        [](HiveData& hive) { return hive.SetValue("New", "", "1"); }));
    std::ifstream in(HiveFile(root_, Hive::ClassesRoot));
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("garbage"), std::string::npos);
}

} // namespace
} // namespace kelvo::registry
