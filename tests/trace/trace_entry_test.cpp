#include "kelvo/automation.h"
#include "kelvo/trace.h"
#include "support/trace_capture.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace kelvo::test {
namespace {

template <class... A> std::string Format(const char16_t* format, const A&... args) {
    const std::array<TraceArg, sizeof...(A)> list{TraceArg::From(args)...};
    return Utf16ToUtf8(FormatTrace(format, list));
}

TEST(TraceFormat, ConversionsTheOperationsUse) {
    const std::u16string user = u"admin";
    int x = 0;
    EXPECT_EQ(Format(u"CKelvo::DeleteUser %s", user), "CKelvo::DeleteUser admin");
    EXPECT_EQ(Format(u"%s", u"wide"), "wide");
    EXPECT_EQ(Format(u"a %i b %d", -5, 7), "a -5 b 7");
    EXPECT_EQ(Format(u"%u", 0xFFFFFFFFu), "4294967295");
    EXPECT_EQ(Format(u"%u", -1), "4294967295"); // an int seen as unsigned
    EXPECT_EQ(Format(u"%02X%02X", 0x0A, 0xBC), "0ABC");
    EXPECT_EQ(Format(u"%lli %llu", std::numeric_limits<long long>::min(),
                     std::numeric_limits<unsigned long long>::max()),
              "-9223372036854775808 18446744073709551615");
    EXPECT_EQ(Format(u"%f", 1.5), "1.500000");
    EXPECT_EQ(Format(u"%.2f", 2.0f), "2.00");
    EXPECT_EQ(Format(u"100%%"), "100%");
    EXPECT_NE(Format(u"%p", &x).find("0x"), std::string::npos);
    EXPECT_EQ(Format(u"(%i)", static_cast<std::uint16_t>(65535)), "(65535)");
}

TEST(TraceFormat, MismatchedOrMissingArgumentsNeverCrash) {
    EXPECT_EQ(Format(u"%s", 5), "(?)");
    EXPECT_EQ(Format(u"%i %i", 1), "1 (missing)");
    EXPECT_EQ(Format(u"%i", u"text"), "0");
    EXPECT_EQ(Format(u"tail %"), "tail %");
    const char16_t* null = nullptr;
    EXPECT_EQ(Format(u"%s", null), "(null)");
}

TEST(TraceFormat, LinesAreCutAt239Characters) {
    const std::u16string longText(500, u'x');
    EXPECT_EQ(Format(u"%s", longText).size(), 239u);
    EXPECT_EQ(Format(u"ab%s", longText).substr(0, 3), "abx");
    // Non-ASCII text counts in UTF-16 code units.
    std::u16string umlauts(300, u'\u00e4');
    const std::array<TraceArg, 1> list{TraceArg::From(umlauts)};
    EXPECT_EQ(FormatTrace(u"%s", list).size(), 239u);
    TraceCapture capture;
    EXPECT_TRUE(TraceText(TRACE_READ, std::u16string(300, u'y')));
    ASSERT_EQ(capture.lines.size(), 1u);
    EXPECT_EQ(capture.lines[0].size(), 239u);
}

} // namespace
} // namespace kelvo::test
