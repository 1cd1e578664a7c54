// The message file: the object's message table, the box of a failed load, and
// the file shipped beside the component.
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
    void TearDown() override { SetModuleDirectoryOverride(std::nullopt); }

    std::string Write(const std::string& bytes) {
        const std::string path = dir_ + kMessageFileName;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    MessageBoxCapture capture_;
    TempFolder folder_{"messages"};
    const std::string dir_ = folder_.path() + "/";
};

// The format itself (sections, keys, quotes, line lengths, code page, every
// way a load fails) is checked by the message_file fuzz replay against a
// second reading of it; here what the object does with the file.
TEST_F(MessageFile, EachObjectReadsTheFileAfresh) {
    Write("[ERR]\n7,first text\n");
    SetModuleDirectoryOverride(dir_);
    CKelvo first;
    Write("[ERR]\n7,second text\n");
    CKelvo second;
    EXPECT_EQ(first.messages[7], u"first text");
    EXPECT_EQ(second.messages[7], u"second text");
}

TEST_F(MessageFile, FailedLoadShowsTheBoxAndKeepsTheObject) {
    Write("[ERR]\n7,kept\nbroken line\n8,lost\n");
    SetModuleDirectoryOverride(dir_);
    CKelvo k;
    ASSERT_EQ(capture_.boxes.size(), 1u);
    EXPECT_EQ(capture_.boxes[0].text, u"Error loading Kelvo.err");
    EXPECT_EQ(capture_.boxes[0].caption, u"Kelvo");
    EXPECT_EQ(capture_.boxes[0].style, MB_OK | MB_ICONERROR);
    EXPECT_EQ(k.messages.size(), 1u);
    EXPECT_EQ(k.messages[7], u"kept");

    // No file at all: the box again, an empty table.
    std::filesystem::remove(dir_ + kMessageFileName);
    CKelvo none;
    EXPECT_EQ(capture_.boxes.size(), 2u);
    EXPECT_TRUE(none.messages.empty());
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

    CKelvo k; // beside this program
    EXPECT_TRUE(capture_.boxes.empty());
    EXPECT_EQ(k.messages.size(), err.size());
}

} // namespace
} // namespace kelvo::test
