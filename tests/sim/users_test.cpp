// The simulator's user and security administration: refusals, permissions and
// certificate dates, answered byte by byte in-process. Creating, listing,
// deleting, passwords and the admin key's reset succeed in the fault matrix
// and UsersAgainstSim.
#include "sim/sim_helpers.h"

namespace kelvo::sim {
namespace {

constexpr std::uint16_t kLogin = 0x3001;
constexpr std::uint16_t kOwnPassword = 0x3002;
constexpr std::uint16_t kCreate = 0x3004;
constexpr std::uint16_t kDelete = 0x3005;
constexpr std::uint16_t kGetPermissions = 0x3006;
constexpr std::uint16_t kSetPermissions = 0x3007;
constexpr std::uint16_t kList = 0x300A;
constexpr std::uint16_t kAdminKey = 0x300B;
constexpr std::uint16_t kReset = 0x300C;
constexpr std::uint16_t kCertificate = 0x040A;

// Runs requests over TCP; Ask gives the status word and the data after it.
class Admin {
public:
    explicit Admin(DeviceState state = {}) : device_(std::move(state)) {}

    struct Answer {
        std::uint16_t status;
        Bytes data;
        std::uint32_t Code() const { return data.size() == 5 ? ldle_u32(&data[1]) : 0; }
    };
    Answer Ask(std::uint16_t command, const Bytes& payload = {}) {
        const Bytes out = device_.Ask(Frame(counter_++, command, payload));
        if (out.size() < 6)
            return {0, {}};
        return {Status(out), Bytes(out.begin() + 6, out.end())};
    }
    // Ok: the data of a success answer; a device error gives its code as a failure.
    ::testing::AssertionResult Ok(std::uint16_t command, const Bytes& payload = {},
                                  Bytes* data = nullptr) {
        Answer a = Ask(command, payload);
        if (a.status != SuccessWord(command))
            return ::testing::AssertionFailure()
                   << "status " << a.status << " code 0x" << std::hex << a.Code();
        if (data)
            *data = a.data;
        return ::testing::AssertionSuccess();
    }
    std::uint32_t Refused(std::uint16_t command, const Bytes& payload = {}) {
        Answer a = Ask(command, payload);
        EXPECT_EQ(a.status, ErrorWord(command));
        return a.Code();
    }
    void Login(const std::string& user, const std::string& password) {
        ASSERT_TRUE(Ok(kLogin, Join({Counted(user), Counted(password)})));
    }
    DeviceState State() const { return device_.State(); }

private:
    Device device_;
    std::uint16_t counter_ = 0;
};

DeviceState WithOperator() {
    DeviceState state;
    state.users.push_back({"op", "s3cret", 2, 0x4});
    return state;
}

TEST(SimulatorUsers, RefusalsCarryTheirCodes) {
    struct Case {
        const char* name;
        const char* user; // logged in first; null: no session
        std::uint16_t command;
        Bytes payload;
        std::uint32_t code;
    };
    const Case cases[] = {
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
