#include "kelvo/automation.h"

#include <gtest/gtest.h>

#include <cstring>

using kelvo::Bstr;
using kelvo::BstrView;

TEST(Bstr, AllocationKeepsLengthPrefixAndTerminator) {
    const char16_t text[] = u"abc\0def";
    BSTR b = SysAllocStringLen(text, 7);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SysStringLen(b), 7u);
    EXPECT_EQ(SysStringByteLen(b), 14u);
    std::uint32_t prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<const char*>(b) - 4, 4);
    EXPECT_EQ(prefix, 14u);
    EXPECT_EQ(b[7], u'\0');
    EXPECT_EQ(BstrView(b), std::u16string_view(text, 7)); // embedded null kept
    SysFreeString(b);
}

TEST(Bstr, NullEmptyAndTooLongInputs) {
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);
    SysFreeString(nullptr);

    BSTR zeroed = SysAllocStringLen(nullptr, 3);
    ASSERT_NE(zeroed, nullptr);
    EXPECT_EQ(SysStringLen(zeroed), 3u);
    EXPECT_EQ(std::u16string_view(zeroed, 4), std::u16string_view(u"\0\0\0\0", 4));
    SysFreeString(zeroed);

    // An empty string, not a null one.
    for (BSTR empty : {SysAllocString(u""), Bstr{std::u16string_view()}.release()}) {
        ASSERT_NE(empty, nullptr);
        EXPECT_EQ(SysStringLen(empty), 0u);
        SysFreeString(empty);
    }

    // Too long: fails without throwing.
    EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr);
    EXPECT_EQ(SysAllocStringLen(nullptr, 0xFFFFFFFFu), nullptr);
}

TEST(Guid, RejectsMalformedText) {
    GUID guid = IID_IDispatch;
    for (const char* bad :
         {"", "DF0B3D60-548F-101B-8E65-08002B2BD119", "{DF0B3D60-548F-101B-8E65-08002B2BD119",
          "{DF0B3D60-548F-101B-8E6508002B2BD119}", "{DF0B3D60-548F-101B-8E65-08002B2BD11G}",
          "{DF0B3D60+548F-101B-8E65-08002B2BD119}", "{DF0B3D60-548F-101B-8E65-08002B2BD1199}"})
        EXPECT_FALSE(GuidFromString(bad, &guid)) << bad;
    EXPECT_EQ(guid, IID_IDispatch); // untouched on failure
    EXPECT_FALSE(GuidFromString("{DF0B3D60-548F-101B-8E65-08002B2BD119}", nullptr));
}
