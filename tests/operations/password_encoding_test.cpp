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

// Through the interface: each call hands a new string and leaves the error code.
TEST(PasswordEncoding, EdgeCases) {
    CKelvo* k = new CKelvo;
    k->AddRef();
    k->errorCode = 3;
    const auto run = [k](HRESULT (CKelvo::*method)(BSTR, BSTR*), const char16_t* text) {
        Bstr in(text ? text : u""), out;
        EXPECT_EQ((k->*method)(text ? in.get() : nullptr, out.out()), S_OK);
        return std::u16string(out.view());
    };
    const auto encrypt = [&](const char16_t* text) { return run(&CKelvo::EncryptPassword, text); };
    const auto decrypt = [&](const char16_t* text) { return run(&CKelvo::DecryptPassword, text); };
    EXPECT_EQ(encrypt(nullptr), u"");
    EXPECT_EQ(decrypt(nullptr), u"?");
    EXPECT_EQ(encrypt(u""), u"");
    EXPECT_EQ(decrypt(u""), u"?");
    EXPECT_EQ(decrypt(u"ABC"), u"?");
    EXPECT_EQ(encrypt(u"A"), encrypt(u"\u0141")); // high byte dropped
    for (char16_t unit : {u'\u00c5', u'\u00e4', u'\u00ff', u'\u20ac'}) {
        const std::u16string scrambled = ScramblePassword(std::u16string(1, unit));
        ASSERT_EQ(scrambled.size(), 2u);
        EXPECT_EQ(UnscramblePassword(scrambled)[0] & 0xFF, unit & 0xFF); // the low byte survives
    }
    EXPECT_EQ(encrypt(u"a"), u"39");
    EXPECT_EQ(decrypt(u"39"), u"a");
    EXPECT_EQ(decrypt(u"3a"), decrypt(u"3A")); // lower case accepted
    // 0xA5 unmasks to 0, below the offset: the 16-bit subtraction wraps.
    EXPECT_EQ(decrypt(u"A5"), std::u16string(1, static_cast<char16_t>(0xFFC5)));
    EXPECT_EQ(decrypt(encrypt(u"secret").c_str()), u"secret");
    EXPECT_EQ(k->errorCode, 3);
    k->Release();
}

} // namespace
} // namespace kelvo
