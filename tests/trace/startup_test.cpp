// Trace settings in Kelvo.ini and the start-up of tracing: when tracing comes
// on, the labels, the sequence numbers, the mask and the line limit.
#include "kelvo/trace.h"
#include "support/trace_capture.h"
#include "trace/reader.h"
#include "trace/writer.h"
#include "trace_testing.h"

#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <memory>

namespace kelvo::test {
namespace {

using trace::TraceChannel;
using trace::TraceReader;

int g_waits = 0;
void CountWait() {
    ++g_waits;
}

class TraceStart : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = ::testing::TempDir() + "kelvo-trace-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_);
        g_waits = 0;
    }
    void TearDown() override {
        trace::SetTraceTarget({});
        channel_.reset();
        std::filesystem::remove_all(folder_);
        RemoveTestChannels();
    }

    void WriteIni(const std::string& text) { std::ofstream(folder_ + "/Kelvo.ini") << text; }

    TraceChannel* Start(const std::string& tag = "s") {
        trace::StartOptions options;
        options.settingsFolder = folder_;
        options.baseName = TestBase(tag);
        options.wait = CountWait;
        channel_ = trace::StartTracingWith(options);
        return channel_.get();
    }

    std::vector<trace::TraceRecord> Entries() {
        TraceReader reader;
        if (!channel_ || !reader.Attach(channel_->data(), channel_->size()))
            return {};
        return reader.ReadAll();
    }

    std::string folder_;
    std::unique_ptr<TraceChannel> channel_;
};

struct SettingsCase {
    const char* name;
    const char* ini; // nullptr: no file
    trace::TraceSettings expected;
};

const SettingsCase kSettingsCases[] = {
    {"NoFile", nullptr, {0, 65535, 2048}},
    {"OnlyEnable", "[Trace]\nTraceEnable=1\n", {1, 65535, 2048}},
    {"NamesWithoutCase",
     "[trace]\r\n traceenable = 7 \r\nTRACEMASK=3\r\ntracesize=10\r\n",
     {7, 3, 10}},
    {"OtherSection", "[Other]\nTraceEnable=1\n[Trace2]\nTracemask=1\n", {0, 65535, 2048}},
    {"EmptyValueGivesDefault", "[Trace]\nTraceEnable=\nTracesize=\"\"\n", {0, 65535, 2048}},
    {"NotANumberIsZero", "[Trace]\nTraceEnable=yes\nTracemask=0x10\n", {0, 0, 2048}},
    {"DigitsUpToTheFirstOther", "[Trace]\nTraceEnable=1\nTracesize=  12x\n", {1, 65535, 12}},
    {"NegativeWraps", "[Trace]\nTracesize=-5\nTracemask=+9\n", {0, 9, 4294967291u}},
    {"FirstKeyAndSectionCount",
     "[Trace]\nTraceEnable=1\nTraceEnable=0\n[Trace]\nTracemask=1\n",
     {1, 65535, 2048}},
};

class Settings : public TraceStart, public ::testing::WithParamInterface<SettingsCase> {};

TEST_P(Settings, ReadWithDefaults) {
    const SettingsCase& c = GetParam();
    if (c.ini)
        WriteIni(c.ini);
    const trace::TraceSettings s = trace::ReadTraceSettings(trace::TraceSettingsPath(folder_));
    EXPECT_EQ(s.enable, c.expected.enable);
    EXPECT_EQ(s.mask, c.expected.mask);
    EXPECT_EQ(s.size, c.expected.size);
}

INSTANTIATE_TEST_SUITE_P(TraceIni, Settings, ::testing::ValuesIn(kSettingsCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TraceSettingsPath, FolderAndLengthLimit) {
    EXPECT_EQ(trace::TraceSettingsPath(""), "");
    EXPECT_EQ(trace::TraceSettingsPath("/home/u/.config"), "/home/u/.config/Kelvo.ini");
    const std::string fits(260 - 10, 'a');
    EXPECT_EQ(trace::TraceSettingsPath(fits).size(), 260u);
    EXPECT_EQ(trace::TraceSettingsPath(fits + "a"), "");
}

TEST(TraceSettingsCapacity, AboveTheCapGives2000) {
    EXPECT_EQ(trace::ChannelCapacity(1), 1u);
    EXPECT_EQ(trace::ChannelCapacity(100000), 100000u);
    EXPECT_EQ(trace::ChannelCapacity(100001), 2000u);
    EXPECT_EQ(trace::ChannelCapacity(4294967291u), 2000u);
}

TEST_F(TraceStart, OffWithoutFileOrWithAZeroSetting) {
    EXPECT_EQ(Start(), nullptr);
    for (const char* ini : {"[Trace]\nTraceEnable=0\n", "[Trace]\nTraceEnable=1\nTracemask=0\n",
                            "[Trace]\nTraceEnable=1\nTracesize=0\n"}) {
        WriteIni(ini);
        EXPECT_EQ(Start(), nullptr) << ini;
        EXPECT_FALSE(TraceEnabled(0xFFFFFFFF));
        EXPECT_FALSE(Trace(TRACE_CONNECTION, u"%i", 1));
        EXPECT_FALSE(TraceText(TRACE_CONNECTION, u"x"));
        EXPECT_FALSE(ObjectExists(trace::SectionName(TestBase("s"))));
    }
    EXPECT_EQ(g_waits, 0);
}

TEST_F(TraceStart, DefaultMaskStartsWithTheFiveLabels) {
    WriteIni("[Trace]\nTraceEnable=1\n");
    const std::time_t before = std::time(nullptr);
    TraceChannel* channel = Start();
    ASSERT_NE(channel, nullptr);
    EXPECT_EQ(channel->memory(), TraceChannel::Memory::Shared);
    EXPECT_EQ(channel->name(), trace::SectionName(TestBase("s")));
    EXPECT_EQ(channel->capacity(), 2048u);
    EXPECT_EQ(g_waits, 1);
    EXPECT_TRUE(Trace(TRACE_READ, u"CKelvo::DeleteUser %s", u"admin"));

    const auto entries = Entries();
    ASSERT_EQ(entries.size(), 6u);
    const std::pair<std::uint32_t, const char16_t*> labels[] = {
        {1, u"Kelvo library connection"},
        {2, u"Read operations"},
        {4, u"Write operations"},
        {8, u"Low-level read operations"},
        {16, u"Low-level write operations"}};
    for (std::uint32_t i = 0; i < 5; ++i) {
        EXPECT_EQ(entries[i].sequence, i);
        EXPECT_EQ(entries[i].category, labels[i].first);
        EXPECT_EQ(entries[i].text, labels[i].second);
    }
    EXPECT_EQ(entries[5].sequence, 5u);
    EXPECT_EQ(entries[5].text, u"CKelvo::DeleteUser admin");

    RawObject raw(channel->name());
    ASSERT_TRUE(raw.ok());
    EXPECT_EQ(raw.u32(16), static_cast<std::uint32_t>(::getpid()));
    EXPECT_EQ(raw.u32(20), 65535u);
    EXPECT_GE(raw.i64(40), before);
    EXPECT_LE(raw.i64(40), std::time(nullptr));
}

TEST_F(TraceStart, MaskOneWritesOnlyTheFirstLabelAndNoOperationLines) {
    WriteIni("[Trace]\nTraceEnable=1\nTracemask=1\n");
    ASSERT_NE(Start(), nullptr);
    EXPECT_FALSE(Trace(TRACE_READ, u"CKelvo::Save_Command"));
    EXPECT_FALSE(TraceText(TRACE_READ, u"CKelvo::Save_Command"));
    EXPECT_TRUE(TraceText(TRACE_CONNECTION, u"connected"));
    const auto entries = Entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].sequence, 0u);
    EXPECT_EQ(entries[0].text, u"Kelvo library connection");
    EXPECT_EQ(entries[1].sequence, 1u);
    EXPECT_EQ(entries[1].text, u"connected");
}

// An argument that would fault if it were formatted: outside the mask it is
// never touched, and nothing reaches the channel.
TEST_F(TraceStart, CategoryOutsideTheMaskFormatsNothing) {
    WriteIni("[Trace]\nTraceEnable=1\nTracemask=1\n");
    ASSERT_NE(Start(), nullptr);
    const auto* poison = reinterpret_cast<const char16_t*>(std::uintptr_t{8});
    EXPECT_FALSE(Trace(TRACE_READ, u"%s", poison));
    EXPECT_EQ(Entries().size(), 1u);
}

TEST_F(TraceStart, LongMessagesAreStoredAs239Characters) {
    WriteIni("[Trace]\nTraceEnable=1\nTracemask=2\n");
    ASSERT_NE(Start(), nullptr);
    const std::u16string text(300, u'm');
    EXPECT_TRUE(Trace(TRACE_READ, u"%s", text));
    EXPECT_TRUE(TraceText(TRACE_READ, text));
    const auto entries = Entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[1].text, text.substr(0, 239));
    EXPECT_EQ(entries[2].text, text.substr(0, 239));
}

TEST_F(TraceStart, SizeAboveTheCapGives2000Entries) {
    WriteIni("[Trace]\nTraceEnable=1\nTracesize=100001\n");
    TraceChannel* channel = Start();
    ASSERT_NE(channel, nullptr);
    EXPECT_EQ(channel->capacity(), 2000u);
    RawObject raw(channel->name());
    EXPECT_EQ(raw.size(), 2000u * 496 + 256);
}

TEST_F(TraceStart, SizeAtTheCapIsKept) {
    WriteIni("[Trace]\nTraceEnable=1\nTracesize=100000\n");
    TraceChannel* channel = Start();
    ASSERT_NE(channel, nullptr);
    EXPECT_EQ(channel->capacity(), 100000u);
    EXPECT_EQ(channel->memory(), TraceChannel::Memory::Shared);
}

TEST_F(TraceStart, ASinkTakesTheLinesAndGivesThemBack) {
    WriteIni("[Trace]\nTraceEnable=1\nTracemask=2\n");
    ASSERT_NE(Start(), nullptr);
    {
        TraceCapture capture(TRACE_WRITE);
        EXPECT_FALSE(Trace(TRACE_READ, u"not captured"));
        EXPECT_TRUE(Trace(TRACE_WRITE, u"captured"));
        EXPECT_EQ(capture.lines, std::vector<std::string>{"captured"});
    }
    EXPECT_TRUE(Trace(TRACE_READ, u"back in the channel"));
    const auto entries = Entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].text, u"back in the channel");
}

} // namespace
} // namespace kelvo::test

namespace kelvo::test {
namespace {

TEST(LocalTrace, CollectsWhileInScopeAndRestores) {
    EXPECT_FALSE(TraceEnabled(TRACE_READ));
    {
        trace::LocalTrace local(TRACE_READ | TRACE_WRITE, 4);
        EXPECT_TRUE(Trace(TRACE_READ, u"CKelvo::get_Par %i", 1));
        EXPECT_FALSE(Trace(TRACE_CONNECTION, u"not in the mask"));
        EXPECT_TRUE(TraceText(TRACE_WRITE, u"second"));
        const auto first = local.Take();
        ASSERT_EQ(first.size(), 2u);
        EXPECT_EQ(first[0].category, TRACE_READ);
        EXPECT_EQ(first[0].text, u"CKelvo::get_Par 1");
        EXPECT_EQ(first[1].text, u"second");
        EXPECT_TRUE(local.Take().empty());
        TraceText(TRACE_READ, u"third");
        ASSERT_EQ(local.Take().size(), 1u);
    }
    EXPECT_FALSE(TraceEnabled(TRACE_READ));
    EXPECT_FALSE(Trace(TRACE_READ, u"off again"));
}

} // namespace
} // namespace kelvo::test
