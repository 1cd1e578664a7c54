// Data blocks, safety data, safety objects and the SSC buffer end to end: the
// Kelvo object, the port adapter and the Linux transport against kelvo-sim
// over TCP and over a pseudo-terminal serial link.
#include "device/kelvo_object.h"
#include "support/sim_device.h"
#include "support/sim_process.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace kelvo::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct LinkCase {
    const char* name;
    bool serial;
};

class DataAgainstSim : public ::testing::TestWithParam<LinkCase> {
protected:
    // Starts the simulator on the case's link, on a loopback address of the
    // test's own (tests may run at the same time); extra options appended.
    std::unique_ptr<SimDevice> Start(SimProcess& sim, int slot,
                                     std::vector<std::string> extra = {}) {
        const LinkCase& lc = GetParam();
        const std::string addr = "127.0.107." + std::to_string(10 + 2 * slot + (lc.serial ? 1 : 0));
        std::vector<std::string> args{"--addr", addr, "--no-tls"};
        if (lc.serial) {
            const std::string dir = ::testing::TempDir() + "kelvo-data-devices-" +
                                    std::to_string(getpid()) + "-" + std::to_string(slot);
            std::filesystem::remove_all(dir);
            setenv("KELVO_DEVICES", dir.c_str(), 1);
            args.insert(args.end(),
                        {"--no-tcp", "--serial", "--serial-address", "7", "--link-com", "17"});
        }
        args.insert(args.end(), extra.begin(), extra.end());
        EXPECT_TRUE(sim.Start(args));
        auto device =
            lc.serial ? std::make_unique<SimDevice>(u"COM:17,921600,N,8,1", true, 7)
                      : std::make_unique<SimDevice>(u"TCPIP:" + Utf8ToUtf16(addr) + u"/17221,3000");
        EXPECT_EQ(device->opened, 1) << device->error;
        return device;
    }
};

TEST_P(DataAgainstSim, BlocksRoundTrip) {
    SimProcess sim;
    std::unique_ptr<SimDevice> d = Start(sim, 0);
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
    EXPECT_EQ(k->errorCode, 0);

    // Device errors: no such block, a range past the end; the write's own error word.
    EXPECT_EQ(k->ReadDataBlock(0, 0, 0, 1, 0, 1, buf), E_FAIL);
    EXPECT_EQ(k->errorCode, 1);
    EXPECT_EQ(k->deviceStatus, 0x0D000001u);
    EXPECT_EQ(k->WriteDataBlock(1, 2, 3, 4, 60, 10, data.data()), E_FAIL);
    EXPECT_EQ(k->errorCode, 1);
    EXPECT_EQ(k->deviceStatus, 0x0D000002u);
    // The link is still in step afterwards.
    EXPECT_EQ(k->ReadDataBlock(1, 2, 3, 4, 0, 4, buf), S_OK);
}

TEST_P(DataAgainstSim, SafetyAndSscRoundTrip) {
    SimProcess sim;
    std::unique_ptr<SimDevice> d = Start(sim, 1);
    SimDevice& k = *d;

    SAFEARRAY* out = SafeArrayCreateVector(VT_UI1, 0, 40);
    for (int i = 0; i < 40; ++i)
        static_cast<BYTE*>(out->pvData)[i] = static_cast<BYTE>(0xC0 + i);
    EXPECT_EQ(k->SafeDataWrite(out), S_OK);
    SAFEARRAY* in = nullptr;
    ASSERT_EQ(k->SafeDataRead(&in), S_OK);
    ASSERT_NE(in, nullptr);
    const auto* a = static_cast<const BYTE*>(out->pvData);
    const auto* b = static_cast<const BYTE*>(in->pvData);
    EXPECT_TRUE(std::equal(a, a + 40, b));
    SafeArrayDestroy(in);
    SafeArrayDestroy(out);

    ULONG value = 0;
    EXPECT_EQ(k->ReadSafeObject(0x6000, 0, &value), S_OK);
    EXPECT_EQ(value, 300u);
    EXPECT_EQ(k->ReadSafeObject(0x6000, 1, &value), S_OK);
    EXPECT_EQ(value, 0x12345678u);
    EXPECT_EQ(k->ReadSafeObject(0x6000, 9, &value), E_FAIL);
    EXPECT_EQ(k->errorCode, 1);
    EXPECT_EQ(k->deviceStatus, 0x0D000003u);
    EXPECT_EQ(value, 0x12345678u);

    BYTE buf[200] = {};
    EXPECT_EQ(k->ReadSSCBuffer(10, 3, buf), S_OK);
    EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{245, 244, 243}));
    EXPECT_EQ(k->ReadSSCBuffer(0, 0, buf), S_OK);
    EXPECT_EQ(k->ReadSSCBuffer(100, 200, buf), E_FAIL);
    EXPECT_EQ(k->deviceStatus, 0x0D000002u);
    EXPECT_EQ(k->ReadSSCBuffer(56, 200, buf), S_OK);
    EXPECT_EQ(buf[199], 0);
}

TEST_P(DataAgainstSim, StateFileAreas) {
    const std::string path = ::testing::TempDir() + "kelvo-data-state-" + std::to_string(getpid()) +
                             "-" + GetParam().name + ".xml";
    std::ofstream(path) << R"(<kelvo-sim><data>
        <block rtNum="7" dbType="1" dbIdx="1000" dbSubIdx="123456" size="8" bytes="de ad be ef"/>
        <object index="1" subIndex="2" value="4000000000"/>
        <ssc bytes="0102030405"/>
      </data></kelvo-sim>)";
    SimProcess sim;
    std::unique_ptr<SimDevice> d = Start(sim, 2, {"--state", path});
    SimDevice& k = *d;

    BYTE buf[8] = {};
    EXPECT_EQ(k->ReadDataBlock(7, 1, 1000, 123456, 0, 8, buf), S_OK);
    EXPECT_EQ(Bytes(buf, buf + 8), (Bytes{0xDE, 0xAD, 0xBE, 0xEF, 0, 0, 0, 0}));
    // The built-in blocks are gone.
    EXPECT_EQ(k->ReadDataBlock(0, 0, 0, 0, 0, 1, buf), E_FAIL);
    ULONG value = 0;
    EXPECT_EQ(k->ReadSafeObject(1, 2, &value), S_OK);
    EXPECT_EQ(value, 4000000000u);
    EXPECT_EQ(k->ReadSSCBuffer(3, 2, buf), S_OK);
    EXPECT_EQ(buf[0], 4);
    EXPECT_EQ(buf[1], 5);
    std::filesystem::remove(path);
}

const LinkCase kLinks[] = {
    {"Tcp", false},
    {"Serial", true},
};

INSTANTIATE_TEST_SUITE_P(Links, DataAgainstSim, ::testing::ValuesIn(kLinks),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace kelvo::test
