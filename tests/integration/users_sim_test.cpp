// User administration and certificates end to end over TLS: the Kelvo object
// through the Linux transport against kelvo-sim. Every user and security
// operation also runs over TCP and the serial line in the fault matrix.
#include "integration/sim_link.h"

namespace kelvo::test {
namespace {

using UsersAgainstSim = SimTest;

TEST_F(UsersAgainstSim, AccountsAndANewCertificateOverTls) {
    SimProcess sim;
    auto d = Start(sim, Link::Tls, "127.0.108.1",
                   {"--cert-not-before", "1700000000", "--cert-not-after", "1800000000"});
    ASSERT_TRUE((*d)->Login(u"admin", u"admin", true));
    EXPECT_EQ((*d)->CreateUser(Bstr(u"op").get(), Bstr(u"pw1").get()), S_OK);
    Bstr users;
    EXPECT_EQ((*d)->GetAllUsers(users.out()), S_OK);
    EXPECT_EQ(Utf16ToUtf8(users.view()), "admin\top\t");

    // The new certificate is served from the next connection on.
    EXPECT_EQ((*d)->CreateCertificate(1750000000, 1950000000), S_OK);
    ULONG notBefore = 0, notAfter = 0;
    EXPECT_EQ((*d)->get_SSLCertNotBefore(&notBefore), S_OK);
    EXPECT_EQ((*d)->get_SSLCertNotAfter(&notAfter), S_OK);
    EXPECT_EQ(notBefore, 1700000000u);
    EXPECT_EQ(notAfter, 1800000000u);
    ASSERT_EQ(d->Open(u"TCPIP:127.0.108.1/17222,3000,SSL"), 1) << d->error;
    EXPECT_EQ((*d)->get_SSLCertNotBefore(&notBefore), S_OK);
    EXPECT_EQ((*d)->get_SSLCertNotAfter(&notAfter), S_OK);
    EXPECT_EQ(notBefore, 1750000000u);
    EXPECT_EQ(notAfter, 1950000000u);
}

} // namespace
} // namespace kelvo::test
