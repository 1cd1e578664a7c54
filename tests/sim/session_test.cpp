// The simulator's login sessions, push-data streams, user and security
// administration: refusals, permissions and certificate dates, answered byte by
// byte in-process. The stream on a real line runs end to end in the kelvo
// tool's tests (KelvoToolSessionSimulator), on the serial line too; the
// required login and the dropped session in ConnectToSim and
// ParametersAgainstSim; creating, listing, deleting, passwords and the admin
// key's reset succeed in the fault matrix and UsersAgainstSim.
#include "sim/sim_helpers.h"

namespace kelvo::sim {
namespace {

constexpr std::uint16_t kLogin = 0x3001;
constexpr std::uint16_t kLogout = 0x3009;
constexpr std::uint16_t kPush = 0x1002;

Bytes Credentials(const std::string& user, const std::string& password) {
    return Join({Counted(user), Counted(password)});
}
Bytes Login(Device& device, std::uint16_t counter, const std::string& user,
            const std::string& password) {
    return device.Ask(Frame(counter, kLogin, Credentials(user, password)));
}

// The default admin and an operator.
DeviceState WithOperator() {
    DeviceState state;
    state.users.push_back({"op", "s3cret", 2, 0x4});
    return state;
}

TEST(SimulatorLogin, SecondLoginReplacesTheSessionAndLogoutEndsIt) {
    // The user echo of the accepted login is checked by the component (the fault matrix).
    Device device(WithOperator());
    Login(device, 1, "admin", "admin");
    EXPECT_EQ(Login(device, 2, "op", "s3cret")[5], 0x30);
    EXPECT_EQ(device.State().sessionUser, "op");
    // Logging out without a session is confirmed too.
    for (std::uint16_t counter : {4, 5})
        EXPECT_EQ(device.Ask(Frame(counter, kLogout)), Answer(counter, 0x3090, {0}));
    EXPECT_EQ(device.State().sessionUser, "");
}

TEST(SimulatorLogin, LostLoginRefusesTheNextLoginsOnce) {
    for (std::uint32_t lost : {1u, 2u}) {
        DeviceState state;
        state.lostLogins = lost;
        Device device(state);
        EXPECT_EQ(Login(device, 1, "admin", "admin"), ErrorAnswer(1, 0x3011, 0x1500000E));
        // The re-login of the component: logout, then login.
        EXPECT_EQ(device.Ask(Frame(2, kLogout))[4], 0x90);
        // One lost login: the next is taken; two: it is refused again.
        EXPECT_EQ(Login(device, 3, "admin", "admin")[4], lost == 1 ? 0x10 : 0x11);
        EXPECT_EQ(device.State().sessionUser, lost == 1 ? "admin" : "");
    }
}

// Starting a stream and stopping it run in KelvoToolData, the stream itself in
// the Python package's tests.
TEST(SimulatorPush, StopOnOneStreamOrOnStreamZeroAndOtherPayloadsRefused) {
    Device device;
    for (std::uint8_t stream : {2, 3})
        EXPECT_EQ(device.Ask(Frame(9, kPush, {stream, 2})), Answer(9, 0x1020, {1}));
    EXPECT_EQ(device.Ask(Frame(11, kPush, {3, 1}))[6], 0);
    EXPECT_EQ(device.State().streams.count(), 1u);
    EXPECT_EQ(device.Ask(Frame(12, kPush, {0, 1}))[6], 0);
    EXPECT_EQ(device.sim().StreamRate(), 0u);
    EXPECT_TRUE(device.sim().TakeStreamBytes(4).empty());

    // A payload of neither 2 nor 4 bytes: filler byte, then the usual error answer.
    for (const Bytes& payload : {Bytes{}, Bytes{2}, Bytes{2, 5, 1}, Bytes{2, 5, 1, 1, 1}}) {
        EXPECT_EQ(device.Ask(Frame(13, kPush, payload)),
                  Answer(13, 0x1021, {0x00, 0x04, 0x02, 0x00, 0x00, 0x0A}))
            << payload.size();
    }
}

constexpr std::uint16_t kOwnPassword = 0x3002;
constexpr std::uint16_t kCreate = 0x3004;
constexpr std::uint16_t kDelete = 0x3005;
constexpr std::uint16_t kGetPermissions = 0x3006;
constexpr std::uint16_t kSetPermissions = 0x3007;
constexpr std::uint16_t kList = 0x300A;
constexpr std::uint16_t kReset = 0x300C;
constexpr std::uint16_t kCertificate = 0x040A;

// Certificate start and expiry in milliseconds.
Bytes Dates(std::int64_t start, std::int64_t expire) {
    FrameWriter w;
    w.u64(static_cast<std::uint64_t>(start)).u64(static_cast<std::uint64_t>(expire));
    return std::move(w.data());
}

// Refused requests answer their code and change neither the users nor the
// session. Logging out with a payload keeps the session, and so does a failed
// login. A new certificate's dates are served end to end in UsersAgainstSim.
TEST(SimulatorSession, RefusalsCarryTheirCodesAndChangeNothing) {
    struct Case {
        const char* name;
        const char* user; // logged in first; null: no session
        std::uint16_t command;
        Bytes payload;
        std::uint32_t code;
    };
    const Bytes none;
    const Case cases[] = {
        {"wrong password", nullptr, kLogin, Credentials("admin", "admiN"), kWrongLoginError},
        {"password of another user", "op", kLogin, Credentials("op", "admin"), kWrongLoginError},
        {"login without payload", nullptr, kLogin, none, kBadRequestError},
        {"user longer than the payload", nullptr, kLogin, {9, 'a', 'b'}, kBadRequestError},
        {"bytes after the password", nullptr, kLogin, {1, 'a', 1, 'b', 0}, kBadRequestError},
        {"logout with a payload", "admin", kLogout, {1}, kBadRequestError},
        {"list without a session", nullptr, kList, none, kLoginMissingError},
        {"create without the right", "op", kCreate, Join({Counted("x"), Counted("")}),
         kNoRightError},
        {"certificate without the right", "op", kCertificate, Bytes(16, 0), kNoRightError},
        {"duplicate", "admin", kCreate, Join({Counted("op"), Counted("")}), kUserExistsError},
        {"delete unknown", "admin", kDelete, Counted("nobody"), kUnknownUserError},
        {"delete oneself", "admin", kDelete, Counted("admin"), kUserInUseError},
        {"wrong old password", "op", kOwnPassword, Join({Counted("s3creT"), Counted("n")}),
         kWrongLoginError},
        {"short permissions", "admin", kSetPermissions, Join({Counted("op"), Bytes(8, 0)}),
         kBadRequestError},
        {"wrong reset key", nullptr, kReset, Join({{2}, {1, 2}}), kWrongResetKeyError},
        {"certificate expiring as it starts", "admin", kCertificate, Dates(5000, 5000),
         kBadDatesError},
        {"certificate expiring first", "admin", kCertificate, Dates(9000, 1000), kBadDatesError},
        {"certificate before 1970", "admin", kCertificate, Dates(-1000, 5000), kBadDatesError},
        {"certificate after 9999", "admin", kCertificate, Dates(0, 253402300800000),
         kBadDatesError},
        {"short certificate request", "admin", kCertificate, Bytes(15, 0), kBadRequestError},
    };
    for (const Case& tc : cases) {
        Device d(WithOperator());
        if (tc.user) {
            const char* password = tc.user[0] == 'o' ? "s3cret" : "admin";
            ASSERT_EQ(Login(d, 1, tc.user, password)[4], 0x10) << tc.name;
        }
        EXPECT_EQ(d.Ask(Frame(2, tc.command, tc.payload)),
                  ErrorAnswer(2, ErrorWord(tc.command), tc.code))
            << tc.name;
        EXPECT_EQ(d.State().users.size(), 2u) << tc.name;
        EXPECT_EQ(d.State().sessionUser, tc.user ? tc.user : "") << tc.name;
        EXPECT_EQ(d.State().certificatesMade, 0u) << tc.name;
    }
}

// Setting and reading back a role and permissions runs end to end in the
// Python package's tests; their own permissions a user may read without the right.
TEST(SimulatorUsers, OwnPermissionsWithoutTheRight) {
    Device d(WithOperator());
    Login(d, 1, "op", "s3cret");
    EXPECT_EQ(d.Ask(Frame(2, kGetPermissions, Counted("op"))),
              Answer(2, SuccessWord(kGetPermissions),
                     Join({Counted("op"), {2, 4, 0, 0, 0, 0, 0, 0, 0}})));
}

} // namespace
} // namespace kelvo::sim
