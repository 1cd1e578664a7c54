// The kelvo tool's discovery texts: scan lines and the ping text as JSON.
#include "commands.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace kelvo::tool {
namespace {

TEST(ScanLines, OneLinePerAnswerWithoutTheLastTab) {
    EXPECT_THAT(ScanLines("10.0.0.2\tdev0\t\n\n10.0.0.3\t\t\n"),
                ::testing::ElementsAre("10.0.0.2\tdev0", "", "10.0.0.3\t"));
    EXPECT_TRUE(ScanLines("").empty());
}

TEST(PingJson, ComponentTextToJson) {
    const std::pair<const char*, const char*> cases[] = {
        {"{  }", "{}"},
        {R"({ "1":true, "2":-5, "3":1.500000 })", R"({"1":true,"2":-5,"3":1.5})"},
        {R"({ "1":"a "b", "c":2", "2":"?" })", R"({"1":"a \"b\", \"c\":2","2":"?"})"},
        {R"({ "1":"x", "2":3 })", R"({"1":"x","2":3})"},
        {R"({ "7":null, "8":nan, "9":-inf, "10":18446744073709551615 })",
         R"({"7":null,"8":null,"9":null,"10":18446744073709551615})"},
        {R"({ "1":"" })", R"({"1":""})"},
        {"not ping text", "null"},
        {R"({ "1":"open })", "null"},
    };
    for (auto [text, json] : cases)
        EXPECT_EQ(PingJson(text), json) << text;
}

} // namespace
} // namespace kelvo::tool
