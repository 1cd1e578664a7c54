// Argument text to automation values, results to text and JSON, scan lines
// and the ping text as JSON, as the kelvo tool converts them.
#include "commands.h"
#include "tool_testing.h"
#include "value_text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace kelvo::tool {
namespace {

struct ArgumentCase {
    const char* text;
    VARTYPE vt;
    VARTYPE resultVt;  // the type stored (a VARIANT argument picks its own); VT_EMPTY: refused
    const char* shown; // the stored value as ResultText prints it
    const char* json;  // and as ResultJson does
};

// Rows per path of the tool's own: text through VariantChangeType (its
// parsing and ranges are the automation tests'), 0x numbers, prefixes, hex data;
// what is stored as text and as JSON (nothing stored: empty and null).
TEST(ArgumentFromText, ConvertsOrRefuses) {
    const ArgumentCase cases[] = {
        {"-2147483648", VT_I4, VT_I4, "-2147483648\n", "-2147483648"},
        {"42", VT_I2, VT_I2, "42\n", "42"},
        {"0x1234", VT_I4, VT_I4, "4660\n", "4660"},
        {"0xFFFFFFFF", VT_UI4, VT_UI4, "4294967295\n", "4294967295"},
        {"0xFFFFFFFF", VT_I4, VT_EMPTY, "", "null"},
        {"70000", VT_I2, VT_EMPTY, "", "null"},
        {"abc", VT_I4, VT_EMPTY, "", "null"},
        {"0x", VT_I4, VT_EMPTY, "", "null"},
        {"true", VT_BOOL, VT_BOOL, "-1\n", "-1"},
        {"i4:5", VT_VARIANT, VT_I4, "5\n", "5"},
        {"UI1:200", VT_VARIANT, VT_UI1, "200\n", "200"},
        {"r4:1.5", VT_VARIANT, VT_R4, "1.5\n", "1.5"},
        {"i2:abc", VT_VARIANT, VT_EMPTY, "", "null"},
        {"C:\\path", VT_VARIANT, VT_BSTR, "C:\\path\n", "\"C:\\\\path\""},
        {"12", VT_VARIANT, VT_BSTR, "12\n", "\"12\""},
        {"hex:", VT_VARIANT, VT_ARRAY | VT_UI1, "\n", "\"\""},
        {"gr\xC3\xBC\xC3\x9F", VT_BSTR, VT_BSTR, "gr\xC3\xBC\xC3\x9F\n", "\"gr\xC3\xBC\xC3\x9F\""},
        {"0aFF10", VT_ARRAY | VT_UI1, VT_ARRAY | VT_UI1, "0aff10\n", "\"0aff10\""},
        {"0a0", VT_ARRAY | VT_UI1, VT_EMPTY, "", "null"},
        {"0x12", VT_ARRAY | VT_UI1, VT_EMPTY, "", "null"},
        {"x", VT_BYREF | VT_UI1, VT_EMPTY, "", "null"},
        {"x", VT_ARRAY | VT_I4, VT_EMPTY, "", "null"},
    };
    for (const ArgumentCase& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " as " + std::to_string(c.vt));
        Variant out;
        std::string error;
        EXPECT_EQ(ArgumentFromText(c.text, c.vt, &out, error), c.resultVt != VT_EMPTY) << error;
        EXPECT_EQ(out.vt, c.resultVt);
        EXPECT_EQ(error.empty(), c.resultVt != VT_EMPTY);
        EXPECT_EQ(ResultText(out), c.shown);
        EXPECT_EQ(ResultJson(out), c.json);
    }
    // NaN, which no argument text gives, is no JSON number.
    Variant nan;
    nan.vt = VT_R8;
    nan.dblVal = std::nan("");
    EXPECT_EQ(ResultJson(nan), "null");
}

// Every advertised prefix is accepted.
TEST(ArgumentFromText, EveryListedPrefixConverts) {
    for (const std::string& prefix : test::Words(VariantPrefixes())) {
        Variant out;
        std::string error;
        EXPECT_TRUE(
            ArgumentFromText(prefix + (prefix == "hex" ? ":01" : ":1"), VT_VARIANT, &out, error))
            << prefix << ": " << error;
        EXPECT_NE(out.vt, VT_EMPTY) << prefix;
    }
}

// A VARIANT holding a safe array made from the given elements.
template <class T> void MakeArray(Variant& v, VARTYPE vt, const std::vector<T>& items) {
    v.vt = static_cast<VARTYPE>(VT_ARRAY | vt);
    v.parray = SafeArrayCreateVector(vt, 0, static_cast<ULONG>(items.size()));
    for (std::size_t i = 0; i < items.size(); ++i) {
        const LONG index = static_cast<LONG>(i);
        T item = items[i];
        if constexpr (std::is_same_v<T, BSTR>)
            SafeArrayPutElement(v.parray, &index, item);
        else
            SafeArrayPutElement(v.parray, &index, &item);
    }
}

TEST(ResultFormat, TextIsUtf8AndJsonEscaped) {
    Variant v;
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(u"a\"b\\c\n\u0001\u00e9\u20ac\t");
    EXPECT_EQ(ResultText(v), "a\"b\\c\n\x01\xC3\xA9\xE2\x82\xAC\t\n");
    EXPECT_EQ(ResultJson(v), "\"a\\\"b\\\\c\\n\\u0001\xC3\xA9\xE2\x82\xAC\\t\"");
    // A text that ends its own line gets no second line end.
    Variant line;
    line.vt = VT_BSTR;
    line.bstrVal = SysAllocString(u"one\n");
    EXPECT_EQ(ResultText(line), "one\n");
    EXPECT_EQ(JsonString("\x1f\x7f"), "\"\\u001f\x7f\"");
}

// Byte arrays as hex: ArgumentFromText's hex rows.
TEST(ResultFormat, ArraysAsListsPerLine) {
    Variant words;
    MakeArray<LONG>(words, VT_I4, {1, -2});
    EXPECT_EQ(ResultText(words), "1\n-2\n");
    EXPECT_EQ(ResultJson(words), "[1,-2]");

    Bstr first(u"admin");
    Bstr second(u"x\"y");
    Variant names;
    MakeArray<BSTR>(names, VT_BSTR, {first.get(), second.get()});
    EXPECT_EQ(ResultText(names), "admin\nx\"y\n");
    EXPECT_EQ(ResultJson(names), "[\"admin\",\"x\\\"y\"]");

    Variant none;
    MakeArray<LONG>(none, VT_I4, {});
    EXPECT_EQ(ResultText(none), "");
    EXPECT_EQ(ResultJson(none), "[]");
}

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
