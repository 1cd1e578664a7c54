// Parameter read and write end to end: the Kelvo object and the Linux
// transport against kelvo-sim over TCP and a pseudo-terminal serial link.
#include "device/kelvo_object.h"
#include "support/sim_device.h"
#include "support/sim_process.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace kelvo::test {
namespace {

class ParametersAgainstSim : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { RegisterPortwayClass(); }

    // Starts a simulator on `addr` and connects to it over TCP, or over the
    // serial line when the test's parameter says so.
    std::unique_ptr<SimDevice> Connect(SimProcess& sim, const char* addr, int com,
                                       std::vector<std::string> extra = {}) {
        const bool serial = GetParam();
        std::vector<std::string> args{"--addr", addr, "--no-tls"};
        if (serial) {
            const std::string dir = ::testing::TempDir() + "kelvo-devices-par-" +
                                    std::to_string(com) + "-" + std::to_string(getpid());
            std::filesystem::remove_all(dir);
            setenv("KELVO_DEVICES", dir.c_str(), 1);
            args.insert(args.end(), {"--no-tcp", "--serial", "--serial-address", "5", "--link-com",
                                     std::to_string(com)});
        }
        args.insert(args.end(), extra.begin(), extra.end());
        EXPECT_TRUE(sim.Start(args));
        const std::string text = serial ? "COM:" + std::to_string(com) + ",921600,N,8,1"
                                        : std::string("TCPIP:") + addr + "/17221,3000";
        auto d = std::make_unique<SimDevice>(Utf8ToUtf16(text), serial, 5);
        EXPECT_EQ(d->opened, 1) << d->error;
        return d;
    }
};

VARIANT Int(VARTYPE vt, std::int64_t value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    v.llVal = value;
    return v;
}

TEST_P(ParametersAgainstSim, EveryTypeRoundTrips) {
    SimProcess sim;
    auto d = Connect(sim, GetParam() ? "127.0.105.2" : "127.0.105.1", 51);
    ASSERT_EQ(d->opened, 1);
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
        Variant v;
        ASSERT_EQ((*d)->get_Par(c.ipa, 0, static_cast<SHORT>(c.type), &v), S_OK);
        EXPECT_EQ(v.vt, c.type);
        Variant back;
        VariantChangeType(&back, &v, 0, VT_I8);
        EXPECT_EQ(back.llVal, c.initial);
        ASSERT_EQ((*d)->put_Par(c.ipa, 0, static_cast<SHORT>(c.type), Int(VT_I8, c.written)), S_OK);
        Variant after;
        ASSERT_EQ((*d)->get_Par(c.ipa, 0, static_cast<SHORT>(c.type), &after), S_OK);
        VariantChangeType(&back, &after, 0, VT_I8);
        EXPECT_EQ(back.llVal, c.written);
    }

    // Unsigned 64 bits, reals, strings, the typed accessors and type 0.
    Variant u8;
    ASSERT_EQ((*d)->get_Par(0x1009, 0, VT_UI8, &u8), S_OK);
    EXPECT_EQ(u8.ullVal, 10000000000000000000ULL);
    float f = 0;
    ASSERT_EQ((*d)->get_ParFloat(0x1006, 0, &f), S_OK);
    EXPECT_EQ(f, 1.5f);
    ASSERT_EQ((*d)->put_ParFloat(0x1006, 0, -0.125f), S_OK);
    ASSERT_EQ((*d)->get_ParFloat(0x1006, 0, &f), S_OK);
    EXPECT_EQ(f, -0.125f);
    VARIANT r8 = Int(VT_R8, 0);
    r8.dblVal = 6.02e23;
    ASSERT_EQ((*d)->put_Par(0x1007, 0, VT_EMPTY, r8), S_OK);
    Variant r8back;
    ASSERT_EQ((*d)->get_Par(0x1007, 0, VT_R8, &r8back), S_OK);
    EXPECT_EQ(r8back.dblVal, 6.02e23);

    Variant name;
    ASSERT_EQ((*d)->get_Par(0x100A, 0, VT_BSTR, &name), S_OK);
    EXPECT_EQ(BstrView(name.bstrVal), u"Kelvo simulated drive");
    const std::u16string longText(255, u'\u00e9');
    Bstr text(longText);
    VARIANT textValue = Int(VT_BSTR, 0);
    textValue.bstrVal = text.get();
    ASSERT_EQ((*d)->put_Par(0x100A, 0, VT_BSTR, textValue), S_OK);
    Variant longBack;
    ASSERT_EQ((*d)->get_Par(0x100A, 0, VT_BSTR, &longBack), S_OK);
    EXPECT_EQ(BstrView(longBack.bstrVal), longText);

    LONG word = 0;
    ASSERT_EQ((*d)->put_ParWord(0x1003, 0, 0x1FFFF), S_OK);
    ASSERT_EQ((*d)->get_ParWord(0x1003, 0, &word), S_OK);
    EXPECT_EQ(word, 65535);
    SHORT shortValue = 0;
    ASSERT_EQ((*d)->get_ParInt(0x1003, 0, &shortValue), S_OK);
    EXPECT_EQ(shortValue, -1);
    Variant inferred;
    ASSERT_EQ((*d)->get_Par(0x1003, 0, VT_EMPTY, &inferred), S_OK);
    EXPECT_EQ(inferred.vt, VT_I2);
    EXPECT_EQ((*d)->errorCode, 0);
}

TEST_P(ParametersAgainstSim, RamWritesLeaveTheStoredValue) {
    SimProcess sim;
    auto d = Connect(sim, GetParam() ? "127.0.105.4" : "127.0.105.3", 52);
    ASSERT_EQ(d->opened, 1);
    (*d)->eepromAccess = false;
    ASSERT_EQ((*d)->put_ParDWord(0x1005, 0, 17), S_OK);
    LONG value = 0;
    ASSERT_EQ((*d)->get_ParDWord(0x1005, 0, &value), S_OK);
    EXPECT_EQ(value, 17);
    (*d)->eepromAccess = true;
    ASSERT_EQ((*d)->get_ParDWord(0x1005, 0, &value), S_OK);
    EXPECT_EQ(static_cast<ULONG>(value), 3000000000u);
}

TEST_P(ParametersAgainstSim, ProtectedParameterSucceedsAfterTheAutomaticLogin) {
    SimProcess sim;
    auto d = Connect(sim, GetParam() ? "127.0.105.6" : "127.0.105.5", 53);
    ASSERT_EQ(d->opened, 1);
    // Without credentials the device's refusal stands.
    LONG value = 0;
    EXPECT_EQ((*d)->get_ParDWord(0x3000, 0, &value), E_FAIL);
    EXPECT_EQ((*d)->errorCode, 1);
    EXPECT_EQ((*d)->deviceStatus, 0x15000002u);
    // With them, the object logs in once and repeats.
    (*d)->userName = u"admin";
    (*d)->password = u"admin";
    ASSERT_EQ((*d)->get_ParDWord(0x3000, 0, &value), S_OK);
    EXPECT_EQ(value, 42);
    ASSERT_EQ((*d)->put_ParDWord(0x3000, 0, 43), S_OK);
    ASSERT_EQ((*d)->get_ParDWord(0x3000, 0, &value), S_OK);
    EXPECT_EQ(value, 43);
}

TEST_P(ParametersAgainstSim, SessionDroppedMidwayIsRestored) {
    SimProcess sim;
    // Request 3 (the second read) finds the session gone: login, read again.
    auto d =
        Connect(sim, GetParam() ? "127.0.105.8" : "127.0.105.7", 54, {"--drop-session-at", "3"});
    ASSERT_EQ(d->opened, 1);
    (*d)->userName = u"admin";
    (*d)->password = u"admin";
    ASSERT_TRUE((*d)->Login(u"admin", u"admin", true));
    for (int i = 0; i < 3; ++i) {
        SHORT value = 0;
        ASSERT_EQ((*d)->get_ParInt(0x1002, 0, &value), S_OK) << i;
        EXPECT_EQ(value, -1234);
    }
}

TEST_P(ParametersAgainstSim, DeviceErrorsCarryTheDeviceCode) {
    SimProcess sim;
    auto d = Connect(sim, GetParam() ? "127.0.105.10" : "127.0.105.9", 55);
    ASSERT_EQ(d->opened, 1);
    Variant v;
    EXPECT_EQ((*d)->get_Par(0x7777, 0, VT_I4, &v), E_FAIL);
    LONG status = 0;
    (*d)->get_DeviceStatus(&status);
    EXPECT_EQ(static_cast<ULONG>(status), 0x0B000001u);
    EXPECT_EQ((*d)->put_ParDWord(0x2000, 0, 1), E_FAIL);
    (*d)->get_DeviceStatus(&status);
    EXPECT_EQ(static_cast<ULONG>(status), 0x0B000002u);
    SHORT code = 0;
    (*d)->get_ErrorCode(&code);
    EXPECT_EQ(code, 1);
    // The link is still in step afterwards.
    LONG serialNumber = 0;
    EXPECT_EQ((*d)->get_ParDWord(0x2000, 0, &serialNumber), S_OK);
    EXPECT_EQ(serialNumber, 12345678);
}

INSTANTIATE_TEST_SUITE_P(Links, ParametersAgainstSim, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Serial" : "Tcp"; });

} // namespace
} // namespace kelvo::test
