// User and security administration end to end: the Kelvo object through the
// Linux transport against kelvo-sim over TLS and a pseudo-terminal serial
// line.
#include "device/kelvo_object.h"
#include "support/sim_device.h"
#include "support/sim_process.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace kelvo::test {
namespace {

constexpr char16_t kTls[] = u"TCPIP:127.0.108.1/17222,3000,SSL";

std::string Text(BSTR b) {
    std::string text = Utf16ToUtf8(BstrView(b));
    SysFreeString(b);
    return text;
}

std::string Users(SimDevice& d) {
    BSTR out = nullptr;
    EXPECT_EQ(d->GetAllUsers(&out), S_OK) << d->errorCode;
    return Text(out);
}

// Logs in the way Init does, with the user kept as the object's userName.
bool LoginAs(SimDevice& d, const std::u16string& user, const std::u16string& password) {
    d->userName = user;
    d->password = password;
    return d->Login(user, password, true);
}

// The set bits of a GetPermissionsAndRole result as "role: i j k".
std::string Permissions(SimDevice& d, const char16_t* user) {
    Variant result;
    if (d->GetPermissionsAndRole(Bstr(user).get(), &result) != S_OK)
        return "failed " + std::to_string(d->errorCode);
    const auto* items = static_cast<const VARIANT*>(result.parray->pvData);
    std::string text = std::to_string(items[0].bVal) + ":";
    for (int i = 1; i <= 64; ++i) {
        if (items[i].boolVal)
            text += " " + std::to_string(i - 1);
    }
    return text;
}

TEST(UsersAgainstSim, AccountsPermissionsAndPasswordsOverTls) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.108.1", "--no-tcp"}));
    SimDevice d(kTls);
    ASSERT_EQ(d.opened, 1) << d.error;

    // Nobody logged in: the device wants a session.
    BSTR out = nullptr;
    EXPECT_EQ(d->GetAllUsers(&out), E_FAIL);
    EXPECT_EQ(d->errorCode, 1);
    EXPECT_EQ(d->deviceStatus, 0x15000002u);

    ASSERT_TRUE(LoginAs(d, u"admin", u"admin"));
    EXPECT_EQ(d->CreateUser(Bstr(u"op").get(), Bstr(u"pw1").get()), S_OK);
    EXPECT_EQ(d->CreateUser(Bstr(u"op").get(), Bstr(u"x").get()), E_FAIL); // exists
    EXPECT_EQ(d->deviceStatus, 0x16000002u);
    EXPECT_EQ(Users(d), "admin\top\t");

    // (true, false, true) sets bits 0 and 2; read back they stand at 1 and 3.
    Variant bits;
    bits.vt = VT_ARRAY | VT_VARIANT;
    bits.parray = SafeArrayCreateVector(VT_VARIANT, 0, 3);
    auto* items = static_cast<VARIANT*>(bits.parray->pvData);
    for (int i = 0; i < 3; ++i) {
        items[i].vt = VT_BOOL;
        items[i].boolVal = i == 1 ? VARIANT_FALSE : VARIANT_TRUE;
    }
    EXPECT_EQ(d->SetPermissionsAndRole(Bstr(u"op").get(), 2, bits), S_OK);
    EXPECT_EQ(Permissions(d, u"op"), "2: 0 2");
    EXPECT_EQ(d->ChangePasswordAdmin(Bstr(u"op").get(), Bstr(u"pw2").get()), S_OK);

    // The user changes his own password; the device echoes his name.
    ASSERT_TRUE(LoginAs(d, u"op", u"pw2"));
    EXPECT_EQ(d->ChangePasswordUser(Bstr(u"pw2").get(), Bstr(u"pw3").get()), S_OK);
    EXPECT_FALSE(LoginAs(d, u"op", u"pw2"));
    EXPECT_EQ(d->errorCode, 1);
    ASSERT_TRUE(LoginAs(d, u"op", u"pw3"));
    // Bit 0 set: op may administer users too, but not delete himself.
    EXPECT_EQ(d->DeleteUser(Bstr(u"op").get()), E_FAIL);
    EXPECT_EQ(d->deviceStatus, 0x16000004u);
    EXPECT_EQ(d->DeleteUser(Bstr(u"nobody").get()), E_FAIL);
    EXPECT_EQ(d->deviceStatus, 0x16000001u);
    EXPECT_EQ(d->errorCode, 1);
}

TEST(UsersAgainstSim, CertificateDatesAfterReconnecting) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.108.2", "--no-tcp", "--cert-not-before", "1700000000",
                           "--cert-not-after", "1800000000"}));
    const std::u16string text = u"TCPIP:127.0.108.2/17222,3000,SSL";
    SimDevice d(text);
    ASSERT_EQ(d.opened, 1) << d.error;
    ASSERT_TRUE(LoginAs(d, u"admin", u"admin"));
    EXPECT_EQ(d->CreateCertificate(1750000000, 1950000000), S_OK);
    ULONG notBefore = 0, notAfter = 0;
    EXPECT_EQ(d->get_SSLCertNotBefore(&notBefore), S_OK);
    EXPECT_EQ(notBefore, 1700000000u); // this connection keeps its certificate

    ASSERT_EQ(d.Open(text), 1) << d.error;
    EXPECT_EQ(d->get_SSLCertNotBefore(&notBefore), S_OK);
    EXPECT_EQ(d->get_SSLCertNotAfter(&notAfter), S_OK);
    EXPECT_EQ(notBefore, 1750000000u);
    EXPECT_EQ(notAfter, 1950000000u);

    // Dates the device cannot use are refused.
    ASSERT_TRUE(LoginAs(d, u"admin", u"admin"));
    EXPECT_EQ(d->CreateCertificate(1950000000, 1750000000), E_FAIL);
    EXPECT_EQ(d->deviceStatus, 0x16000006u);
}

TEST(UsersAgainstSim, AdminKeyAndPasswordResetOverSerial) {
    const std::string devices =
        ::testing::TempDir() + "kelvo-devices-users-" + std::to_string(getpid());
    std::filesystem::remove_all(devices);
    setenv("KELVO_DEVICES", devices.c_str(), 1);
    // The admin password is lost.
    const std::string state = devices + "-state.xml";
    {
        std::ofstream file(state);
        file << R"(<kelvo-sim><users><user name="admin" password="lost" role="1" )"
                R"(permissions="1"/></users></kelvo-sim>)";
    }
    SimProcess sim;
    ASSERT_TRUE(
        sim.Start({"--addr", "127.0.108.3", "--no-tcp", "--no-tls", "--serial", "--serial-address",
                   "7", "--link-com", "108", "--require-login", "--state", state}));
    SimDevice d(u"COM:108,921600,N,8,1", true, 7);
    ASSERT_EQ(d.opened, 1) << d.error;

    // No session needed: this is how a lost admin password comes back.
    BSTR out = nullptr;
    ASSERT_EQ(d->GetBVAdminKey(&out), S_OK) << d->errorCode;
    const std::string key = Text(out);
    ASSERT_EQ(key.size(), 384u);
    std::vector<unsigned char> block(192);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<unsigned char>(std::stoi(key.substr(2 * i, 2), nullptr, 16));
    unsigned char digest[32];
    unsigned int size = 0;
    ASSERT_EQ(EVP_Digest(block.data(), block.size(), digest, &size, EVP_sha256(), nullptr), 1);
    std::u16string resetKey;
    for (unsigned char b : digest) {
        static constexpr char16_t kDigits[] = u"0123456789abcdef";
        resetKey += kDigits[b >> 4];
        resetKey += kDigits[b & 0x0F];
    }

    EXPECT_FALSE(LoginAs(d, u"admin", u"admin"));
    EXPECT_EQ(d->ResetAdminPassword(Bstr(u"00ff").get()), E_FAIL);
    EXPECT_EQ(d->deviceStatus, 0x16000005u);
    EXPECT_EQ(d->ResetAdminPassword(Bstr(resetKey).get()), S_OK) << d->errorCode;
    EXPECT_TRUE(LoginAs(d, u"admin", u"admin"));
    EXPECT_EQ(Users(d), "admin\t");
    std::filesystem::remove_all(devices);
    std::filesystem::remove(state);
}

} // namespace
} // namespace kelvo::test
