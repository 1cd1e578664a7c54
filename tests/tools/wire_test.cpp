// The frame lines of kelvo --wire: password bytes masked, answers decoded.
#include "wire.h"

#include <gtest/gtest.h>

#include <vector>

namespace kelvo::tool {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct HexCase {
    LinkType link;
    Bytes bytes;
    bool showSecrets;
    const char* hex;
};

TEST(WireHex, MasksPasswordsUnlessAsked) {
    // Login "ab"/"xyz"; ChangePasswordUser "p"/"qr"; CreateUser with an empty password.
    const Bytes login = {0, 1, 0, 9, 0x01, 0x30, 2, 'a', 'b', 3, 'x', 'y', 'z'};
    const HexCase cases[] = {
        {LinkType::Tcp, login, false, "00 01 00 09 01 30 02 61 62 03 ***"},
        {LinkType::Tcp, login, true, "00 01 00 09 01 30 02 61 62 03 78 79 7a"},
        {LinkType::Serial,
         {0xFF, 0, 1, 0, 5, 0x01, 0x30, 0, 2, 'p', 'w', 0x12, 0x34},
         false,
         "ff 00 01 00 05 01 30 00 02 *** 12 34"},
        {LinkType::Tcp,
         {0, 2, 0, 7, 0x02, 0x30, 1, 'p', 2, 'q', 'r'},
         false,
         "00 02 00 07 02 30 01 *** 02 ***"},
        {LinkType::Tcp, {0, 3, 0, 5, 0x04, 0x30, 1, 'u', 0}, false, "00 03 00 05 04 30 01 75 00"},
        {LinkType::Tcp, {0, 4, 0, 2, 0x0E, 0x30}, false, "00 04 00 02 0e 30"},
    };
    for (const HexCase& c : cases)
        EXPECT_EQ(WireHex(Direction::Request, c.link, c.bytes, c.showSecrets), c.hex);
}

struct SummaryCase {
    Direction direction;
    LinkType link;
    Bytes bytes;
    std::uint16_t requestCommand;
    const char* summary;
};

TEST(WireSummary, NamesCounterAndStatus) {
    const SummaryCase cases[] = {
        {Direction::Request, LinkType::Tcp, {0, 7, 0, 2, 0x0E, 0x30}, 0, "Save_Command #7 request"},
        {Direction::Answer,
         LinkType::Tcp,
         {0, 7, 0, 2, 0xE0, 0x30},
         0x300E,
         "Save_Command #7 answer, success"},
        {Direction::Answer,
         LinkType::Tcp,
         {0, 8, 0, 6, 0xE1, 0x30, 4, 0x02, 0, 0, 0x15},
         0x300E,
         "Save_Command #8 answer, device error 0x15000002"},
        // The parameter read's longer header puts the code behind three more bytes.
        {Direction::Answer,
         LinkType::Tcp,
         {0, 9, 0, 9, 0x11, 0x02, 0, 0, 0, 4, 1, 0, 0, 0x0B},
         0x0201,
         "get_Par #9 answer, device error 0x0B000001"},
        {Direction::Answer,
         LinkType::Tcp,
         {0, 9, 0, 6, 0x21, 0x02, 4, 1, 0, 0, 0x0B},
         0x1004,
         "WriteDataBlock #9 answer, device error 0x0B000001"},
        {Direction::Answer,
         LinkType::Tcp,
         {0, 1, 0, 2, 0x12, 0x04},
         0x0401,
         "Reset_Command #1 answer, other status 0x0412"},
        {Direction::Answer,
         LinkType::Serial,
         {1, 0, 0, 0, 2, 0xE0, 0x30, 0x2E, 0x01},
         0x300E,
         "Save_Command #0 answer, success"},
        {Direction::Answer,
         LinkType::Serial,
         {1, 0, 0, 0, 2, 0xE0, 0x30, 0xD1, 0xFE},
         0x300E,
         "Save_Command #0 answer, success, CRC incorrect"},
        {Direction::Answer,
         LinkType::Tcp,
         {0, 1, 0},
         0x300E,
         "answer of 3 bytes, shorter than a header"},
        {Direction::Stream, LinkType::Serial, {1, 2, 3}, 0, "push data, 3 bytes"},
    };
    for (const SummaryCase& c : cases)
        EXPECT_EQ(WireSummary(c.direction, c.link, c.bytes, c.requestCommand), c.summary);
}

} // namespace
} // namespace kelvo::tool
