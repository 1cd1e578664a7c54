// CDlgConfig: the connection settings dialog. It edits its own copies of the
// connection fields of a Kelvo object; Config fills them, runs the dialog and
// copies them back unless the dialog was cancelled. The behaviour (pages,
// checks, messages, serial port list) lives here; a window plugin only shows
// the control state and reports clicks.
#pragma once

#include "ui/dialog_model.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>

class CKelvo;

// Control identifiers of the dialog.
enum DlgConfigControl : int {
    IDC_OK = 1,
    IDC_CANCEL = 2,
    IDC_PORT = 201,            // serial port list
    IDC_TCPIP = 204,           // radio button "TCP/IP communication"
    IDC_SERIAL = 205,          // radio button "Serial communication"
    IDC_SERIAL_TIMEOUT = 207,  // serial "Timeout (ms)"
    IDC_SERIAL_CAN = 208,      // serial "CAN address"
    IDC_USER = 209,            // "User"
    IDC_HOST = 210,            // "IP or hostname"
    IDC_PASSWORD = 211,        // "Password"
    IDC_TCP_TIMEOUT = 212,     // TCP/IP "Timeout (ms)"
    IDC_CONNECT_TIMEOUT = 213, // "Connection timeout"
    IDC_SSL = 214,             // check box "Use SSL protocol"
    IDC_TCP_CAN = 215,         // TCP/IP "CAN address"
};

class CDlgConfig final : public kelvo::ui::DialogModel {
public:
    // Whether serial port n (COMn) exists; the platform's device query by default.
    using PortQuery = std::function<bool(int n)>;

    CDlgConfig();
    explicit CDlgConfig(PortQuery portExists);

    // ---- The edited fields ----
    std::int32_t port = 1;
    std::int32_t timeOut = 10000;
    std::uint8_t canNode = 0;
    std::uint8_t address = 255;
    std::int32_t sockMode = 0;
    std::u16string sockName;
    std::int32_t tcpMode = 1;
    std::int32_t serialMode = 0;
    std::int32_t sslMode = 0;
    std::int32_t connectTimeout = 5000;
    std::u16string host;
    std::u16string userName;
    std::u16string password;
    std::u16string version;

    void CopyFrom(const CKelvo& k);
    // Every field but version.
    void CopyTo(CKelvo& k) const;

    // ---- DialogModel ----
    std::u16string Title() const override { return title_; }
    kelvo::ui::ControlState* Control(int id) override;
    void InitDialog() override;
    void Command(int id) override;
    bool Ended() const override { return ended_; }
    int Result() const override { return result_; }

    // Shorthands for tests and callers.
    const std::u16string& Text(int id) { return Control(id)->text; }
    void SetText(int id, std::u16string_view text) { Control(id)->text = std::u16string(text); }

private:
    void ShowTcpIpPage();
    void ShowSerialPage();
    void OnOk();
    void End(int result);
    // The shared time-out and CAN address typed on the page being left.
    void KeepSharedValues();

    PortQuery portExists_;
    std::map<int, kelvo::ui::ControlState> controls_;
    std::u16string title_;
    bool ended_ = false;
    int result_ = 0;
};

namespace kelvo::ui {

// A number typed into an edit box, read as unsigned decimal: blanks around
// the digits allowed; anything else, or more than 32 bits, reads as 0.
std::uint32_t ReadUnsigned(std::u16string_view text);

} // namespace kelvo::ui
