#include "kelvo/automation.h"

#include <gtest/gtest.h>

using kelvo::CodePage;
using kelvo::FromAnsi;
using kelvo::ToAnsi;

TEST(CodePage, BothWays) {
    const struct {
        std::u16string text;
        std::string bytes;
        CodePage page = CodePage::Windows1252;
    } cases[] = {
        {u"plain ASCII", "plain ASCII"},
        {u"\u20AC", "\x80"},
        {u"\u00E4", "\xE4"},
        {u"\u0192\u2026\u2122\u0178", "\x83\x85\x99\x9F"},
        {u"\u00A0\u00FF", "\xA0\xFF"},
        // The undefined bytes stand for the control characters of their value.
        {u"\u0081\u008D\u008F\u0090\u009D", "\x81\x8D\x8F\x90\x9D"},
        {u"\u0080\u00E4", "\x80\xE4", CodePage::Latin1},
        {u"\u20AC\U0001F600", "\xE2\x82\xAC\xF0\x9F\x98\x80", CodePage::Utf8},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ToAnsi(c.text, c.page), c.bytes);
        EXPECT_EQ(FromAnsi(c.bytes, c.page), c.text);
    }
    for (int b = 0; b < 256; ++b) {
        const std::string byte(1, static_cast<char>(b));
        EXPECT_EQ(ToAnsi(FromAnsi(byte, CodePage::Windows1252), CodePage::Windows1252), byte) << b;
    }
}

TEST(CodePage, UnmappableCharactersBecomeQuestionMarks) {
    // U+0080 has no byte in Windows-1252 (0x80 is the euro sign).
    EXPECT_EQ(ToAnsi(u"a\u4E2Db\u0080", CodePage::Windows1252), "a?b?");
    EXPECT_EQ(ToAnsi(u"\u20AC\u00E4", CodePage::Latin1), "?\xE4");
    // A surrogate pair is one character; lone halves are one each.
    EXPECT_EQ(ToAnsi(u"\U0001F600", CodePage::Windows1252), "?");
    const char16_t lone[] = {0xD800, u'x', 0xDC00};
    EXPECT_EQ(ToAnsi(std::u16string_view(lone, 3), CodePage::Windows1252), "?x?");
    EXPECT_EQ(ToAnsi(std::u16string_view(lone, 3), CodePage::Utf8), "?x?");
}

TEST(Utf8, InvalidSequencesBecomeReplacementCharacters) {
    const struct {
        std::string bytes;
        std::u16string text;
    } cases[] = {
        {"ok", u"ok"},
        {"\xC3\xA4\xF0\x9F\x98\x80", u"\u00E4\U0001F600"},
        {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
        {"\x80", u"\uFFFD"},                               // stray continuation byte
        {"\xC0\xAF", u"\uFFFD\uFFFD"},                     // overlong
        {"\xE0\x80\x80", u"\uFFFD\uFFFD\uFFFD"},           // overlong
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},           // encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"}, // above U+10FFFF
        {"\xE2\x82", u"\uFFFD"},                           // truncated at the end
        {"\xE2\x82x", u"\uFFFDx"},                         // truncated before ASCII
        {"\xFF\xFE", u"\uFFFD\uFFFD"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(kelvo::Utf8ToUtf16(c.bytes), c.text);
}

TEST(Utf8, FromUtf16) {
    EXPECT_EQ(kelvo::Utf16ToUtf8(u"a\u00E4\u20AC\U0001F600"),
              "a\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80");
    const char16_t lone[] = {u'a', 0xDBFF};
    EXPECT_EQ(kelvo::Utf16ToUtf8(std::u16string_view(lone, 2)), "a\xEF\xBF\xBD");
    const char16_t swapped[] = {0xDC00, 0xD800};
    EXPECT_EQ(kelvo::Utf16ToUtf8(std::u16string_view(swapped, 2)), "\xEF\xBF\xBD\xEF\xBF\xBD");
}
