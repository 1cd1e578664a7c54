// Connection life cycle of CKelvo: ConfString, Init, Close, Config.
#include "automation/profile.h"
#include "automation/settings_paths.h"
#include "device/connection_text.h"
#include "device/kelvo_object.h"
#include "kelvo/trace.h"
#include "ui/dlg_config.h"
#include "ui/window_plugin.h"

#include <chrono>
#include <new>
#include <thread>

using namespace kelvo;

namespace {

BSTR NewBstr(std::u16string_view text) {
    return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

// A remembered port replaces the parsed one when remembering is switched on.
void ApplyRememberedPort(CKelvo& k) {
    if (!k.rememberPort || k.port < 1 || k.port > 256)
        return;
    const int remembered = ReadRememberedPort();
    if (remembered != kNoRememberedPort)
        k.port = remembered;
}

} // namespace

HRESULT CKelvo::get_ConfString(BSTR* pVal) {
    if (!pVal)
        return E_POINTER;
    *pVal = NewBstr(BuildDevicePart(*this) + u"#" + BuildTransportText(*this));
    return S_OK;
}

HRESULT CKelvo::put_ConfString(BSTR newVal) {
    port = 1;
    baudRate = 921600;
    canNode = 0;
    address = 255;
    timeOut = 10000;
    connectTimeout = 5000;
    const auto pieces = Tokenize(BstrView(newVal), u"#");
    if (pieces.size() == 1)
        ParseTransportPart(*this, pieces[0]);
    if (pieces.size() >= 2) {
        ParseDevicePart(*this, pieces[0]);
        ParseTransportPart(*this, pieces[1]);
    }
    ApplyRememberedPort(*this);
    return S_OK;
}

HRESULT CKelvo::Init(BSTR fName) {
    if (!fName)
        return KELVO_E_CONNECTION_TEXT;
    portAdapter.reset();
    portAdapter.reset(new (std::nothrow) CComPort);
    if (!portAdapter) {
        active = false;
        return KELVO_E_ADAPTER;
    }

    const auto pieces = Tokenize(BstrView(fName), u"#");
    if (pieces.empty() || pieces.size() > 2)
        return KELVO_E_CONNECTION_TEXT;
    if (pieces.size() == 2 && !ParseDevicePart(*this, pieces[0]))
        return KELVO_E_CONNECTION_TEXT;
    if (!ParseTransportPart(*this, pieces.back()))
        return KELVO_E_CONNECTION_TEXT;
    if (serialMode)
        ApplyRememberedPort(*this);

    PortwayErrorCode error = PW_OK;
    if (!portAdapter->open(BuildTransportText(*this).c_str(), &error)) {
        if (error == PW_HOST_NOT_FOUND)
            errorCode = KE_TRANSPORT_9;
        if (error == PW_CONNECT_FAILED)
            errorCode = KE_TRANSPORT_10;
        portAdapter.reset();
        return KELVO_E_OPEN;
    }

    // Bytes arriving unasked on a serial line are a running push-data stream:
    // stop it before the first request. The probe holds the link lock, so that
    // on a line shared with another process the answer to its request is
    // neither taken away from it nor taken for a stream.
    bool streaming = false;
    if (serialMode) {
        std::uint8_t probe[4];
        PortLock lock(portAdapter.get());
        streaming = lock.locked() && portAdapter->get(probe, 100, 4);
    }
    if (streaming) {
        TraceText(TRACE_READ, u"CKelvo::Init : Wavetrap acquisition on serial port maybe in "
                              u"progress, sending STOP cmd");
        VARIANT none;
        VariantInit(&none);
        LONG result = 0;
        PushDataCommand(0, 1, none, &result);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }

    if (!userName.empty() && !password.empty() && !Login(userName, password, true)) {
        portAdapter.reset();
        return KELVO_E_OPEN;
    }
    active = true;
    return S_OK;
}

HRESULT CKelvo::Close() {
    if (!portAdapter)
        return S_OK;
    Logout();
    portAdapter.reset();
    return S_OK;
}

// The settings dialog edits a copy of the connection fields, taken over on
// any end but Cancel. Without a window the fields stay.
HRESULT CKelvo::Config() {
    CDlgConfig dialog;
    dialog.CopyFrom(*this);
    const int result = ui::RunDialog(dialog);
    if (result == ui::kNoWindow || result == ui::kResultCancel)
        return S_OK;
    dialog.CopyTo(*this);
    if (rememberPort && port >= 1 && port <= 256)
        WriteRememberedPort(port);
    return S_OK;
}

namespace kelvo {
namespace {

// "DeviceLink.ini" in the per-user settings folder; empty without a folder.
std::string RememberedPortFile() {
    const std::string folder = UserSettingsFolder();
    return folder.empty() ? std::string() : folder + "/DeviceLink.ini";
}

} // namespace

int ReadRememberedPort() {
    const std::string file = RememberedPortFile();
    if (file.empty())
        return kNoRememberedPort;
    return ReadProfileInt(file, "Kelvo", "LastPort", kNoRememberedPort);
}

void WriteRememberedPort(int port) {
    const std::string file = RememberedPortFile();
    if (!file.empty())
        WriteProfileString(file, "Kelvo", "LastPort", std::to_string(port));
}

} // namespace kelvo
