#include "protocol/crc16.h"

#include <gtest/gtest.h>

#include <string_view>

namespace kelvo {
namespace {

std::span<const std::uint8_t> Bytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// The catalogue's check value; a running value over any cut (the empty
// pieces too) equals one pass.
TEST(Crc16, CheckValueAndRunningValue) {
    EXPECT_EQ(Crc16(Bytes("123456789")), 0x29B1);
    const std::string_view text = "\x05\x00\x01\x00\x02\x0e\x30 and more bytes";
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
        std::uint16_t running = Crc16(Bytes(text.substr(0, cut)));
        running = Crc16(Bytes(text.substr(cut)), running);
        EXPECT_EQ(running, Crc16(Bytes(text))) << "cut at " << cut;
    }
}

} // namespace
} // namespace kelvo
