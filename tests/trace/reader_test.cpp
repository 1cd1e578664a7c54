// The viewer's reading code: order, following, entries lost to the writer,
// corrupt headers, the listing and the output forms.
#include "trace/channel.h"
#include "trace/reader.h"
#include "trace_testing.h"

#include <gtest/gtest.h>

namespace kelvo::test {
namespace {

using trace::TraceChannel;
using trace::TraceReader;

using Reader = TraceTest;

std::vector<std::uint32_t> Sequences(const std::vector<trace::TraceRecord>& records) {
    std::vector<std::uint32_t> out;
    for (const auto& r : records)
        out.push_back(r.sequence);
    return out;
}

TEST_F(Reader, FollowsNewEntriesAndCountsTheOverwritten) {
    TraceChannel channel;
    ASSERT_TRUE(channel.Open(TestBase("f"), 4, false));
    TraceReader reader;
    ASSERT_TRUE(reader.Open(channel.name()));
    std::uint32_t cursor = 0;
    std::uint64_t lost = 0;
    EXPECT_TRUE(reader.ReadSince(cursor, &lost).empty());

    for (std::uint32_t i = 0; i < 3; ++i)
        WriteText(channel, i, 2, u"e");
    EXPECT_EQ(Sequences(reader.ReadSince(cursor, &lost)), (std::vector<std::uint32_t>{0, 1, 2}));
    EXPECT_EQ(cursor, 3u);
    EXPECT_TRUE(reader.ReadSince(cursor, &lost).empty());

    // Ten more into four slots: a reader that lagged a whole ring behind
    // gets the newest three (the fourth slot may be in the writer's hands).
    for (std::uint32_t i = 3; i < 13; ++i)
        WriteText(channel, i, 2, u"e");
    EXPECT_EQ(Sequences(reader.ReadSince(cursor, &lost)), (std::vector<std::uint32_t>{10, 11, 12}));
    EXPECT_EQ(lost, 7u);
    EXPECT_EQ(cursor, 13u);

    // A full listing shows all four and hands over to following.
    EXPECT_EQ(Sequences(reader.ReadAll(&cursor)), (std::vector<std::uint32_t>{9, 10, 11, 12}));
    WriteText(channel, 13, 2, u"e");
    EXPECT_EQ(Sequences(reader.ReadSince(cursor, &lost)), (std::vector<std::uint32_t>{13}));
}

TEST_F(Reader, DataRecordsAndTheOutputForms) {
    TraceChannel channel;
    ASSERT_TRUE(channel.Open(TestBase("d"), 4, false));
    WriteText(channel, 5, 2, u"CKelvo::Save_Command \"quoted\"\t\u00e4");
    const std::uint8_t bytes[] = {0xDE, 0xAD, 0x01};
    channel.Write({.time = 6, .category = 0x40, .kind = 1, .length = 3}, bytes, sizeof bytes);
    // Longer than a slot: shown up to the slot's end.
    channel.Write({.time = 7, .category = 0x40, .kind = 1, .length = 900}, bytes, sizeof bytes);

    TraceReader reader;
    ASSERT_TRUE(reader.Open(channel.name()));
    const auto records = reader.ReadAll();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(trace::FormatRecord(records[0]),
              "5 [Read operations] CKelvo::Save_Command \"quoted\"\t\xC3\xA4");
    EXPECT_EQ(trace::RecordJson(records[0]),
              "{\"sequence\":5,\"category\":2,\"label\":\"Read operations\","
              "\"text\":\"CKelvo::Save_Command \\\"quoted\\\"\\t\xC3\xA4\"}");
    EXPECT_EQ(records[1].data, (std::vector<std::uint8_t>{0xDE, 0xAD, 0x01}));
    EXPECT_EQ(trace::FormatRecord(records[1]), "6 [0x40] kind 1: de ad 01");
    EXPECT_EQ(trace::RecordJson(records[1]),
              "{\"sequence\":6,\"category\":64,\"label\":\"\",\"kind\":1,\"data\":\"dead01\"}");
    EXPECT_EQ(records[2].data.size(), 480u);
}

TEST_F(Reader, CorruptHeaderIsClampedToTheMapping) {
    // A header claiming more slots, and a next beyond them.
    std::vector<std::uint8_t> memory(trace::SectionSize(2), 0);
    stle_u32(memory.data() + trace::kHeaderCapacity, 1000000);
    stle_u32(memory.data() + trace::kHeaderNext, 77);
    stle_u32(memory.data() + trace::kHeaderCount, 0xFFFFFFF0u);
    TraceReader reader;
    ASSERT_TRUE(reader.Attach(memory.data(), memory.size()));
    EXPECT_EQ(reader.Capacity(), 2u);
    EXPECT_EQ(reader.ReadAll().size(), 2u);
    std::uint32_t cursor = 5;
    std::uint64_t lost = 0;
    EXPECT_EQ(reader.ReadSince(cursor, &lost).size(), 1u);

    EXPECT_FALSE(reader.Attach(memory.data(), 100));
    EXPECT_TRUE(reader.ReadAll().empty());
}

TEST_F(Reader, MissingAndForeignObjectsAreNotOpened) {
    TraceReader reader;
    std::string error;
    EXPECT_FALSE(reader.Open(trace::SectionName(TestBase("missing")), &error));
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
    // An empty object of the prefix is no channel.
    const std::string name = trace::SectionName(TestBase("empty"));
    const int fd = ::shm_open(("/" + name).c_str(), O_CREAT | O_RDWR, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_FALSE(reader.Open(name, &error));
    EXPECT_NE(error.find("not a trace channel"), std::string::npos);
}

TEST_F(Reader, NameTakenOverByANewWriterIsNoticed) {
    auto old = std::make_unique<TraceChannel>();
    ASSERT_TRUE(old->Open(TestBase("m"), 2, false));
    TraceReader reader;
    ASSERT_TRUE(reader.Open(old->name()));
    EXPECT_FALSE(reader.NameMovedOn());
    old.reset();
    EXPECT_FALSE(reader.NameMovedOn()); // gone is not moved on
    TraceChannel fresh;
    ASSERT_TRUE(fresh.Open(TestBase("m"), 2, false));
    EXPECT_TRUE(reader.NameMovedOn());
}

} // namespace
} // namespace kelvo::test
