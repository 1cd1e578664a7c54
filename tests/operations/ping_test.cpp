// The rendering of ping items, every type code; the exchange is in
// exchanges_test.cpp.
#include "operations/answers.h"
#include "operations/ping.h"

#include <gtest/gtest.h>

namespace kelvo::test {
namespace {

// The item's text; an unknown type code writes null.
std::string Render(std::uint8_t key, std::uint32_t type, const Bytes& value) {
    std::string text;
    const bool known = RenderPingItem(key, type, value, text);
    EXPECT_EQ(known, !text.ends_with(":null")) << std::hex << type;
    return text;
}

TEST(PingRender, EveryTypeCode) {
    const std::tuple<std::uint32_t, Bytes, const char*> cases[] = {
        {0x00000000, {1, 2}, R"("3":"?")"},
        {0x00000001, {0x02}, R"("3":true)"},
        {0x00000001, {0x00}, R"("3":false)"},
        {0x00010002, {0xFF}, R"("3":-1)"},
        {0x00020003, {0x00, 0x80}, R"("3":-32768)"},
        {0x00030004, {0xFE, 0xFF, 0xFF, 0xFF}, R"("3":-2)"},
        {0x00040005, {0xFF}, R"("3":255)"},
        {0x00050006, {0xFF, 0xFF}, R"("3":65535)"},
        {0x00060007, {0xFF, 0xFF, 0xFF, 0xFF}, R"("3":4294967295)"},
        {0x00070009, {0x41, 0x42}, R"("3":"AB")"},
        {0x00070009, {0x41, 0x22, 0x42}, R"("3":"A"B")"}, // copied, no escaping
        {0x0007FFFF, {0x43}, R"("3":"C")"},
        {0x0008FFFF, {0x00, 0x00, 0x00, 0x80}, R"("3":-2147483648)"},
        {0x00100015, Bytes(8, 0xFF), R"("3":-1)"},
        {0x0011001B, Bytes(8, 0xFF), R"("3":18446744073709551615)"},
        {0x00120008, F32(1.5f), R"("3":1.500000)"},
        {0xFFFF0011, F64(-2.25), R"("3":-2.250000)"},
        {0xFFFF0100, {}, R"("3":"?")"},
        {0xFFFF0101, {}, R"("3":"?")"},
        {0xFFFFFFFF, {0x78}, R"("3":"x")"},
        // Decisions: short values read zero-filled, texts end at a zero byte.
        {0x00030004, {0x05}, R"("3":5)"},
        {0x00100015, {}, R"("3":0)"},
        {0x00120008, {}, R"("3":0.000000)"},
        {0x00070009, {0x41, 0x00, 0x42}, R"("3":"A")"},
        {0x00070009, {}, R"("3":"")"},
        // Unknown type codes write null.
        {0x00000002, {1, 2, 3, 4}, R"("3":null)"},
        {0x00070008, {1, 2, 3, 4}, R"("3":null)"},
        {0x12345678, {1, 2, 3, 4}, R"("3":null)"},
    };
    for (const auto& [type, value, text] : cases)
        EXPECT_EQ(Render(3, type, value), text) << std::hex << type;
    EXPECT_EQ(Render(255, 1, {1}), R"("255":true)");
}

TEST(PingRender, LargestDoubleIsWhole) {
    const std::string text = Render(1, 0xFFFF0011, F64(-1.7976931348623157e308));
    EXPECT_EQ(text.substr(0, 6), "\"1\":-1");
    EXPECT_EQ(text.substr(text.size() - 7), ".000000");
    EXPECT_EQ(text.size(), 4u + 1 + 309 + 7);
}

} // namespace
} // namespace kelvo::test
