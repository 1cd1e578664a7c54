// The simulator's login sessions and push-data streams: answers byte by byte
// in-process. The stream on a real line runs end to end in the kelvo tool's
// tests (KelvoToolSessionSimulator), on the serial line too; the required login
// and the dropped session in ConnectToSim and ParametersAgainstSim.
#include "sim/sim_helpers.h"

namespace kelvo::sim {
namespace {

constexpr std::uint16_t kLogin = 0x3001;
constexpr std::uint16_t kLogout = 0x3009;
constexpr std::uint16_t kPush = 0x1002;
constexpr std::uint16_t kSave = 0x300E;

Bytes Credentials(const std::string& user, const std::string& password) {
    return Join({Counted(user), Counted(password)});
}
Bytes Login(Device& device, std::uint16_t counter, const std::string& user,
            const std::string& password) {
    return device.Ask(Frame(counter, kLogin, Credentials(user, password)));
}

DeviceState WithOperator() {
    DeviceState state;
    EXPECT_TRUE(Parses(R"(<kelvo-sim><users>
                            <user name="admin" password="admin"/>
                            <user name="op" password="s3cret" role="2" permissions="0x5"/>
                          </users></kelvo-sim>)",
                       state));
    return state;
}

TEST(SimulatorLogin, RefusedLoginsAnswerTheirCodeAndOpenNoSession) {
    struct Case {
        const char* what;
        Bytes payload;
        std::uint32_t code;
    };
    const Case cases[] = {
        {"wrong password", Credentials("admin", "admiN"), kWrongLoginError},
        {"password of another user", Credentials("op", "admin"), kWrongLoginError},
        {"no payload", {}, kBadRequestError},
        {"user longer than the payload", {9, 'a', 'b'}, kBadRequestError},
        {"bytes after the password", {1, 'a', 1, 'b', 0}, kBadRequestError},
    };
    for (const Case& c : cases) {
        Device device(WithOperator());
        EXPECT_EQ(device.Ask(Frame(7, kLogin, c.payload)), ErrorAnswer(7, 0x3011, c.code))
            << c.what;
        EXPECT_EQ(device.State().sessionUser, "") << c.what;
    }
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
        Bytes again = Login(device, 3, "admin", "admin");
        if (lost == 1) {
            EXPECT_EQ(again[4], 0x10);
            EXPECT_EQ(device.State().sessionUser, "admin");
        } else {
            EXPECT_EQ(again, ErrorAnswer(3, 0x3011, 0x1500000E));
            EXPECT_EQ(device.State().sessionUser, "");
        }
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

} // namespace
} // namespace kelvo::sim
