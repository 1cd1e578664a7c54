// Parameters, data blocks, safety data, safety objects and the SSC buffer end
// to end, in transfers larger than the fault matrix's: the Kelvo object, the
// port adapter and the Linux transport against kelvo-sim over TCP and over a
// pseudo-terminal serial link.
#include "integration/sim_link.h"
#include "support/variant_of.h"

namespace kelvo::test {
namespace {

class ParametersAgainstSim : public SimTest, public ::testing::WithParamInterface<Link> {
protected:
    // The loopback address of the test's `slot` on the parameter's link.
    static std::string Addr(int slot) {
        return "127.0.105." + std::to_string(2 * slot + (GetParam() == Link::Serial ? 2 : 1));
    }
};

TEST_P(ParametersAgainstSim, EveryTypeRoundTrips) {
    SimProcess sim;
    auto d = Start(sim, GetParam(), Addr(0), {}, 51);
    struct Case {
        LONG ipa;
        VARTYPE type;
        std::int64_t initial;
        std::int64_t written;
    };
    const Case cases[] = {
        {0x1000, VT_I1, -5, -100},
        {0x1001, VT_UI1, 200, 7},
        {0x1002, VT_I2, -1234, 32767},
        {0x1003, VT_UI2, 54321, 1},
        {0x1004, VT_I4, -123456, -2147483647 - 1},
        {0x1005, VT_UI4, 3000000000, 4294967295},
        {0x1008, VT_I8, -5000000000, 1LL << 62},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        Variant v, back;
        ASSERT_EQ((*d)->get_Par(c.ipa, 0, static_cast<SHORT>(c.type), &v), S_OK);
        EXPECT_EQ(v.vt, c.type);
        VariantChangeType(&back, &v, 0, VT_I8);
        EXPECT_EQ(back.llVal, c.initial);
        ASSERT_EQ((*d)->put_Par(c.ipa, 0, static_cast<SHORT>(c.type), VariantOf(VT_I8, c.written)),
                  S_OK);
        ASSERT_EQ((*d)->get_Par(c.ipa, 0, static_cast<SHORT>(c.type), &v), S_OK);
        VariantChangeType(&back, &v, 0, VT_I8);
        EXPECT_EQ(back.llVal, c.written);
    }

    // Unsigned 64 bits, reals and strings.
    Variant v;
    ASSERT_EQ((*d)->get_Par(0x1009, 0, VT_UI8, &v), S_OK);
    EXPECT_EQ(v.ullVal, 10000000000000000000ULL);
    float f = 0;
    ASSERT_EQ((*d)->get_ParFloat(0x1006, 0, &f), S_OK);
    EXPECT_EQ(f, 1.5f);
    VARIANT r8 = VariantOf(VT_R8, 0);
    r8.dblVal = 6.02e23;
    ASSERT_EQ((*d)->put_Par(0x1007, 0, VT_EMPTY, r8), S_OK);
    ASSERT_EQ((*d)->get_Par(0x1007, 0, VT_R8, &v), S_OK);
    EXPECT_EQ(v.dblVal, 6.02e23);

    ASSERT_EQ((*d)->get_Par(0x100A, 0, VT_BSTR, &v), S_OK);
    EXPECT_EQ(BstrView(v.bstrVal), u"Kelvo simulated drive");
    // 255 characters: the frames' length bytes wrap on both sides.
    const std::u16string longText(255, u'\u00e9');
    Bstr text(longText);
    VARIANT textValue = VariantOf(VT_BSTR, 0);
    textValue.bstrVal = text.get();
    ASSERT_EQ((*d)->put_Par(0x100A, 0, VT_BSTR, textValue), S_OK);
    Variant longBack;
    ASSERT_EQ((*d)->get_Par(0x100A, 0, VT_BSTR, &longBack), S_OK);
    EXPECT_EQ(BstrView(longBack.bstrVal), longText);
    EXPECT_EQ((*d)->errorCode, 0);
}

// A protected parameter: refused without credentials; with them the object
// logs in, and again when the device drops the session in the middle.
TEST_P(ParametersAgainstSim, ProtectedParameterAfterTheAutomaticLogin) {
    SimProcess sim;
    auto d = Start(sim, GetParam(), Addr(1), {"--drop-session-at", "8"}, 53);
    LONG value = 0;
    EXPECT_EQ((*d)->get_ParDWord(0x3000, 0, &value), E_FAIL);
    EXPECT_EQ((*d)->errorCode, 1);
    EXPECT_EQ((*d)->deviceStatus, 0x15000002u);
    (*d)->userName = u"admin";
    (*d)->password = u"admin";
    ASSERT_EQ((*d)->get_ParDWord(0x3000, 0, &value), S_OK);
    EXPECT_EQ(value, 42);
    ASSERT_EQ((*d)->put_ParDWord(0x3000, 0, 43), S_OK);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ((*d)->get_ParDWord(0x3000, 0, &value), S_OK) << i;
        EXPECT_EQ(value, 43);
    }
}

INSTANTIATE_TEST_SUITE_P(Links, ParametersAgainstSim, ::testing::Values(Link::Tcp, Link::Serial),
                         LinkName);

using Bytes = std::vector<std::uint8_t>;

class DataAgainstSim : public SimTest, public ::testing::WithParamInterface<Link> {};

TEST_P(DataAgainstSim, WrittenAreasReadBack) {
    SimProcess sim;
    auto d = Start(sim, GetParam(), GetParam() == Link::Tcp ? "127.0.107.10" : "127.0.107.11", {},
                   17, 7);
    SimDevice& k = *d;

    BYTE buf[200] = {};
    ASSERT_EQ(k->ReadDataBlock(0, 0, 0, 0, 250, 6, buf), S_OK);
    EXPECT_EQ(Bytes(buf, buf + 6), (Bytes{250, 251, 252, 253, 254, 255}));
    Bytes data(100);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(3 * i);
    EXPECT_EQ(k->WriteDataBlock(0, 0, 0, 0, 100, 100, data.data()), S_OK);
    ASSERT_EQ(k->ReadDataBlock(0, 0, 0, 0, 0, 200, buf), S_OK);
    EXPECT_EQ(Bytes(buf + 100, buf + 200), data);
    EXPECT_EQ(buf[99], 99);

    SAFEARRAY* out = SafeArrayCreateVector(VT_UI1, 0, 40);
    for (int i = 0; i < 40; ++i)
        static_cast<BYTE*>(out->pvData)[i] = static_cast<BYTE>(0xC0 + i);
    EXPECT_EQ(k->SafeDataWrite(out), S_OK);
    SAFEARRAY* in = nullptr;
    ASSERT_EQ(k->SafeDataRead(&in), S_OK);
    ASSERT_NE(in, nullptr);
    const auto* a = static_cast<const BYTE*>(out->pvData);
    EXPECT_TRUE(std::equal(a, a + 40, static_cast<const BYTE*>(in->pvData)));
    SafeArrayDestroy(in);
    SafeArrayDestroy(out);

    ULONG value = 0;
    EXPECT_EQ(k->ReadSafeObject(0x6000, 0, &value), S_OK);
    EXPECT_EQ(value, 300u);
    EXPECT_EQ(k->ReadSSCBuffer(10, 3, buf), S_OK);
    EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{245, 244, 243}));
    EXPECT_EQ(k->ReadSSCBuffer(56, 200, buf), S_OK);
    EXPECT_EQ(buf[199], 0);
    EXPECT_EQ(k->errorCode, 0);
}

INSTANTIATE_TEST_SUITE_P(Links, DataAgainstSim, ::testing::Values(Link::Tcp, Link::Serial),
                         LinkName);

} // namespace
} // namespace kelvo::test
