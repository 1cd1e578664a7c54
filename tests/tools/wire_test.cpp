// The frame lines of kelvo --wire: password bytes masked, answers decoded.
#include "wire.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

namespace kelvo::tool {
namespace {

using enum Direction;
using enum LinkType;

// Bytes written as the wire lines show them: hex pairs between blanks.
struct Bytes : std::vector<std::uint8_t> {
    Bytes(const char* hex) {
        std::istringstream in(hex);
        for (std::string pair; in >> pair;)
            push_back(static_cast<std::uint8_t>(std::stoul(pair, nullptr, 16)));
    }
};

struct HexCase {
    LinkType link;
    Bytes bytes;
    bool showSecrets;
    const char* hex;
};

TEST(WireHex, MasksPasswordsUnlessAsked) {
    // Login "ab"/"xyz"; ChangePasswordUser "p"/"qr"; CreateUser with an empty password.
    const Bytes login = "00 01 00 09 01 30 02 61 62 03 78 79 7a";
    const HexCase cases[] = {
        {Tcp, login, false, "00 01 00 09 01 30 02 61 62 03 ***"},
        {Tcp, login, true, "00 01 00 09 01 30 02 61 62 03 78 79 7a"},
        {Serial, "ff 00 01 00 05 01 30 00 02 70 77 12 34", false,
         "ff 00 01 00 05 01 30 00 02 *** 12 34"},
        {Tcp, "00 02 00 07 02 30 01 70 02 71 72", false, "00 02 00 07 02 30 01 *** 02 ***"},
        {Tcp, "00 03 00 05 04 30 01 75 00", false, "00 03 00 05 04 30 01 75 00"},
        {Tcp, "00 04 00 02 0e 30", false, "00 04 00 02 0e 30"},
    };
    for (const HexCase& c : cases)
        EXPECT_EQ(WireHex(Request, c.link, c.bytes, c.showSecrets), c.hex);
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
        {Request, Tcp, "00 07 00 02 0e 30", 0, "Save_Command #7 request"},
        {Answer, Tcp, "00 07 00 02 e0 30", 0x300E, "Save_Command #7 answer, success"},
        {Answer, Tcp, "00 08 00 06 e1 30 04 02 00 00 15", 0x300E,
         "Save_Command #8 answer, device error 0x15000002"},
        // The parameter read's longer header puts the code behind three more bytes.
        {Answer, Tcp, "00 09 00 09 11 02 00 00 00 04 01 00 00 0b", 0x0201,
         "get_Par #9 answer, device error 0x0B000001"},
        {Answer, Tcp, "00 09 00 06 21 02 04 01 00 00 0b", 0x1004,
         "WriteDataBlock #9 answer, device error 0x0B000001"},
        {Answer, Tcp, "00 01 00 02 12 04", 0x0401, "Reset_Command #1 answer, other status 0x0412"},
        {Answer, Serial, "01 00 00 00 02 e0 30 2e 01", 0x300E, "Save_Command #0 answer, success"},
        {Answer, Serial, "01 00 00 00 02 e0 30 d1 fe", 0x300E,
         "Save_Command #0 answer, success, CRC incorrect"},
        {Answer, Tcp, "00 01 00", 0x300E, "answer of 3 bytes, shorter than a header"},
        {Stream, Serial, "01 02 03", 0, "push data, 3 bytes"},
    };
    for (const SummaryCase& c : cases)
        EXPECT_EQ(WireSummary(c.direction, c.link, c.bytes, c.requestCommand), c.summary);
}

} // namespace
} // namespace kelvo::tool
