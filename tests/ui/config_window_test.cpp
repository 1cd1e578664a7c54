// The settings window through its plugin, as Config shows it, on the headless
// Qt platform. The pages are saved as pictures in <build>/test-artifacts.
#ifdef KELVO_UI_PLUGIN_PATH

#include "automation/profile.h"
#include "device/kelvo_object.h"
#include "support/scoped_env.h"
#include "support/temp_folder.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <tuple>

namespace kelvo::test {
namespace {

namespace fs = std::filesystem;

// A settings folder of the test's own, with a device folder holding COM42, and
// the application on the headless platform.
class ConfigWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(folder_ / "devices");
        char name[64];
        ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
        fs::create_symlink(name, folder_ / "devices/com42");
    }
    void TearDown() override {
        close(master_);
        close(slave_);
    }

    // Runs Config with `drive` called inside the dialog's modal loop.
    static HRESULT ConfigDriven(CKelvo& k, std::function<void(QWidget& dialog)> drive) {
        QTimer::singleShot(0, [drive] {
            QWidget* dialog = QApplication::activeModalWidget();
            if (!dialog) {
                ADD_FAILURE() << "no modal dialog";
                return;
            }
            drive(*dialog);
        });
        return k.Config();
    }

    static void Save(QWidget& dialog, const char* name) {
        const fs::path folder = fs::path(KELVO_BIN_DIR).parent_path() / "test-artifacts";
        fs::create_directories(folder);
        EXPECT_TRUE(dialog.grab().save(QString::fromStdString((folder / name).string())));
    }

    template <class W> static W* Find(QWidget& dialog, int id) {
        W* widget = dialog.findChild<W*>(QString::number(id));
        EXPECT_NE(widget, nullptr) << id;
        return widget;
    }

    TempFolder folder_{"window"};
    const fs::path dir_ = folder_.path();
    ScopedEnv platform_{"QT_QPA_PLATFORM", "offscreen"};
    ScopedEnv plugin_{"KELVO_UI_PLUGIN", KELVO_UI_PLUGIN_PATH};
    ScopedEnv appData_{"APPDATA", folder_.path()};
    ScopedEnv devices_{"KELVO_DEVICES", folder_ / "devices"};
    int master_ = -1, slave_ = -1;
    int argc_ = 1;
    char arg0_[8] = "ui-test";
    char* argv_[2] = {arg0_, nullptr};
    QApplication app_{argc_, argv_};
};

// A refused OK and Cancel keep the object; then OK on the serial page copies
// the values back and remembers the port.
TEST_F(ConfigWindowTest, CancelKeepsTheObjectAndOkCopiesTheValuesBack) {
    CKelvo k;
    k.rememberPort = true;
    QString shown;
    HRESULT hr = ConfigDriven(k, [&](QWidget& dialog) {
        Find<QCheckBox>(dialog, 214)->click();
        Find<QLineEdit>(dialog, 210)->setText("10.9.9.9");
        // The message box runs its own modal loop inside the click.
        QTimer::singleShot(0, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                shown = box->text();
                EXPECT_EQ(box->icon(), QMessageBox::Critical);
                box->accept();
            }
        });
        Find<QPushButton>(dialog, 1)->click();
        EXPECT_TRUE(dialog.isVisible());
        Find<QPushButton>(dialog, 2)->click();
    });
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(shown, "Invalid User");
    EXPECT_EQ(std::pair(k.sslMode, k.host), std::pair(0, std::u16string()));
    EXPECT_FALSE(fs::exists(dir_ / "DeviceLink.ini"));

    k.host = u"10.0.0.7";
    hr = ConfigDriven(k, [&](QWidget& dialog) {
        EXPECT_EQ(dialog.windowTitle().toStdU16String(), u"Kelvo Config v" + k.version);
        EXPECT_EQ(Find<QLineEdit>(dialog, 210)->text(), "10.0.0.7");
        EXPECT_FALSE(Find<QComboBox>(dialog, 201)->isEnabled());
        EXPECT_EQ(Find<QLineEdit>(dialog, 211)->echoMode(), QLineEdit::Password);
        Save(dialog, "config-tcp.png");
        Find<QLineEdit>(dialog, 210)->setText("not taken on the serial page");
        Find<QLineEdit>(dialog, 212)->setText("2500");

        Find<QRadioButton>(dialog, 205)->click();
        EXPECT_FALSE(Find<QLineEdit>(dialog, 210)->isEnabled());
        EXPECT_EQ(Find<QLineEdit>(dialog, 207)->text(), "2500");
        QComboBox* ports = Find<QComboBox>(dialog, 201);
        const int com42 = ports->findText("COM42");
        ASSERT_GE(com42, 0);
        ports->setCurrentIndex(com42);
        Find<QLineEdit>(dialog, 208)->setText("300");
        Find<QLineEdit>(dialog, 209)->setText("op");
        Find<QLineEdit>(dialog, 211)->setText("secret");
        Save(dialog, "config-serial.png");
        Find<QPushButton>(dialog, 1)->click();
    });

    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(std::tuple(k.serialMode, k.tcpMode, k.port, k.timeOut, k.canNode),
              std::tuple(1, 0, 42, 2500, 44));
    EXPECT_EQ(std::tuple(k.userName, k.password, k.sockName.view(), k.host),
              std::tuple(u"op", u"secret", u"op", u"10.0.0.7"));
    EXPECT_EQ(ReadProfileInt((dir_ / "DeviceLink.ini").string(), "Kelvo", "LastPort", 0), 42);
}

} // namespace
} // namespace kelvo::test

#endif
