// Trace settings in Kelvo.ini and the start-up of tracing: when tracing comes
// on, the labels, the sequence numbers, the mask and the line limit.
#include "kelvo/trace.h"
#include "support/temp_folder.h"
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
    void SetUp() override { g_waits = 0; }
    void TearDown() override {
        trace::SetTraceTarget({});
        channel_.reset();
        RemoveTestChannels();
    }

    void WriteIni(const std::string& text) { std::ofstream(folder_ + "/Kelvo.ini") << text; }

    // Starts tracing, from `ini` when given.
    TraceChannel* Start(const char* ini = nullptr) {
        if (ini)
            WriteIni(ini);
        trace::StartOptions options;
        options.settingsFolder = folder_;
        options.baseName = TestBase("s");
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

    TempFolder dir_{"trace"};
    const std::string folder_ = dir_.path();
    std::unique_ptr<TraceChannel> channel_;
};

// Kelvo.ini's [Trace] section and the defaults; the profile rules themselves
// are the profile reader's own tests.
TEST_F(TraceStart, SettingsWithDefaults) {
    const struct {
        const char* ini; // nullptr: no file
        trace::TraceSettings expected;
    } cases[] = {
        {nullptr, {0, 65535, 2048}},
        {"[trace]\r\n traceenable = 7 \r\nTRACEMASK=3\r\ntracesize=10\r\n", {7, 3, 10}},
        {"[Trace]\nTracesize=-5\nTracemask=+9\n", {0, 9, 4294967291u}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ini ? c.ini : "no file");
        std::filesystem::remove(folder_ + "/Kelvo.ini");
        if (c.ini)
            WriteIni(c.ini);
        const trace::TraceSettings s = trace::ReadTraceSettings(trace::TraceSettingsPath(folder_));
        EXPECT_EQ(std::tuple(s.enable, s.mask, s.size),
                  std::tuple(c.expected.enable, c.expected.mask, c.expected.size));
    }
}

TEST(TraceSettings, PathAndSizeLimits) {
    EXPECT_EQ(trace::TraceSettingsPath(""), "");
    EXPECT_EQ(trace::TraceSettingsPath("/home/u/.config"), "/home/u/.config/Kelvo.ini");
    const std::string fits(260 - 10, 'a');
    EXPECT_EQ(trace::TraceSettingsPath(fits).size(), 260u);
    EXPECT_EQ(trace::TraceSettingsPath(fits + "a"), "");
    // A size above the cap gives 2000 entries.
    EXPECT_EQ(trace::ChannelCapacity(100000), 100000u);
    EXPECT_EQ(trace::ChannelCapacity(100001), 2000u);
    EXPECT_EQ(trace::ChannelCapacity(4294967291u), 2000u);
}

TEST_F(TraceStart, OffWithoutFileOrWithAZeroSetting) {
    EXPECT_EQ(Start(), nullptr);
    for (const char* ini : {"[Trace]\nTraceEnable=0\n", "[Trace]\nTraceEnable=1\nTracemask=0\n",
                            "[Trace]\nTraceEnable=1\nTracesize=0\n"}) {
        EXPECT_EQ(Start(ini), nullptr) << ini;
        EXPECT_FALSE(TraceEnabled(0xFFFFFFFF));
        EXPECT_FALSE(Trace(TRACE_CONNECTION, u"%i", 1));
        EXPECT_FALSE(TraceText(TRACE_CONNECTION, u"x"));
        EXPECT_FALSE(ObjectExists(trace::SectionName(TestBase("s"))));
    }
    EXPECT_EQ(g_waits, 0);
}

TEST_F(TraceStart, DefaultMaskStartsWithTheFiveLabels) {
    const std::time_t before = std::time(nullptr);
    TraceChannel* channel = Start("[Trace]\nTraceEnable=1\n");
    ASSERT_NE(channel, nullptr);
    EXPECT_EQ(channel->name(), trace::SectionName(TestBase("s")));
    EXPECT_EQ(channel->capacity(), 2048u);
    EXPECT_EQ(g_waits, 1);
    EXPECT_TRUE(Trace(TRACE_READ, u"CKelvo::DeleteUser %s", u"admin"));

    const auto entries = Entries();
    ASSERT_EQ(entries.size(), 6u);
    const std::pair<std::uint32_t, const char16_t*> labels[] = {{1, u"Kelvo library connection"},
                                                                {2, u"Read operations"},
                                                                {4, u"Write operations"},
                                                                {8, u"Low-level read operations"},
                                                                {16, u"Low-level write operations"},
                                                                {2, u"CKelvo::DeleteUser admin"}};
    for (std::uint32_t i = 0; i < 6; ++i) {
        EXPECT_EQ(entries[i].sequence, i);
        EXPECT_EQ(entries[i].category, labels[i].first);
        EXPECT_EQ(entries[i].text, labels[i].second);
    }

    RawObject raw(channel->name());
    ASSERT_TRUE(raw.ok());
    EXPECT_EQ(raw.u32(16), static_cast<std::uint32_t>(::getpid()));
    EXPECT_EQ(raw.u32(20), 65535u);
    EXPECT_GE(static_cast<std::int64_t>(raw.u64(40)), before);
    EXPECT_LE(static_cast<std::int64_t>(raw.u64(40)), std::time(nullptr));
}

TEST_F(TraceStart, MaskOneWritesOnlyTheFirstLabelAndNoOperationLines) {
    ASSERT_NE(Start("[Trace]\nTraceEnable=1\nTracemask=1\n"), nullptr);
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

TEST_F(TraceStart, ASinkTakesTheLinesAndGivesThemBack) {
    ASSERT_NE(Start("[Trace]\nTraceEnable=1\nTracemask=2\n"), nullptr);
    {
        TraceCapture capture(TRACE_WRITE);
        // An argument that would fault if formatted: outside the mask it is never touched.
        const auto* poison = reinterpret_cast<const char16_t*>(std::uintptr_t{8});
        EXPECT_FALSE(Trace(TRACE_READ, u"%s", poison));
        EXPECT_TRUE(Trace(TRACE_WRITE, u"captured %i", 1));
        EXPECT_EQ(capture.lines, std::vector<std::string>{"captured 1"});
        EXPECT_EQ(capture.categories, std::vector<std::uint32_t>{TRACE_WRITE});
    }
    EXPECT_TRUE(Trace(TRACE_READ, u"back in the channel"));
    const auto entries = Entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].text, u"back in the channel");
}

// kelvo -v: the lines the tool shows stay in the channel, each side with its
// own mask.
TEST_F(TraceStart, ALocalTraceLeavesTheChannelItsLines) {
    ASSERT_NE(Start("[Trace]\nTraceEnable=1\nTracemask=2\n"), nullptr);
    trace::LocalTrace local(TRACE_READ | TRACE_WRITE, 8);
    Trace(TRACE_READ, u"CKelvo::Save_Command");
    EXPECT_TRUE(Trace(TRACE_WRITE, u"local only"));
    EXPECT_EQ(local.Take().size(), 2u);
    const auto entries = Entries(); // the label of category 2, the operation line
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].text, u"CKelvo::Save_Command");
}

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
