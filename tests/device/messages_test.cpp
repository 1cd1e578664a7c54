// The message file: its format and every way a load fails, the object's
// message table and ErrorString, and the file shipped beside the component.
#include "automation/settings_paths.h"
#include "device/kelvo_object.h"
#include "device/messages.h"
#include "support/message_box_capture.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

namespace kelvo::test {
namespace {

class MessageFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = TestFolderPath("messages") + "/";
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        SetModuleDirectoryOverride(std::nullopt);
        std::filesystem::remove_all(dir_);
    }

    std::string Write(const std::string& bytes) {
        const std::string path = dir_ + kMessageFileName;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    MessageBoxCapture capture_;
    std::string dir_;
};

struct LoadCase {
    const char* name;
    std::string bytes;
    bool ok;
    std::map<std::int32_t, std::u16string> err; // section ERR afterwards
};

const LoadCase kLoadCases[] = {
    {"Plain", "[ERR]\n1,one\n0x15000002,login\n", true, {{1, u"one"}, {0x15000002, u"login"}}},
    {"CarriageReturnsAndEmptyLines", "[ERR]\r\n\r\n\n1,one\r\n", true, {{1, u"one"}}},
    {"MissingLastLineFeedKeepsTheLinesBefore", "[ERR]\n1,one\n2,two", false, {{1, u"one"}}},
    {"HexAndDecimalAreOneKeyLaterWins",
     "[ERR]\n0x1500000E,first\n352321550,second\n",
     true,
     {{0x1500000E, u"second"}}},
    {"EntryBeforeTheFirstSection", "1,one\n[ERR]\n2,two\n", false, {}},
    {"QuotedTextWithComma", "[ERR]\n5,\"a, b\"\n", true, {{5, u"a, b"}}},
    {"QuotesRemovedOneEachEnd",
     "[ERR]\n1,\"open\n2,close\"\n3,\"\"\"\n4,\"\n",
     true,
     {{1, u"open"}, {2, u"close"}, {3, u"\""}, {4, u""}}},
    {"StarIsKeyOne", "[ERR]\n*,star\n1,one\n*other,again\n", true, {{1, u"again"}}},
    {"AutomaticBaseAndClamping",
     "[ERR]\n010,octal\n 7x,seven\n0xFFFFFFFF,big\n-99999999999,small\nabc,zero\n",
     true,
     {{8, u"octal"}, {7, u"seven"}, {INT32_MAX, u"big"}, {INT32_MIN, u"small"}, {0, u"zero"}}},
    {"LineWithoutComma", "[ERR]\n1,one\nno comma\n2,two\n", false, {{1, u"one"}}},
    {"SectionWithoutClosingBracket", "[ERR]\n1,one\n[OTHER\n", false, {{1, u"one"}}},
    {"SectionsContinue", "[ERR]\n1,a\n[X]\n1,x\n[ERR]\n2,b\n", true, {{1, u"a"}, {2, u"b"}}},
    {"Line254Characters",
     "[ERR]\n1," + std::string(252, 'a') + "\r\n",
     true,
     {{1, std::u16string(252, u'a')}}},
    {"Line255Characters", "[ERR]\n1,x\n2," + std::string(253, 'a') + "\n3,y\n", false, {{1, u"x"}}},
    {"Windows1252Text", "[ERR]\n1,\x80 \xe4\n", true, {{1, u"\u20ac \u00e4"}}},
    {"EmptyFile", "", true, {}},
};

class Load : public MessageFile, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(Load, ReadsOrFailsKeepingWhatWasRead) {
    const LoadCase& c = GetParam();
    MessageTable table;
    table[u"stale"][1] = u"cleared first";
    EXPECT_EQ(LoadMessageFile(Write(c.bytes), table), c.ok);
    EXPECT_EQ(table.count(u"stale"), 0u);
    const auto err = table.find(u"ERR");
    const MessageSection got = err == table.end() ? MessageSection{} : err->second;
    EXPECT_EQ(got, (MessageSection(c.err.begin(), c.err.end())));
}

INSTANTIATE_TEST_SUITE_P(MessageFile, Load, ::testing::ValuesIn(kLoadCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MessageFile, SectionNamesAreExactAndMayBeEmpty) {
    MessageTable table;
    ASSERT_TRUE(LoadMessageFile(Write("[]\n1,none\n[err]\n1,lower\n"), table));
    EXPECT_EQ(table[u""][1], u"none");
    EXPECT_EQ(table[u"err"][1], u"lower");
    EXPECT_EQ(table.count(u"ERR"), 0u);
    EXPECT_FALSE(LoadMessageFile(dir_ + "missing.ERR", table));
    EXPECT_TRUE(table.empty());
}

TEST_F(MessageFile, EachObjectReadsTheFileAfresh) {
    Write("[ERR]\n7,first text\n");
    SetModuleDirectoryOverride(dir_);
    CKelvo* first = new CKelvo;
    first->AddRef();
    Write("[ERR]\n7,second text\n");
    CKelvo* second = new CKelvo;
    second->AddRef();
    EXPECT_EQ(first->messages[7], u"first text");
    EXPECT_EQ(second->messages[7], u"second text");
    first->Release();
    second->Release();
}

TEST_F(MessageFile, FailedLoadShowsTheBoxAndKeepsTheObject) {
    Write("[ERR]\n7,kept\nbroken line\n8,lost\n");
    SetModuleDirectoryOverride(dir_);
    CKelvo* k = new CKelvo;
    k->AddRef();
    ASSERT_EQ(capture_.boxes.size(), 1u);
    EXPECT_EQ(capture_.boxes[0].text, u"Error loading Kelvo.err");
    EXPECT_EQ(capture_.boxes[0].caption, u"Kelvo");
    EXPECT_EQ(capture_.boxes[0].style, MB_OK | MB_ICONERROR);
    EXPECT_EQ(k->messages.size(), 1u);
    EXPECT_EQ(k->messages[7], u"kept");
    k->Release();

    // No file at all: the box again, an empty table.
    std::filesystem::remove(dir_ + kMessageFileName);
    k = new CKelvo;
    k->AddRef();
    EXPECT_EQ(capture_.boxes.size(), 2u);
    EXPECT_TRUE(k->messages.empty());
    k->Release();
}

TEST_F(MessageFile, WithoutAWindowTheBoxGoesToStandardError) {
    SetMessageBoxFunction(nullptr);
    ::testing::internal::CaptureStderr();
    ShowMessageBox(u"Error loading Kelvo.err", u"Kelvo", MB_OK | MB_ICONERROR);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Kelvo: Error loading Kelvo.err\n");
}

// The file shipped with the component: complete and loadable, and copied
// beside the programs that link the component.
TEST_F(MessageFile, ShippedFileHasEveryCode) {
    MessageTable table;
    ASSERT_TRUE(LoadMessageFile(KELVO_SOURCE_DIR "/data/Kelvo.ERR", table));
    const MessageSection& err = table[u"ERR"];
    std::vector<std::int32_t> codes = {1,          0x0A000001, 0x0A000002, 0x15000001,
                                       0x15000002, 0x1500000D, 0x1500000E, 0x1500000F};
    for (std::int32_t code = 3; code <= 16; ++code)
        codes.push_back(code);
    for (std::int32_t code : codes) {
        auto it = err.find(code);
        ASSERT_NE(it, err.end()) << std::hex << code;
        EXPECT_FALSE(it->second.empty());
        EXPECT_EQ(it->second.find(u'"'), std::u16string::npos) << std::hex << code;
    }
    EXPECT_EQ(err.count(0), 0u); // success has no text

    CKelvo* k = new CKelvo; // beside this program
    k->AddRef();
    EXPECT_TRUE(capture_.boxes.empty());
    EXPECT_EQ(k->messages.size(), err.size());
    k->Release();
}

} // namespace
} // namespace kelvo::test
