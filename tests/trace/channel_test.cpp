// The shared-memory trace channel on real POSIX shared memory: layout by
// offset, the ring, naming between processes, fallbacks and limits.
#include "trace/channel.h"
#include "trace/reader.h"
#include "trace_testing.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace kelvo::test {
namespace {

using trace::TraceChannel;

using Channel = TraceTest;

TEST(ChannelNames, BaseNameUpperCasedAndPidSuffixCut) {
    EXPECT_EQ(trace::SectionName("Kelvo"), "ALTRACE_KELVO");
    EXPECT_EQ(trace::SectionName("a1_b"), "ALTRACE_A1_B");
    EXPECT_EQ(trace::PidSuffix(4711), "_4711");
    EXPECT_EQ(trace::PidSuffix(12345678), "_12345678");
    // The suffix, underscore included, holds at most 9 characters.
    EXPECT_EQ(trace::PidSuffix(123456789), "_12345678");
    EXPECT_EQ(trace::PidSuffix(2147483647), "_21474836");
}

TEST_F(Channel, EntryFieldsAtTheirOffsets) {
    TraceChannel channel;
    ASSERT_TRUE(channel.Open(TestBase("e"), 4, false));
    const char16_t text[] = u"h\u00e9";
    ASSERT_TRUE(channel.Write({.time = 0xA1A2A3A4, .category = 16, .callerTag = 0xC0DE}, text,
                              sizeof text));
    std::uint8_t data[5] = {1, 2, 3, 4, 5};
    ASSERT_TRUE(
        channel.Write({.time = 7, .category = 16, .callerTag = 0xC0DE, .kind = 2, .length = 5},
                      data, sizeof data));

    RawObject raw(channel.name());
    ASSERT_TRUE(raw.ok());
    // Slot 0: time, category, caller tag, then kind, length and the text.
    std::vector<std::uint32_t> slot0;
    for (std::size_t offset : {0, 4, 8})
        slot0.push_back(raw.u32(RawObject::Slot(0, offset)));
    for (std::size_t offset = 12; offset <= 20; offset += 2)
        slot0.push_back(raw.u16(RawObject::Slot(0, offset)));
    EXPECT_EQ(slot0, (std::vector<std::uint32_t>{0xA1A2A3A4u, 16, 0xC0DE, 0, 0, u'h', 0xE9, 0}));
    EXPECT_EQ(raw.u16(RawObject::Slot(1, 12)), 2u);
    EXPECT_EQ(raw.u16(RawObject::Slot(1, 14)), 5u);
    EXPECT_EQ(raw.u8(RawObject::Slot(1, 16 + 4)), 5);
    EXPECT_EQ(std::pair(raw.u32(4), raw.u32(8)), std::pair(2u, 2u)); // next, count
}

TEST_F(Channel, RingOfThreeWraps) {
    TraceChannel channel;
    ASSERT_TRUE(channel.Open(TestBase("r"), 3, false));
    RawObject raw(channel.name());
    ASSERT_TRUE(raw.ok());
    EXPECT_EQ(raw.size(), 3u * 496 + 256);
    EXPECT_EQ(raw.mode(), 0600u);
    for (std::uint32_t i = 0; i < 3; ++i)
        ASSERT_TRUE(WriteText(channel, i, 2, u"entry " + std::u16string(1, u'0' + i)));
    const auto header = [&raw] { return std::tuple(raw.u32(0), raw.u32(4), raw.u32(8)); };
    EXPECT_EQ(header(), std::tuple(1u, 0u, 3u)); // first, next, count

    ASSERT_TRUE(WriteText(channel, 3, 2, u"entry 3"));
    EXPECT_EQ(raw.u16(RawObject::Slot(0, 16 + 2 * 6)), u'3'); // "entry 3" in slot 0
    EXPECT_EQ(header(), std::tuple(2u, 1u, 4u));
}

TEST_F(Channel, WhatDoesNotFitIsRefused) {
    TraceChannel channel;
    ASSERT_TRUE(channel.Open(TestBase("o"), 2, false));
    std::vector<std::uint8_t> big(481);
    EXPECT_FALSE(channel.Write({}, big.data(), big.size()));
    EXPECT_TRUE(channel.Write({}, big.data(), 480));

    TraceChannel none;
    ASSERT_TRUE(none.Open(TestBase("z"), 0, false));
    EXPECT_FALSE(WriteText(none, 0, 2, u"x"));

    // More than 512 MiB: no channel at all.
    TraceChannel huge;
    EXPECT_FALSE(huge.Open(TestBase("big"), 1082401, false));
    EXPECT_FALSE(huge.IsOpen());
    EXPECT_EQ(huge.memory(), TraceChannel::Memory::None);
    EXPECT_FALSE(WriteText(huge, 0, 2, u"x"));
    EXPECT_FALSE(ObjectExists(trace::SectionName(TestBase("big"))));
}

TEST_F(Channel, SecondOpeningKeepsTheChannel) {
    TraceChannel channel;
    ASSERT_TRUE(channel.Open(TestBase("s"), 3, false));
    const std::string name = channel.name();
    ASSERT_TRUE(WriteText(channel, 0, 2, u"kept"));
    EXPECT_FALSE(channel.Open(TestBase("other"), 9, false));
    EXPECT_EQ(std::pair(channel.name(), channel.capacity()), std::pair(name, 3u));
    EXPECT_FALSE(ObjectExists(trace::SectionName(TestBase("other"))));
    EXPECT_EQ(RawObject(name).u32(8), 1u); // the entry count
}

// A channel that cannot be shared still takes entries, in private memory.
TEST_F(Channel, PrivateMemoryWhenNoSharedObjectCanBeHad) {
    TraceChannel named, clash, invalid;
    ASSERT_TRUE(named.Open(TestBase("q"), 2, true));
    EXPECT_EQ(named.name(), trace::SectionName(TestBase("q")) + trace::PidSuffix(::getpid()));
    // With the per-process name taken, there is no further name to try.
    EXPECT_FALSE(clash.Open(TestBase("q"), 2, true));
    // A name the system refuses.
    EXPECT_FALSE(invalid.Open("bad/name", 2, false));

    for (TraceChannel* channel : {&clash, &invalid}) {
        EXPECT_EQ(channel->memory(), TraceChannel::Memory::Private);
        ASSERT_TRUE(channel->IsOpen());
        ASSERT_TRUE(WriteText(*channel, 9, 4, u"private"));
        trace::TraceReader reader;
        ASSERT_TRUE(reader.Attach(channel->data(), channel->size()));
        EXPECT_EQ(std::pair(reader.Header().capacity, reader.Header().valid), std::pair(2u, 1u));
        const auto records = reader.ReadAll();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].text, u"private");
        // Opening again keeps the private channel too.
        EXPECT_FALSE(channel->Open(TestBase("q2"), 4, false));
        EXPECT_EQ(channel->capacity(), 2u);
    }
}

TEST_F(Channel, NameRemovedWhileAViewerKeepsReading) {
    auto channel = std::make_unique<TraceChannel>();
    ASSERT_TRUE(channel->Open(TestBase("x"), 4, false));
    const std::string name = channel->name();
    ASSERT_TRUE(WriteText(*channel, 0, 1, u"before"));
    trace::TraceReader reader;
    ASSERT_TRUE(reader.Open(name));
    channel.reset();
    EXPECT_FALSE(ObjectExists(name));
    const auto records = reader.ReadAll();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].text, u"before");
}

TEST_F(Channel, SecondProcessGetsPidSuffixUntilTheFirstIsGone) {
    const std::string base = TestBase("k");
    const std::string plain = trace::SectionName(base);
    auto open = [base](TraceChannel& channel) {
        const bool shared = channel.Open(base, 4, false);
        WriteText(channel, 0, 2, u"written");
        return std::string(shared ? "shared " : "private ") + channel.name();
    };

    ChannelChild first(open);
    ASSERT_EQ(first.Report(), "shared " + plain);
    ChannelChild second(open);
    ASSERT_EQ(second.Report(), "shared " + plain + trace::PidSuffix(second.pid()));
    EXPECT_EQ(second.Release(), 0);
    EXPECT_FALSE(ObjectExists(plain + trace::PidSuffix(second.pid())));

    // A killed writer leaves its object behind; the next writer replaces it.
    first.Kill();
    ASSERT_TRUE(ObjectExists(plain));
    ChannelChild third([base](TraceChannel& channel) {
        const bool shared = channel.Open(base, 2, false);
        RawObject raw(channel.name());
        return std::string(shared ? "shared " : "private ") + channel.name() + " count " +
               std::to_string(raw.u32(8)) + " capacity " + std::to_string(raw.u32(12));
    });
    EXPECT_EQ(third.Report(), "shared " + plain + " count 0 capacity 2");
    EXPECT_EQ(third.Release(), 0);
    EXPECT_FALSE(ObjectExists(plain));
}

} // namespace
} // namespace kelvo::test
