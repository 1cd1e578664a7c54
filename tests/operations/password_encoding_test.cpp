#include "device/kelvo_object.h"
#include "operations/password_encoding.h"

#include <gtest/gtest.h>

namespace kelvo {
namespace {

TEST(PasswordEncoding, EveryPasswordInRangeRoundTrips) {
    // All code units from 0 to 255 - 0x3B, in passwords of growing length.
    std::u16string password;
    for (char16_t unit = 0; unit <= 0xC4; ++unit) {
        password.push_back(unit);
        const std::u16string scrambled = ScramblePassword(password);
        ASSERT_EQ(scrambled.size(), password.size() * 2);
        for (char16_t c : scrambled)
            ASSERT_TRUE((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F'));
        ASSERT_EQ(UnscramblePassword(scrambled), password);
    }
}

TEST(PasswordEncoding, EdgeCases) {
    EXPECT_EQ(ScramblePassword(u""), u"");
    EXPECT_EQ(UnscramblePassword(u""), u"?");
    EXPECT_EQ(UnscramblePassword(u"ABC"), u"?");
    EXPECT_EQ(ScramblePassword(u"A"), ScramblePassword(u"\u0141")); // high byte dropped
    for (char16_t unit : {u'\u00c5', u'\u00e4', u'\u00ff', u'\u20ac'}) {
        const std::u16string scrambled = ScramblePassword(std::u16string(1, unit));
        ASSERT_EQ(scrambled.size(), 2u);
        EXPECT_EQ(UnscramblePassword(scrambled)[0] & 0xFF, unit & 0xFF); // the low byte survives
    }
    EXPECT_EQ(ScramblePassword(u"a"), u"39");
    EXPECT_EQ(UnscramblePassword(u"39"), u"a");
    EXPECT_EQ(UnscramblePassword(u"3a"), UnscramblePassword(u"3A")); // lower case accepted
    // 0xA5 unmasks to 0, below the offset: the 16-bit subtraction wraps.
    EXPECT_EQ(UnscramblePassword(u"A5"), std::u16string(1, static_cast<char16_t>(0xFFC5)));
}

TEST(PasswordEncoding, InterfaceMethodsHandNewStrings) {
    CKelvo* k = new CKelvo;
    k->AddRef();
    k->errorCode = 3;
    Bstr out;
    EXPECT_EQ(k->EncryptPassword(nullptr, out.out()), S_OK);
    EXPECT_EQ(out.view(), u"");
    EXPECT_EQ(k->DecryptPassword(nullptr, out.out()), S_OK);
    EXPECT_EQ(out.view(), u"?");
    Bstr in(u"secret");
    EXPECT_EQ(k->EncryptPassword(in.get(), out.out()), S_OK);
    Bstr back;
    EXPECT_EQ(k->DecryptPassword(out.get(), back.out()), S_OK);
    EXPECT_EQ(back.view(), u"secret");
    EXPECT_EQ(k->errorCode, 3);
    k->Release();
}

} // namespace
} // namespace kelvo
