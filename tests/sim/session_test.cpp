// The simulator's login sessions and push-data streams: answers byte by byte
// in-process, the stream on a real pseudo-terminal, and the options of the
// built program over TCP.
#include "kelvo-sim/commands.h"
#include "kelvo-sim/device.h"
#include "kelvo-sim/framing.h"
#include "kelvo-sim/links.h"
#include "kelvo-sim/simulator.h"

#include "protocol/bytes.h"
#include "protocol/crc16.h"
#include "support/scripted_transport.h"
#include "support/sim_process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>

namespace kelvo::sim {
namespace {

constexpr std::uint16_t kLogin = 0x3001;
constexpr std::uint16_t kLogout = 0x3009;
constexpr std::uint16_t kPush = 0x1002;
constexpr std::uint16_t kSave = 0x300E;
constexpr int kIoTimeoutMs = 5000;

Bytes Frame(std::uint16_t counter, std::uint16_t command, const Bytes& payload = {}) {
    FrameWriter w;
    w.u8(0).u16(counter).u8(static_cast<std::uint8_t>(2 + payload.size())).u16(command);
    w.bytes(payload);
    return std::move(w.data());
}

// Payload of a login: counted user name, counted password.
Bytes Credentials(const std::string& user, const std::string& password) {
    Bytes out{static_cast<std::uint8_t>(user.size())};
    out.insert(out.end(), user.begin(), user.end());
    out.push_back(static_cast<std::uint8_t>(password.size()));
    out.insert(out.end(), password.begin(), password.end());
    return out;
}

// A device answer error: [node][counter][7][error word][4][code].
Bytes ErrorAnswer(std::uint16_t counter, std::uint16_t word, std::uint32_t code) {
    FrameWriter w;
    w.u8(0).u16(counter).u8(7).u16(word).u8(4).u32(code);
    return std::move(w.data());
}

class Device {
public:
    explicit Device(DeviceState state = {}, LinkKind link = LinkKind::Tcp)
        : sim_(std::move(state), DefaultCommands()), link_(link),
          assembler_(link == LinkKind::Serial, sim_.Commands()) {}

    // The answer bytes to one request frame (wrapped for the serial link).
    Bytes Ask(const Bytes& frame) {
        assembler_.Feed(link_ == LinkKind::Serial ? test::SerialWrap(255, frame) : frame);
        Bytes all;
        while (std::optional<IncomingFrame> in = assembler_.Next()) {
            Outcome out = sim_.Handle(link_, *in);
            all.insert(all.end(), out.bytes.begin(), out.bytes.end());
        }
        return all;
    }
    Bytes Login(std::uint16_t counter, const std::string& user, const std::string& password) {
        return Ask(Frame(counter, kLogin, Credentials(user, password)));
    }

    Simulator& sim() { return sim_; }
    std::string Session() const { return sim_.State().sessionUser; }

private:
    Simulator sim_;
    LinkKind link_;
    FrameAssembler assembler_;
};

DeviceState WithOperator() {
    DeviceState state;
    std::string error;
    EXPECT_TRUE(ParseDeviceState(R"(<kelvo-sim><users>
                                   <user name="admin" password="admin"/>
                                   <user name="op" password="s3cret" role="2" permissions="0x5"/>
                                 </users></kelvo-sim>)",
                                 state, error))
        << error;
    return state;
}

TEST(SimulatorLogin, AcceptedLoginEchoesTheUserAfterItsLength) {
    Device device;
    EXPECT_EQ(device.Login(0x0102, "admin", "admin"),
              (Bytes{0x00, 0x02, 0x01, 0x08, 0x10, 0x30, 0x05, 'a', 'd', 'm', 'i', 'n'}));
    EXPECT_EQ(device.Session(), "admin");
}

TEST(SimulatorLogin, RefusedLoginsAnswerTheirCodeAndOpenNoSession) {
    struct Case {
        const char* what;
        Bytes payload;
        std::uint32_t code;
    };
    const Case cases[] = {
        {"wrong password", Credentials("admin", "admiN"), kWrongLoginError},
        {"unknown user", Credentials("root", "admin"), kWrongLoginError},
        {"empty user", Credentials("", ""), kWrongLoginError},
        {"password of another user", Credentials("op", "admin"), kWrongLoginError},
        {"no payload", {}, kBadRequestError},
        {"user longer than the payload", {9, 'a', 'b'}, kBadRequestError},
        {"no password length", {1, 'a'}, kBadRequestError},
        {"bytes after the password", {1, 'a', 1, 'b', 0}, kBadRequestError},
    };
    for (const Case& c : cases) {
        Device device(WithOperator());
        EXPECT_EQ(device.Ask(Frame(7, kLogin, c.payload)), ErrorAnswer(7, 0x3011, c.code))
            << c.what;
        EXPECT_EQ(device.Session(), "") << c.what;
    }
}

TEST(SimulatorLogin, SecondLoginReplacesTheSessionAndLogoutEndsIt) {
    Device device(WithOperator());
    ASSERT_FALSE(device.Login(1, "admin", "admin").empty());
    EXPECT_EQ(device.Login(2, "op", "s3cret")[5], 0x30);
    EXPECT_EQ(device.Session(), "op");
    // A failed login leaves the open session alone.
    device.Login(3, "op", "wrong");
    EXPECT_EQ(device.Session(), "op");

    EXPECT_EQ(device.Ask(Frame(4, kLogout)), (Bytes{0x00, 0x04, 0x00, 0x03, 0x90, 0x30, 0x00}));
    EXPECT_EQ(device.Session(), "");
    // Logging out without a session is confirmed too.
    EXPECT_EQ(device.Ask(Frame(5, kLogout)), (Bytes{0x00, 0x05, 0x00, 0x03, 0x90, 0x30, 0x00}));
    EXPECT_EQ(device.Ask(Frame(6, kLogout, {1})), ErrorAnswer(6, 0x3091, kBadRequestError));
}

TEST(SimulatorLogin, LostLoginRefusesTheNextLoginsOnce) {
    for (std::uint32_t lost : {1u, 2u}) {
        DeviceState state;
        state.lostLogins = lost;
        Device device(state);
        EXPECT_EQ(device.Login(1, "admin", "admin"), ErrorAnswer(1, 0x3011, 0x1500000E));
        // The re-login of the component: logout, then login.
        EXPECT_EQ(device.Ask(Frame(2, kLogout))[4], 0x90);
        Bytes again = device.Login(3, "admin", "admin");
        if (lost == 1) {
            EXPECT_EQ(again[4], 0x10);
            EXPECT_EQ(device.Session(), "admin");
        } else {
            EXPECT_EQ(again, ErrorAnswer(3, 0x3011, 0x1500000E));
            EXPECT_EQ(device.Session(), "");
        }
    }
}

TEST(SimulatorLogin, RequiredLoginGuardsCommandsAndADroppedSessionIsMissed) {
    DeviceState state;
    state.loginRequired = true;
    state.dropSessionAt = 4;
    Device device(state);
    EXPECT_EQ(device.Ask(Frame(1, kSave)), ErrorAnswer(1, 0x30E1, kLoginMissingError));
    EXPECT_EQ(device.Login(2, "admin", "admin")[4], 0x10);
    EXPECT_EQ(device.Ask(Frame(3, kSave)), (Bytes{0x00, 0x03, 0x00, 0x02, 0xE0, 0x30}));
    // Request 4: the session is gone before the save runs.
    EXPECT_EQ(device.Ask(Frame(4, kSave)), ErrorAnswer(4, 0x30E1, kLoginMissingError));
    // Push data works without a session.
    EXPECT_EQ(device.Ask(Frame(5, kPush, {0, 1}))[4], 0x20);
    EXPECT_EQ(device.Login(6, "admin", "admin")[4], 0x10);
    EXPECT_EQ(device.Ask(Frame(7, kSave))[4], 0xE0);
    EXPECT_EQ(device.sim().State().saveCount, 2u);
}

TEST(SimulatorPush, TcpAnswersWithTheResultByteAndStreamsFollowTheCommands) {
    Device device;
    // Stream 2, command 5, value 300: started.
    EXPECT_EQ(device.Ask(Frame(9, kPush, {2, 5, 0x2C, 0x01})),
              (Bytes{0x00, 0x09, 0x00, 0x03, 0x20, 0x10, 0x01}));
    EXPECT_EQ(device.Ask(Frame(10, kPush, {3, 2}))[6], 1);
    EXPECT_EQ(device.sim().State().streams.count(), 2u);
    EXPECT_GT(device.sim().StreamRate(), 0u);
    // Stop on stream 3 stops that one only; stop on stream 0 stops all.
    EXPECT_EQ(device.Ask(Frame(11, kPush, {3, 1}))[6], 0);
    EXPECT_EQ(device.sim().State().streams.count(), 1u);
    EXPECT_EQ(device.Ask(Frame(12, kPush, {0, 1})),
              (Bytes{0x00, 0x0C, 0x00, 0x03, 0x20, 0x10, 0x00}));
    EXPECT_EQ(device.sim().StreamRate(), 0u);
    EXPECT_TRUE(device.sim().TakeStreamBytes(4).empty());

    // A payload of neither 2 nor 4 bytes: filler byte, then the usual error answer.
    for (const Bytes& payload : {Bytes{}, Bytes{2}, Bytes{2, 5, 1}, Bytes{2, 5, 1, 1, 1}}) {
        EXPECT_EQ(device.Ask(Frame(13, kPush, payload)),
                  (Bytes{0x00, 0x0D, 0x00, 0x08, 0x21, 0x10, 0x00, 0x04, 0x02, 0x00, 0x00, 0x0A}))
            << payload.size();
    }
}

TEST(SimulatorPush, SerialLinkNeverAnswersButTheStreamStarts) {
    DeviceState state;
    state.pushRate = 1234;
    Device device(state, LinkKind::Serial);
    EXPECT_TRUE(device.Ask(Frame(1, kPush, {0, 2})).empty());
    EXPECT_EQ(device.sim().StreamRate(), 1234u);
    EXPECT_TRUE(device.Ask(Frame(2, kPush, {0})).empty());
    // The streamed bytes count up and go on where they stopped.
    EXPECT_EQ(device.sim().TakeStreamBytes(3), (Bytes{0, 1, 2}));
    EXPECT_EQ(device.sim().TakeStreamBytes(2), (Bytes{3, 4}));
    EXPECT_TRUE(device.Ask(Frame(3, kPush, {0, 1})).empty());
    EXPECT_EQ(device.sim().StreamRate(), 0u);
    // Other commands are still answered on the serial link.
    EXPECT_EQ(device.Login(4, "admin", "admin")[5], 0x10);
}

TEST(SimulatorState, UsersAndSessionSections) {
    DeviceState state = WithOperator();
    ASSERT_EQ(state.users.size(), 2u);
    EXPECT_EQ(state.users[1].name, "op");
    EXPECT_EQ(state.users[1].password, "s3cret");
    EXPECT_EQ(state.users[1].role, 2);
    EXPECT_EQ(state.users[1].permissions, 5u);
    EXPECT_FALSE(state.loginRequired);

    std::string error;
    ASSERT_TRUE(ParseDeviceState(
        R"(<kelvo-sim><session required="1"/><users><user name="a"/></users></kelvo-sim>)", state,
        error))
        << error;
    EXPECT_TRUE(state.loginRequired);
    ASSERT_EQ(state.users.size(), 1u);
    EXPECT_EQ(state.users[0].password, "");

    const char* refused[] = {
        R"(<kelvo-sim><users><user password="x"/></users></kelvo-sim>)",
        R"(<kelvo-sim><users><user name="a"/><user name="a"/></users></kelvo-sim>)",
        R"(<kelvo-sim><users><user name="a" pin="1"/></users></kelvo-sim>)",
        R"(<kelvo-sim><users><account name="a"/></users></kelvo-sim>)",
        R"(<kelvo-sim><users><user name="a" role="256"/></users></kelvo-sim>)",
        R"(<kelvo-sim><users><user name="a" permissions="-1"/></users></kelvo-sim>)",
        R"(<kelvo-sim><users all="1"><user name="a"/></users></kelvo-sim>)",
        R"(<kelvo-sim><users/></kelvo-sim>)",
        R"(<kelvo-sim><session required="2"/></kelvo-sim>)",
    };
    for (const char* xml : refused) {
        DeviceState fresh;
        error.clear();
        EXPECT_FALSE(ParseDeviceState(xml, fresh, error)) << xml;
        EXPECT_NE(error, "") << xml;
        EXPECT_EQ(fresh.users.size(), 1u) << "the default table stays: " << xml;
    }
    std::string longName(256, 'n');
    DeviceState fresh;
    EXPECT_FALSE(ParseDeviceState(
        "<kelvo-sim><users><user name=\"" + longName + "\"/></users></kelvo-sim>", fresh, error));
}

// Reads from `fd` until `want` bytes came or the time-out passed.
Bytes ReadSome(int fd, std::size_t want) {
    Bytes out;
    while (out.size() < want) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, kIoTimeoutMs) <= 0)
            break;
        std::uint8_t buffer[512];
        ssize_t n = read(fd, buffer, std::min(sizeof buffer, want - out.size()));
        if (n <= 0)
            break;
        out.insert(out.end(), buffer, buffer + n);
    }
    return out;
}

bool EndsWith(const Bytes& data, const Bytes& tail) {
    return data.size() >= tail.size() && std::equal(tail.rbegin(), tail.rend(), data.rbegin());
}

// The serial line of the simulator on its own thread.
class RunningLine {
public:
    explicit RunningLine(DeviceState state)
        : sim_(std::move(state), DefaultCommands()), context_{sim_, stop_, 0}, line_(context_) {}
    ~RunningLine() {
        stop_.Raise();
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0)
            close(fd_);
    }

    // Starts the line and opens its slave side raw, dropping what waits there.
    bool Start() {
        std::string error;
        if (!line_.Open(error))
            return false;
        thread_ = std::thread([this] { line_.Run(); });
        fd_ = open(line_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0)
            return false;
        tcflush(fd_, TCIFLUSH);
        return true;
    }
    bool Send(const Bytes& frame) {
        Bytes bytes = test::SerialWrap(255, frame);
        return write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    int fd() const { return fd_; }

private:
    Simulator sim_;
    StopSignal stop_;
    LinkContext context_;
    SerialLine line_;
    std::thread thread_;
    int fd_ = -1;
};

Bytes SerialSaveAnswer(std::uint16_t counter) {
    Bytes answer{
        1,    0,   static_cast<std::uint8_t>(counter), static_cast<std::uint8_t>(counter >> 8), 2,
        0xE0, 0x30};
    std::uint16_t crc = Crc16(answer);
    answer.push_back(static_cast<std::uint8_t>(crc));
    answer.push_back(static_cast<std::uint8_t>(crc >> 8));
    return answer;
}

TEST(SimulatorPushLine, StreamRunsFromTheStartUntilStoppedThenAnswersAreClean) {
    DeviceState state;
    state.streams.set(0);
    RunningLine line(state);
    ASSERT_TRUE(line.Start());

    // Counting bytes arrive without any request.
    Bytes streamed = ReadSome(line.fd(), 600);
    ASSERT_EQ(streamed.size(), 600u);
    std::size_t steps = 0;
    for (std::size_t i = 1; i < streamed.size(); ++i)
        steps += static_cast<std::uint8_t>(streamed[i - 1] + 1) == streamed[i] ? 1 : 0;
    EXPECT_GE(steps, streamed.size() - 3) << "bytes count up, except where the line was full";

    // A save while streaming is answered whole after stream bytes.
    ASSERT_TRUE(line.Send(Frame(1, kSave)));
    Bytes mixed;
    while (!EndsWith(mixed, SerialSaveAnswer(1))) {
        Bytes more = ReadSome(line.fd(), 1);
        ASSERT_FALSE(more.empty()) << "no save answer";
        mixed.insert(mixed.end(), more.begin(), more.end());
    }

    // Stop: the device does not answer it. Bytes sent before it may still come,
    // then the next answer; after that only answers.
    ASSERT_TRUE(line.Send(Frame(2, kPush, {0, 1})));
    ASSERT_TRUE(line.Send(Frame(3, kSave)));
    Bytes tail;
    while (!EndsWith(tail, SerialSaveAnswer(3))) {
        Bytes more = ReadSome(line.fd(), 1);
        ASSERT_FALSE(more.empty()) << "no save answer after the stop";
        tail.insert(tail.end(), more.begin(), more.end());
    }
    ASSERT_TRUE(line.Send(Frame(4, kSave)));
    EXPECT_EQ(ReadSome(line.fd(), SerialSaveAnswer(4).size()), SerialSaveAnswer(4));
}

TEST(SimulatorPushLine, StartCommandOnTheLineStartsTheStream) {
    RunningLine line(DeviceState{});
    ASSERT_TRUE(line.Start());
    ASSERT_TRUE(line.Send(Frame(1, kSave)));
    EXPECT_EQ(ReadSome(line.fd(), SerialSaveAnswer(1).size()), SerialSaveAnswer(1));
    ASSERT_TRUE(line.Send(Frame(2, kPush, {4, 2, 0x10, 0x00})));
    EXPECT_EQ(ReadSome(line.fd(), 100).size(), 100u);
}

// The options of the built program, over TCP.
int ConnectTcp(const char* address) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(17221);
    inet_pton(AF_INET, address, &to.sin_addr);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0)
        return fd;
    if (fd >= 0)
        close(fd);
    return -1;
}

Bytes Exchange(int fd, const Bytes& frame, std::size_t answerSize) {
    if (write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size()))
        return {};
    return ReadSome(fd, answerSize);
}

TEST(SimulatorSessionOptions, LostLoginAndDropSessionAtOverTcp) {
    test::SimProcess process;
    ASSERT_TRUE(process.Start(
        {"--addr", "127.0.104.1", "--no-tls", "--lost-login", "1", "--drop-session-at", "4"}));
    int fd = ConnectTcp("127.0.104.1");
    ASSERT_GE(fd, 0);
    const Bytes login = Frame(1, kLogin, Credentials("admin", "admin"));
    EXPECT_EQ(Exchange(fd, login, 11), ErrorAnswer(1, 0x3011, 0x1500000E));
    EXPECT_EQ(Exchange(fd, Frame(2, kLogin, Credentials("admin", "admin")), 12)[4], 0x10);
    EXPECT_EQ(Exchange(fd, Frame(3, kSave), 6)[4], 0xE0);
    EXPECT_EQ(Exchange(fd, Frame(4, kSave), 11), ErrorAnswer(4, 0x30E1, kLoginMissingError));
    close(fd);
}

} // namespace
} // namespace kelvo::sim
