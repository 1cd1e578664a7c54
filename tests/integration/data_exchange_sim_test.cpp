// Data blocks, safety data, safety objects and the SSC buffer end to end, in
// transfers larger than the fault matrix's: the Kelvo object, the port adapter
// and the Linux transport against kelvo-sim over TCP and over a
// pseudo-terminal serial link.
#include "integration/sim_link.h"

namespace kelvo::test {
namespace {

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
