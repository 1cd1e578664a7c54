#include "ui/dlg_config.h"

#include "device/kelvo_object.h"
#include "device/messages.h"
#include "ui/serial_ports.h"

#include <string>

using kelvo::ui::ControlState;

namespace kelvo::ui {

std::uint32_t ReadUnsigned(std::u16string_view text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == u' ')
        ++i;
    std::uint64_t value = 0;
    std::size_t digits = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i, ++digits) {
        value = value * 10 + (text[i] - u'0');
        if (value > 0xFFFFFFFFu)
            return 0;
    }
    while (i < text.size() && text[i] == u' ')
        ++i;
    if (digits == 0 || i != text.size())
        return 0;
    return static_cast<std::uint32_t>(value);
}

} // namespace kelvo::ui

namespace {

// Edit boxes give at most this many characters (a 256-character buffer).
constexpr std::size_t kMaxBoxText = 255;

std::u16string Unsigned(std::uint32_t value) {
    const std::string digits = std::to_string(value);
    return std::u16string(digits.begin(), digits.end());
}

std::uint8_t LowByte(std::u16string_view text) {
    return static_cast<std::uint8_t>(kelvo::ui::ReadUnsigned(text) & 0xFF);
}

void ShowError(std::u16string_view text) {
    kelvo::ShowMessageBox(text, u"", kelvo::MB_OK | kelvo::MB_ICONERROR);
}

} // namespace

CDlgConfig::CDlgConfig() : CDlgConfig(kelvo::ui::ComPortExists) {}

CDlgConfig::CDlgConfig(PortQuery portExists) : portExists_(std::move(portExists)) {
    for (int id : {IDC_OK, IDC_CANCEL, IDC_PORT, IDC_TCPIP, IDC_SERIAL, IDC_SERIAL_TIMEOUT,
                   IDC_SERIAL_CAN, IDC_USER, IDC_HOST, IDC_PASSWORD, IDC_TCP_TIMEOUT,
                   IDC_CONNECT_TIMEOUT, IDC_SSL, IDC_TCP_CAN})
        controls_[id];
}

void CDlgConfig::CopyFrom(const CKelvo& k) {
    port = k.port;
    timeOut = k.timeOut;
    canNode = k.canNode;
    address = k.address;
    sockMode = k.sockMode;
    sockName = std::u16string(k.sockName.view());
    tcpMode = k.tcpMode;
    serialMode = k.serialMode;
    sslMode = k.sslMode;
    connectTimeout = k.connectTimeout;
    host = k.host;
    userName = k.userName;
    password = k.password;
    version = k.version;
}

void CDlgConfig::CopyTo(CKelvo& k) const {
    k.port = port;
    k.timeOut = timeOut;
    k.canNode = canNode;
    k.address = address;
    k.sockMode = sockMode;
    k.sockName = kelvo::Bstr(sockName);
    k.tcpMode = tcpMode;
    k.serialMode = serialMode;
    k.sslMode = sslMode;
    k.connectTimeout = connectTimeout;
    k.host = host;
    k.userName = userName;
    k.password = password;
}

ControlState* CDlgConfig::Control(int id) {
    auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : &it->second;
}

void CDlgConfig::InitDialog() {
    if (tcpMode)
        ShowTcpIpPage();
    else if (serialMode)
        ShowSerialPage();
    SetText(IDC_USER, userName);
    SetText(IDC_PASSWORD, password);
    title_ = u"Kelvo Config v" + version;
}

void CDlgConfig::Command(int id) {
    if (ended_)
        return;
    switch (id) {
    case IDC_OK:
        OnOk();
        return;
    case IDC_CANCEL:
        End(kelvo::ui::kResultCancel);
        return;
    case IDC_TCPIP:
        controls_[IDC_TCPIP].checked = true;
        KeepSharedValues();
        tcpMode = 1;
        serialMode = 0;
        ShowTcpIpPage();
        return;
    case IDC_SERIAL:
        controls_[IDC_SERIAL].checked = true;
        KeepSharedValues();
        serialMode = 1;
        tcpMode = 0;
        ShowSerialPage();
        return;
    case IDC_SSL:
        controls_[IDC_SSL].checked = !controls_[IDC_SSL].checked;
        sslMode = !sslMode;
        return;
    }
}

// The time-out and the CAN address are one value each, shown on both pages:
// what was typed on the page being left shows on the other.
void CDlgConfig::KeepSharedValues() {
    if (tcpMode) {
        timeOut = static_cast<std::int32_t>(kelvo::ui::ReadUnsigned(Text(IDC_TCP_TIMEOUT)));
        canNode = LowByte(Text(IDC_TCP_CAN));
        return;
    }
    if (serialMode) {
        timeOut = static_cast<std::int32_t>(kelvo::ui::ReadUnsigned(Text(IDC_SERIAL_TIMEOUT)));
        canNode = LowByte(Text(IDC_SERIAL_CAN));
    }
}

void CDlgConfig::ShowTcpIpPage() {
    controls_[IDC_SERIAL].checked = false;
    for (int id : {IDC_PORT, IDC_SERIAL_TIMEOUT, IDC_SERIAL_CAN})
        controls_[id].enabled = false;
    controls_[IDC_TCPIP].checked = true;

    for (int id : {IDC_HOST, IDC_TCP_TIMEOUT, IDC_CONNECT_TIMEOUT, IDC_TCP_CAN, IDC_SSL})
        controls_[id].enabled = true;
    SetText(IDC_HOST, host);
    SetText(IDC_TCP_TIMEOUT, Unsigned(static_cast<std::uint32_t>(timeOut)));
    SetText(IDC_CONNECT_TIMEOUT, Unsigned(static_cast<std::uint32_t>(connectTimeout)));
    SetText(IDC_TCP_CAN, Unsigned(canNode));
    controls_[IDC_SSL].checked = sslMode != 0;
}

void CDlgConfig::ShowSerialPage() {
    controls_[IDC_TCPIP].checked = false;
    for (int id : {IDC_HOST, IDC_TCP_TIMEOUT, IDC_CONNECT_TIMEOUT, IDC_SSL, IDC_TCP_CAN})
        controls_[id].enabled = false;
    controls_[IDC_SERIAL].checked = true;
    for (int id : {IDC_PORT, IDC_SERIAL_TIMEOUT, IDC_SERIAL_CAN})
        controls_[id].enabled = true;

    ControlState& list = controls_[IDC_PORT];
    list.items.clear();
    list.selection = -1;
    int current = 0;
    for (int n = 1; n <= 256; ++n) {
        if (!portExists_ || !portExists_(n))
            continue;
        if (n == port)
            current = static_cast<int>(list.items.size());
        const std::string name = "COM" + std::to_string(n);
        list.items.push_back({std::u16string(name.begin(), name.end()), n});
    }
    if (!list.items.empty())
        list.selection = current;

    SetText(IDC_SERIAL_TIMEOUT, Unsigned(static_cast<std::uint32_t>(timeOut)));
    SetText(IDC_SERIAL_CAN, Unsigned(canNode));
    if (sockMode)
        SetText(IDC_USER, sockName);
}

void CDlgConfig::OnOk() {
    userName = Text(IDC_USER).substr(0, kMaxBoxText);
    if (userName.empty()) {
        ShowError(u"Invalid User");
        return;
    }
    password = Text(IDC_PASSWORD).substr(0, kMaxBoxText);
    if (password.empty()) {
        ShowError(u"Invalid Password");
        return;
    }
    if (tcpMode) {
        host = Text(IDC_HOST);
        if (host.empty()) {
            ShowError(u"Invalid IP address");
            return;
        }
        timeOut = static_cast<std::int32_t>(kelvo::ui::ReadUnsigned(Text(IDC_TCP_TIMEOUT)));
        connectTimeout =
            static_cast<std::int32_t>(kelvo::ui::ReadUnsigned(Text(IDC_CONNECT_TIMEOUT)));
        canNode = LowByte(Text(IDC_TCP_CAN));
    } else if (serialMode) {
        const ControlState& list = controls_[IDC_PORT];
        if (list.selection >= 0 && list.selection < static_cast<int>(list.items.size()))
            port = list.items[static_cast<std::size_t>(list.selection)].data;
        timeOut = static_cast<std::int32_t>(kelvo::ui::ReadUnsigned(Text(IDC_SERIAL_TIMEOUT)));
        canNode = LowByte(Text(IDC_SERIAL_CAN));
        sockName = userName;
    }
    End(kelvo::ui::kResultOk);
}

void CDlgConfig::End(int result) {
    ended_ = true;
    result_ = result;
}
