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
    Device device(WithOperator());
    // The accepted login echoes the user after its length.
    EXPECT_EQ(Login(device, 0x0102, "admin", "admin"),
              (Bytes{0x00, 0x02, 0x01, 0x08, 0x10, 0x30, 0x05, 'a', 'd', 'm', 'i', 'n'}));
    EXPECT_EQ(device.State().sessionUser, "admin");
    EXPECT_EQ(Login(device, 2, "op", "s3cret")[5], 0x30);
    EXPECT_EQ(device.State().sessionUser, "op");
    // A failed login leaves the open session alone.
    Login(device, 3, "op", "wrong");
    EXPECT_EQ(device.State().sessionUser, "op");

    EXPECT_EQ(device.Ask(Frame(4, kLogout)), Answer(4, 0x3090, {0}));
    EXPECT_EQ(device.State().sessionUser, "");
    // Logging out without a session is confirmed too.
    EXPECT_EQ(device.Ask(Frame(5, kLogout)), Answer(5, 0x3090, {0}));
    EXPECT_EQ(device.Ask(Frame(6, kLogout, {1})), ErrorAnswer(6, 0x3091, kBadRequestError));
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

TEST(SimulatorPush, TcpAnswersWithTheResultByteAndStreamsFollowTheCommands) {
    Device device;
    // Stream 2, command 5, value 300: started.
    EXPECT_EQ(device.Ask(Frame(9, kPush, {2, 5, 0x2C, 0x01})), Answer(9, 0x1020, {1}));
    EXPECT_EQ(device.Ask(Frame(10, kPush, {3, 2}))[6], 1);
    EXPECT_EQ(device.State().streams.count(), 2u);
    EXPECT_GT(device.sim().StreamRate(), 0u);
    // Stop on stream 3 stops that one only; stop on stream 0 stops all.
    EXPECT_EQ(device.Ask(Frame(11, kPush, {3, 1}))[6], 0);
    EXPECT_EQ(device.State().streams.count(), 1u);
    EXPECT_EQ(device.Ask(Frame(12, kPush, {0, 1})), Answer(12, 0x1020, {0}));
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

// A device whose answers are split: Ok gives the data of a success answer (a
// device error fails with its code), Refused the code of an error answer.
class Admin : public Device {
public:
    using Device::Device;
    ::testing::AssertionResult Ok(std::uint16_t command, const Bytes& payload = {},
                                  Bytes* data = nullptr) {
        const Bytes out = Ask(Frame(1, command, payload));
        if (Status(out) != SuccessWord(command))
            return ::testing::AssertionFailure()
                   << "status " << Status(out) << " code 0x" << std::hex << ErrorCode(out);
        if (data)
            *data = Bytes(out.begin() + 6, out.end());
        return ::testing::AssertionSuccess();
    }
    std::uint32_t Refused(std::uint16_t command, const Bytes& payload = {}) {
        const Bytes out = Ask(Frame(1, command, payload));
        EXPECT_EQ(Status(out), ErrorWord(command));
        EXPECT_EQ(out.size(), 11u);
        return ErrorCode(out);
    }
    void Login(const std::string& user, const std::string& password) {
        ASSERT_TRUE(Ok(kLogin, Credentials(user, password)));
    }
};

// Refused requests answer their code and change neither the users nor the session.
TEST(SimulatorSession, RefusalsCarryTheirCodesAndChangeNothing) {
    struct Case {
        const char* name;
        const char* user; // logged in first; null: no session
        std::uint16_t command;
        Bytes payload;
        std::uint32_t code;
    };
    const Case cases[] = {
        {"wrong password", nullptr, kLogin, Credentials("admin", "admiN"), kWrongLoginError},
        {"password of another user", nullptr, kLogin, Credentials("op", "admin"), kWrongLoginError},
        {"login without payload", nullptr, kLogin, {}, kBadRequestError},
        {"user longer than the payload", nullptr, kLogin, {9, 'a', 'b'}, kBadRequestError},
        {"bytes after the password", nullptr, kLogin, {1, 'a', 1, 'b', 0}, kBadRequestError},
        {"list without a session", nullptr, kList, {}, kLoginMissingError},
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
    };
    for (const Case& tc : cases) {
        Admin d(WithOperator());
        if (tc.user)
            d.Login(tc.user, tc.user == std::string("op") ? "s3cret" : "admin");
        EXPECT_EQ(d.Refused(tc.command, tc.payload), tc.code) << tc.name;
        EXPECT_EQ(d.State().users.size(), 2u) << tc.name;
        EXPECT_EQ(d.State().sessionUser, tc.user ? tc.user : "") << tc.name;
    }
}

TEST(SimulatorUsers, PermissionsAndRoleRoundTrip) {
    Admin d(WithOperator());
    d.Login("op", "s3cret");
    Bytes data;
    // Their own permissions a user may read without the right.
    ASSERT_TRUE(d.Ok(kGetPermissions, Counted("op"), &data));
    EXPECT_EQ(data, Join({Counted("op"), {2, 4, 0, 0, 0, 0, 0, 0, 0}}));

    d.Login("admin", "admin");
    ASSERT_TRUE(
        d.Ok(kSetPermissions, Join({Counted("op"), {9, 1, 0, 0, 0x80, 2, 0, 0, 0}}), &data));
    EXPECT_EQ(data, Counted("op"));
    EXPECT_EQ(d.State().users[1].role, 9);
    EXPECT_EQ(d.State().users[1].permissions, 0x0000000280000001u);
    ASSERT_TRUE(d.Ok(kGetPermissions, Counted("op"), &data));
    EXPECT_EQ(data, Join({Counted("op"), {9, 1, 0, 0, 0x80, 2, 0, 0, 0}}));
}

TEST(SimulatorSecurity, CertificateRequestsRememberTheirDates) {
    Admin d;
    d.Login("admin", "admin");
    FrameWriter dates;
    dates.u64(1700000000000).u64(2000000000999);
    ASSERT_TRUE(d.Ok(kCertificate, dates.data()));
    EXPECT_EQ(d.State().certificate.notBefore, 1700000000);
    EXPECT_EQ(d.State().certificate.notAfter, 2000000000);
    EXPECT_EQ(d.State().certificatesMade, 1u);

    for (auto [start, expire] : {std::pair<std::int64_t, std::int64_t>{5000, 5000},
                                 {9000, 1000},
                                 {-1000, 5000},
                                 {0, 253402300800000}}) {
        FrameWriter w;
        w.u64(static_cast<std::uint64_t>(start)).u64(static_cast<std::uint64_t>(expire));
        EXPECT_EQ(d.Refused(kCertificate, w.data()), kBadDatesError) << start << " " << expire;
    }
    EXPECT_EQ(d.Refused(kCertificate, Bytes(15, 0)), kBadRequestError);
    EXPECT_EQ(d.State().certificatesMade, 1u);
}

} // namespace
} // namespace kelvo::sim
