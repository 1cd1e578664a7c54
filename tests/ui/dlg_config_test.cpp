// The settings dialog's behaviour, driven through its control state.
#include "device/messages.h"
#include "kelvo/automation.h"
#include "support/message_box_capture.h"
#include "support/scoped_env.h"
#include "support/temp_folder.h"
#include "ui/dlg_config.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

namespace kelvo::test {
namespace {

using ::testing::Contains;
using ::testing::Field;

class DlgConfigTest : public ::testing::Test {
protected:
    MessageBoxCapture capture_;

    // A dialog whose serial ports are `ports`.
    static CDlgConfig Dialog(std::vector<int> ports) {
        return CDlgConfig(
            [ports](int n) { return std::find(ports.begin(), ports.end(), n) != ports.end(); });
    }
};

TEST_F(DlgConfigTest, PagesEnableTheirControlsAndShareTimeOutAndCanAddress) {
    CDlgConfig d = Dialog({2, 9});
    d.timeOut = -1;
    d.sslMode = 1;
    d.InitDialog();
    EXPECT_EQ(d.Text(IDC_TCP_TIMEOUT), u"4294967295"); // shown unsigned
    EXPECT_TRUE(d.Control(IDC_SSL)->checked);

    const int tcpIds[] = {IDC_HOST, IDC_TCP_TIMEOUT, IDC_CONNECT_TIMEOUT, IDC_TCP_CAN, IDC_SSL};
    const int serialIds[] = {IDC_PORT, IDC_SERIAL_TIMEOUT, IDC_SERIAL_CAN};
    auto expectPage = [&](bool tcp) {
        EXPECT_EQ(d.Control(IDC_TCPIP)->checked, tcp);
        EXPECT_EQ(d.Control(IDC_SERIAL)->checked, !tcp);
        for (int id : tcpIds)
            EXPECT_EQ(d.Control(id)->enabled, tcp) << id;
        for (int id : serialIds)
            EXPECT_EQ(d.Control(id)->enabled, !tcp) << id;
    };
    expectPage(true);

    d.SetText(IDC_TCP_TIMEOUT, u"2500");
    d.SetText(IDC_TCP_CAN, u"7");
    d.Command(IDC_SERIAL);
    expectPage(false);
    EXPECT_EQ(std::tuple(d.Text(IDC_SERIAL_TIMEOUT), d.Text(IDC_SERIAL_CAN)),
              std::tuple(u"2500", u"7"));
    EXPECT_EQ(d.Control(IDC_PORT)->items.size(), 2u);

    d.SetText(IDC_SERIAL_TIMEOUT, u"3000");
    d.Command(IDC_TCPIP);
    expectPage(true);
    EXPECT_EQ(std::tuple(d.Text(IDC_TCP_TIMEOUT), d.Text(IDC_TCP_CAN)), std::tuple(u"3000", u"7"));

    d.Command(IDC_SSL);
    EXPECT_FALSE(d.Control(IDC_SSL)->checked);
    EXPECT_EQ(std::tuple(d.sslMode, d.tcpMode, d.serialMode), std::tuple(0, 1, 0));
}

// OK wants a user, a password and, on the TCP page, a host; it reads numbers
// unsigned and keeps the CAN address's low byte.
TEST_F(DlgConfigTest, OkRefusesMissingTextsAndReadsNumbersUnsigned) {
    struct Case {
        bool serial;
        const char16_t *user, *password, *host, *timeOut, *can, *message; // message null: accepted
        std::int32_t wantTimeOut = 0;
        std::uint8_t wantCan = 0;
    } cases[] = {
        {false, u"op", u"pw", u"h", u"3000", u"300", nullptr, 3000, 44},
        {true, u"op", u"pw", u"", u"3000", u"300", nullptr, 3000, 44},
        {false, u"op", u"pw", u"h", u" 42 ", u"255", nullptr, 42, 255},
        {true, u"op", u"pw", u"h", u"abc", u"-1", nullptr, 0, 0},
        {false, u"op", u"pw", u"h", u"12x", u"", nullptr, 0, 0},
        {true, u"op", u"pw", u"h", u"4294967295", u"256", nullptr, -1, 0},
        {false, u"op", u"pw", u"h", u"4294967296", u"1", nullptr, 0, 1},
        {false, u"", u"pw", u"h", u"1", u"1", u"Invalid User"},
        {false, u"op", u"", u"h", u"1", u"1", u"Invalid Password"},
        {false, u"op", u"pw", u"", u"1", u"1", u"Invalid IP address"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf16ToUtf8(std::u16string(c.timeOut) + u" " + c.can));
        capture_.boxes.clear();
        CDlgConfig d = Dialog({3, 5});
        std::tie(d.tcpMode, d.serialMode, d.port, d.host) =
            std::tuple(!c.serial, c.serial, 5, u"kept");
        d.InitDialog();
        d.SetText(IDC_USER, c.user);
        d.SetText(IDC_PASSWORD, c.password);
        d.SetText(IDC_HOST, c.host);
        d.SetText(c.serial ? IDC_SERIAL_TIMEOUT : IDC_TCP_TIMEOUT, c.timeOut);
        d.SetText(c.serial ? IDC_SERIAL_CAN : IDC_TCP_CAN, c.can);
        d.SetText(IDC_CONNECT_TIMEOUT, c.timeOut);
        if (c.serial)
            d.Control(IDC_PORT)->selection = 0;
        d.Command(IDC_OK);
        EXPECT_EQ(d.Ended(), c.message == nullptr);
        if (c.message) {
            ASSERT_EQ(capture_.boxes.size(), 1u);
            const auto& box = capture_.boxes[0];
            EXPECT_EQ(std::tuple(box.text, box.caption, box.style),
                      std::tuple(c.message, u"", MB_OK | MB_ICONERROR));
            continue;
        }
        EXPECT_TRUE(capture_.boxes.empty());
        EXPECT_EQ(d.host, c.serial ? u"kept" : c.host);
        EXPECT_EQ(std::tuple(d.timeOut, d.canNode, d.port, d.connectTimeout),
                  std::tuple(c.wantTimeOut, c.wantCan, c.serial ? 3 : 5,
                             c.serial ? 5000 : c.wantTimeOut));
    }
}

// Cancel keeping the object: ConfigWindowTest.CancelKeepsTheObjectAndOkCopiesTheValuesBack.
TEST_F(DlgConfigTest, SerialPageShowsTheSocketNameAndOkKeepsTheUserAsIt) {
    CDlgConfig d = Dialog({}); // no serial ports: an empty list
    std::tie(d.port, d.sockMode, d.sockName, d.userName, d.password) =
        std::tuple(7, 1, u"bridge", u"op", u"pw");
    d.InitDialog();
    d.Command(IDC_SERIAL);
    EXPECT_EQ(d.Text(IDC_USER), u"bridge");
    EXPECT_EQ(d.Control(IDC_PORT)->selection, -1);
    d.SetText(IDC_USER, u"op2");
    d.Command(IDC_OK);
    EXPECT_EQ(d.Result(), 1);
    // The port is kept without a port to choose.
    EXPECT_EQ(std::tuple(d.port, d.sockName, d.userName), std::tuple(7, u"op2", u"op2"));
}

// A terminal linked in the devices folder is listed; a plain file and a
// dangling link are not; an absent port selects the first item.
TEST(SerialPortList, LinkedTerminalsAreListedAndOtherFilesAreNot) {
    namespace fs = std::filesystem;
    TempFolder folder("ports");
    int master = -1, slave = -1;
    char name[64];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    fs::create_symlink(name, folder / "com200");
    std::ofstream(folder / "plain").put('x');
    fs::create_symlink(folder / "plain", folder / "com5");
    fs::create_symlink(folder / "missing", folder / "com6");
    ScopedEnv devices("KELVO_DEVICES", folder.path());
    for (int port : {200, 4}) {
        CDlgConfig d;
        std::tie(d.tcpMode, d.serialMode, d.port) = std::tuple(0, 1, port);
        d.InitDialog();
        const auto& list = *d.Control(IDC_PORT);
        EXPECT_THAT(list.items, Contains(ui::ListItem{u"COM200", 200}));
        for (int other : {5, 6})
            EXPECT_THAT(list.items, Not(Contains(Field(&ui::ListItem::data, other))));
        ASSERT_GE(list.selection, 0);
        EXPECT_EQ(list.items[static_cast<std::size_t>(list.selection)].data,
                  port == 200 ? 200 : list.items[0].data);
    }
    close(master);
    close(slave);
}

} // namespace
} // namespace kelvo::test
