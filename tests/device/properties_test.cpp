// Defaults, simple properties and the last-error convention of CKelvo.
#include "device/kelvo_object.h"
#include "support/connected_kelvo.h"

#include <gtest/gtest.h>

namespace kelvo::test {
namespace {

class Kelvo : public ::testing::Test {
protected:
    CKelvo object_;
    CKelvo* k = &object_;
};

TEST_F(Kelvo, ShortPropertiesKeepTheirBits) {
    k->put_Address(0x1234);
    SHORT s = 0;
    k->get_Address(&s);
    EXPECT_EQ(s, 52);
    k->put_Address(-1);
    k->get_Address(&s);
    EXPECT_EQ(s, 255); // widened without sign

    // Port is sign-extended (TimeOut: SaveCommand.NegativeTimeOutWaitsItsLow16BitsUnsigned).
    k->put_Port(-3);
    EXPECT_EQ(k->port, -3);
    k->port = 0x12345;
    k->get_Port(&s);
    EXPECT_EQ(s, 0x2345);
}

TEST_F(Kelvo, OptionSetsRememberPortFromBit8OnlyAndEepromAccessIsABool) {
    for (const auto& [option, remember] :
         {std::pair{0x100, true}, {0xFF, false}, {0x7FFFFF00, true}}) {
        k->put_Option(option);
        EXPECT_EQ(k->rememberPort, remember) << option;
    }
    LONG untouched = 1234;
    EXPECT_EQ(k->get_Option(&untouched), S_OK);
    EXPECT_EQ(untouched, 1234);

    // Any non-zero EEPROMAccess reads back as true.
    VARIANT_BOOL vb = 0;
    for (VARIANT_BOOL in : {VARIANT_BOOL(1), VARIANT_BOOL(-1), VARIANT_BOOL(0x4000)}) {
        k->put_EEPROMAccess(in);
        k->get_EEPROMAccess(&vb);
        EXPECT_EQ(vb, VARIANT_TRUE);
    }
    k->put_EEPROMAccess(0);
    k->get_EEPROMAccess(&vb);
    EXPECT_EQ(vb, VARIANT_FALSE);
}

TEST_F(Kelvo, ErrorStringLooksUpDeviceStatusForCode1) {
    k->messages[1] = u"device error";
    k->messages[7] = u"time-out";
    k->messages[0x15000002] = u"no login";
    const std::tuple<int, std::uint32_t, const char16_t*> cases[] = {
        {7, 0, u"time-out"}, {1, 0x15000002, u"no login"}, {1, 0x99, u""}};
    for (const auto& [code, status, expected] : cases) {
        Bstr text;
        k->errorCode = code;
        k->deviceStatus = status;
        k->get_ErrorString(text.out());
        EXPECT_EQ(text.view(), expected);
    }
    SHORT code = 0;
    k->get_ErrorCode(&code);
    EXPECT_EQ(code, 1); // reading the error does not clear it
}

TEST_F(Kelvo, CertificateDatesComeFromTheTransportValueField) {
    ULONG date = 5;
    EXPECT_EQ(k->get_SSLCertNotBefore(&date), E_FAIL); // no adapter
    EXPECT_EQ(date, 5u);

    ConnectedKelvo c;
    c.transport->SetProperty(2, 1700000000u, VT_I4);
    c.transport->SetProperty(3, 0xF0000000u, VT_EMPTY); // the type is not looked at
    EXPECT_EQ(c.kelvo->get_SSLCertNotBefore(&date), S_OK);
    EXPECT_EQ(date, 1700000000u);
    EXPECT_EQ(c.kelvo->get_SSLCertNotAfter(&date), S_OK);
    EXPECT_EQ(date, 0xF0000000u);

    ConnectedKelvo plain; // a transport without certificate
    EXPECT_EQ(plain.kelvo->get_SSLCertNotAfter(&date), E_FAIL);
    EXPECT_EQ(date, 0xF0000000u);
}

TEST_F(Kelvo, DestructionClosesTheTransport) {
    auto* c = new ConnectedKelvo;
    ScriptedTransport* t = c->transport;
    t->AddRef();
    delete c;
    EXPECT_EQ(t->Count("Close"), 1);
    t->Release();
}

TEST(VersionText, FourNumbersAreShortened) {
    const std::pair<const char16_t*, const char16_t*> cases[] = {
        {u"1, 2, 0, 0", u"1.2"},
        {u"1, 2, 3, 0", u"1.2.3"},
        {u"1, 2, 3, 4", u"1.2.3.4"},
        {u"1, 0, 0, 5", u"1.0.0.5"},
        {u"13.0.0.14", u"13.0.0.14"},
        {u"1, 2, 3", u"1, 2, 3"},
        {u"1, 2, 3, 4, 5", u"1, 2, 3, 4, 5"},
        {u" 7,x, 0, 0", u"7.0"},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(FormatVersionText(in), out) << Utf16ToUtf8(in);
}

} // namespace
} // namespace kelvo::test
