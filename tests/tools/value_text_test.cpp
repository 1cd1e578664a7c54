// Argument text to automation values and results to text and JSON, as the
// kelvo tool converts them.
#include "value_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

namespace kelvo::tool {
namespace {

std::vector<std::uint8_t> BytesOf(const VARIANT& v) {
    std::vector<std::uint8_t> out;
    if (v.vt != (VT_ARRAY | VT_UI1) || !v.parray)
        return out;
    LONG high = -1;
    SafeArrayGetUBound(v.parray, 1, &high);
    void* data = nullptr;
    if (high < 0 || FAILED(SafeArrayAccessData(v.parray, &data)))
        return out;
    out.assign(static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + high + 1);
    SafeArrayUnaccessData(v.parray);
    return out;
}

struct ArgumentCase {
    const char* text;
    VARTYPE vt;
    bool ok;
    VARTYPE resultVt; // the type stored (a VARIANT argument picks its own)
    long long number; // for integer results
};

class ArgumentFromTextTest : public ::testing::TestWithParam<ArgumentCase> {};

TEST_P(ArgumentFromTextTest, ConvertsOrRefuses) {
    const ArgumentCase& c = GetParam();
    Variant out;
    std::string error;
    ASSERT_EQ(ArgumentFromText(c.text, c.vt, &out, error), c.ok) << c.text << ": " << error;
    if (!c.ok) {
        EXPECT_EQ(out.vt, VT_EMPTY);
        EXPECT_FALSE(error.empty());
        return;
    }
    ASSERT_EQ(out.vt, c.resultVt);
    switch (out.vt) {
    case VT_I2:
    case VT_BOOL:
        EXPECT_EQ(out.iVal, c.number);
        break;
    case VT_I4:
        EXPECT_EQ(out.lVal, c.number);
        break;
    case VT_UI4:
        EXPECT_EQ(out.ulVal, static_cast<ULONG>(c.number));
        break;
    case VT_UI1:
        EXPECT_EQ(out.bVal, c.number);
        break;
    default:
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ArgumentFromTextTest,
    ::testing::Values(ArgumentCase{"42", VT_I2, true, VT_I2, 42},
                      ArgumentCase{"-1", VT_I2, true, VT_I2, -1},
                      ArgumentCase{" 7 ", VT_I4, true, VT_I4, 7},
                      ArgumentCase{"0x1234", VT_I4, true, VT_I4, 0x1234},
                      ArgumentCase{"0xFFFFFFFF", VT_UI4, true, VT_UI4, 0xFFFFFFFFLL},
                      ArgumentCase{"0xFFFFFFFF", VT_I4, false, VT_EMPTY, 0},
                      ArgumentCase{"70000", VT_I2, false, VT_EMPTY, 0},
                      ArgumentCase{"256", VT_UI1, false, VT_EMPTY, 0},
                      ArgumentCase{"abc", VT_I4, false, VT_EMPTY, 0},
                      ArgumentCase{"0x", VT_I4, false, VT_EMPTY, 0},
                      ArgumentCase{"", VT_I4, false, VT_EMPTY, 0},
                      ArgumentCase{"true", VT_BOOL, true, VT_BOOL, -1},
                      ArgumentCase{"0", VT_BOOL, true, VT_BOOL, 0},
                      ArgumentCase{"i4:5", VT_VARIANT, true, VT_I4, 5},
                      ArgumentCase{"UI1:200", VT_VARIANT, true, VT_UI1, 200},
                      ArgumentCase{"i2:abc", VT_VARIANT, false, VT_EMPTY, 0},
                      ArgumentCase{"C:\\path", VT_VARIANT, true, VT_BSTR, 0},
                      ArgumentCase{"12", VT_VARIANT, true, VT_BSTR, 0},
                      ArgumentCase{"x", VT_BYREF | VT_UI1, false, VT_EMPTY, 0},
                      ArgumentCase{"x", VT_ARRAY | VT_I4, false, VT_EMPTY, 0}));

TEST(ArgumentFromText, TextAndBytes) {
    std::string error;
    {
        Variant out;
        ASSERT_TRUE(ArgumentFromText("gr\xC3\xBC\xC3\x9F", VT_BSTR, &out, error));
        ASSERT_EQ(out.vt, VT_BSTR);
        EXPECT_EQ(BstrView(out.bstrVal), u"grüß");
    }
    {
        Variant out;
        ASSERT_TRUE(ArgumentFromText("0aFF10", VT_ARRAY | VT_UI1, &out, error));
        EXPECT_EQ(BytesOf(out), (std::vector<std::uint8_t>{0x0a, 0xff, 0x10}));
    }
    {
        Variant out;
        ASSERT_TRUE(ArgumentFromText("hex:", VT_VARIANT, &out, error));
        EXPECT_EQ(out.vt, VT_ARRAY | VT_UI1);
        EXPECT_TRUE(BytesOf(out).empty());
    }
    {
        Variant out;
        ASSERT_TRUE(ArgumentFromText("r4:1.5", VT_VARIANT, &out, error));
        ASSERT_EQ(out.vt, VT_R4);
        EXPECT_EQ(out.fltVal, 1.5f);
    }
    for (const char* bad : {"0a0", "zz", "0x12"}) {
        Variant out;
        EXPECT_FALSE(ArgumentFromText(bad, VT_ARRAY | VT_UI1, &out, error)) << bad;
    }
}

// Every advertised prefix is accepted.
TEST(ArgumentFromText, EveryListedPrefixConverts) {
    std::string list = VariantPrefixes();
    std::size_t start = 0;
    int seen = 0;
    while (start < list.size()) {
        std::size_t end = list.find(' ', start);
        if (end == std::string::npos)
            end = list.size();
        const std::string prefix = list.substr(start, end - start);
        const std::string value = prefix == "hex" ? "01" : "1";
        Variant out;
        std::string error;
        EXPECT_TRUE(ArgumentFromText(prefix + ":" + value, VT_VARIANT, &out, error))
            << prefix << ": " << error;
        EXPECT_NE(out.vt, VT_EMPTY);
        start = end + 1;
        ++seen;
    }
    EXPECT_GE(seen, 10);
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

TEST(ResultFormat, ScalarsTextAndJson) {
    struct Case {
        VARTYPE vt;
        long long i;
        double d;
        const char* text;
        const char* json;
    };
    const Case cases[] = {
        {VT_I2, -5, 0, "-5\n", "-5"},
        {VT_UI4, 0xFFFFFFFFLL, 0, "4294967295\n", "4294967295"},
        {VT_I4, -2147483647 - 1, 0, "-2147483648\n", "-2147483648"},
        {VT_UI1, 255, 0, "255\n", "255"},
        {VT_BOOL, -1, 0, "-1\n", "-1"},
        {VT_R4, 0, 1.5, "1.5\n", "1.5"},
        {VT_R8, 0, std::numeric_limits<double>::quiet_NaN(), nullptr, "null"},
    };
    for (const Case& c : cases) {
        Variant v;
        v.vt = c.vt;
        if (c.vt == VT_I2 || c.vt == VT_BOOL)
            v.iVal = static_cast<SHORT>(c.i);
        else if (c.vt == VT_UI4 || c.vt == VT_I4)
            v.ulVal = static_cast<ULONG>(c.i);
        else if (c.vt == VT_UI1)
            v.bVal = static_cast<BYTE>(c.i);
        else if (c.vt == VT_R4)
            v.fltVal = static_cast<float>(c.d);
        else
            v.dblVal = c.d;
        if (c.text) {
            EXPECT_EQ(ResultText(v), c.text) << c.vt;
        }
        EXPECT_EQ(ResultJson(v), c.json) << c.vt;
    }
    Variant empty;
    EXPECT_EQ(ResultText(empty), "");
    EXPECT_EQ(ResultJson(empty), "null");
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

TEST(ResultFormat, ArraysBytesAsHexListsPerLine) {
    Variant bytes;
    MakeArray<BYTE>(bytes, VT_UI1, {0x00, 0xAB, 0x10});
    EXPECT_EQ(ResultText(bytes), "00ab10\n");
    EXPECT_EQ(ResultJson(bytes), "\"00ab10\"");

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

} // namespace
} // namespace kelvo::tool
