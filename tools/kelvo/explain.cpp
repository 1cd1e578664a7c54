#include "explain.h"

#include "connection_check.h"
#include "device/kelvo_object.h"
#include "kelvo/portway.h"
#include "kelvo/runtime.h"
#include "transport/portway/portway.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>

namespace kelvo::tool {
namespace {

std::string Hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// The class object of the watched transport: makes the transport through the
// class object it stands in for and keeps a reference to the last one made.
class WatchingFactory final : public IClassFactory {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IClassFactory)
            return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }

    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!inner_)
            return CLASS_E_CLASSNOTAVAILABLE;
        HRESULT hr = inner_->CreateInstance(outer, riid, ppv);
        if (FAILED(hr))
            return hr;
        void* made = nullptr;
        if (FAILED(static_cast<IUnknown*>(*ppv)->QueryInterface(IID_IPortway, &made)))
            return hr;
        Keep(static_cast<IPortway*>(made));
        return hr;
    }
    HRESULT LockServer(BOOL) override { return S_OK; }

    // The class object made transports come from (a reference taken over).
    void StandIn(IClassFactory* inner) { inner_ = inner; }
    IClassFactory* inner() const { return inner_; }

    // Takes over one reference (null: lets the last one go). Each thread
    // keeps its own: params opens its devices from several threads, and each
    // asks about the transport it made.
    void Keep(IPortway* transport) {
        if (last_.transport)
            last_.transport->Release();
        last_.transport = transport;
    }

    PortwayErrorCode LastFailure() {
        VARIANT value;
        VariantInit(&value);
        IPortway* last = last_.transport;
        if (!last || FAILED(last->GetProperty(PORTWAY_PROP_LAST_FAILURE, &value)) ||
            value.vt != VT_I4)
            return PW_OK;
        return static_cast<PortwayErrorCode>(value.lVal);
    }

    std::string LastOpenFailure() {
        VARIANT value;
        VariantInit(&value);
        IPortway* last = last_.transport;
        if (!last || FAILED(last->GetProperty(PORTWAY_PROP_OPEN_FAILURE, &value)) ||
            value.vt != VT_BSTR)
            return {};
        std::string text = Utf16ToUtf8(BstrView(value.bstrVal));
        VariantClear(&value);
        return text;
    }

private:
    struct Last {
        IPortway* transport = nullptr;
        ~Last() {
            if (transport)
                transport->Release();
        }
    };
    static thread_local Last last_;
    IClassFactory* inner_ = nullptr;
};

thread_local WatchingFactory::Last WatchingFactory::last_;

WatchingFactory g_watching;

// Levenshtein distance, for names of a few letters.
std::size_t Distance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

Failure Told(int code, std::string message) {
    Failure failure;
    failure.code = code;
    failure.message = std::move(message);
    return failure;
}

std::string ErrorText(CKelvo& object) {
    Bstr text;
    object.get_ErrorString(text.out());
    std::string line = Utf16ToUtf8(text.view());
    if (object.errorCode == KE_DEVICE)
        line += ", device " + Hex32(object.deviceStatus);
    // A read fails at once on a link the device has closed; the component
    // tells that as a time-out.
    if (object.errorCode == KE_TIMEOUT || object.errorCode == KE_SEND)
        line += TransportWatch::LastFailure() == PW_PEER_CLOSED
                    ? " (the device closed the connection)"
                : object.errorCode == KE_TIMEOUT
                    ? " (no answer within " + std::to_string(object.timeOut) + " ms)"
                    : "";
    return line;
}

} // namespace

TransportWatch::TransportWatch() {
    void* inner = nullptr;
    if (FAILED(CoGetClassObject(CLSID_Portway, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                &inner)))
        return;
    g_watching.StandIn(static_cast<IClassFactory*>(inner));
    RegisterLinkedClass(PORTWAY_PROGID, CLSID_Portway, &g_watching);
}

TransportWatch::~TransportWatch() {
    g_watching.Keep(nullptr);
    IClassFactory* inner = g_watching.inner();
    if (!inner)
        return;
    RegisterLinkedClass(PORTWAY_PROGID, CLSID_Portway, inner);
    inner->Release();
    g_watching.StandIn(nullptr);
}

std::string TransportWatch::LastOpenFailure() {
    return g_watching.LastOpenFailure();
}

PortwayErrorCode TransportWatch::LastFailure() {
    return g_watching.LastFailure();
}

Failure ExplainInit(CKelvo& object, HRESULT hr, const ConnectionCheck& check,
                    std::string_view connection) {
    const std::string text(connection);
    if (hr == KELVO_E_CONNECTION_TEXT)
        return Told(0, check.refusal.empty() ? "'" + text + "': the connection text is refused"
                                             : check.refusal);
    if (hr != KELVO_E_OPEN)
        return ExplainOperation(object, "Init", hr);
    if (std::string failure = TransportWatch::LastOpenFailure(); !failure.empty()) {
        Failure told = Told(0, failure);
        if (object.serialMode && (failure.ends_with("no such file or directory") ||
                                  failure.ends_with("not a serial device")))
            told.hint = "COMn is the device that the link comN in $KELVO_DEVICES (else "
                        "~/.config/kelvo/devices, then /etc/kelvo/devices) points to; without a "
                        "link it is /dev/ttyS<n-1>";
        return told;
    }
    const int code = object.errorCode;
    if (code == KE_TRANSPORT_9 || code == KE_TRANSPORT_10)
        return Told(
            0, "cannot open " + text + " (transport error " +
                   std::to_string(code == KE_TRANSPORT_9 ? PW_HOST_NOT_FOUND : PW_CONNECT_FAILED) +
                   ")");
    if (object.userName.empty() || object.password.empty() || code == KE_OK)
        return Told(0, "cannot open " + text + " (hresult " +
                           Hex32(static_cast<std::uint32_t>(hr)) + ")");
    Failure failure =
        Told(code, "login as '" + Utf16ToUtf8(object.userName) +
                       (code == KE_DEVICE ? "' refused: " : "' failed: ") + ErrorText(object));
    if (code == KE_DEVICE && !check.passwordItem.empty() && !LooksScrambled(check.passwordItem))
        failure.hint = "the password item of the connection text is not scrambled: put there "
                       "what `kelvo encrypt PASSWORD` prints, or leave user and password out "
                       "and log in with --user NAME and the password in KELVO_PASSWORD";
    return failure;
}

Failure ExplainOperation(CKelvo& object, const std::string& what, HRESULT hr) {
    if (object.errorCode != KE_OK)
        return Told(object.errorCode, ErrorText(object));
    return Told(0, what + " failed (hresult " + Hex32(static_cast<std::uint32_t>(hr)) + ")");
}

std::string NearestName(std::string_view typed, const std::vector<std::string>& names) {
    std::string best;
    std::size_t bestDistance = typed.size() < 4 ? 1 : 2;
    std::size_t starting = 0;
    std::string start;
    for (const std::string& name : names) {
        const std::size_t d = Distance(typed, name);
        if (d <= bestDistance && (best.empty() || d < bestDistance)) {
            best = name;
            bestDistance = d;
        }
        if (!typed.empty() && name.starts_with(typed)) {
            ++starting;
            start = name;
        }
    }
    if (!best.empty())
        return best;
    return starting == 1 ? start : std::string();
}

std::string UsageMessage(const CLI::App& app, const CLI::ParseError& error) {
    // The deepest command given, and the words left over under it.
    const CLI::App* command = &app;
    std::string path;
    for (;;) {
        const auto given = command->get_subcommands();
        if (given.empty())
            break;
        command = given.front();
        path += command->get_name() + " ";
    }
    // A word no command takes falls through to the application.
    const std::vector<std::string> left = app.remaining(true);
    const auto subcommands = command->get_subcommands([](const CLI::App*) { return true; });
    const bool stray = !left.empty() && !left.front().starts_with('-');
    if (subcommands.empty() || !stray)
        return error.what();
    std::vector<std::string> names;
    for (const CLI::App* sub : subcommands)
        names.push_back(sub->get_name());
    const std::string typed = left.front();
    std::string message = "unknown command '" + path + typed + "'";
    if (const std::string near = NearestName(typed, names); !near.empty())
        return message + "; did you mean '" + path + near + "'?";
    std::string list;
    for (const std::string& name : names)
        list += (list.empty() ? "" : ", ") + name;
    return message + "; the commands" +
           (path.empty() ? "" : " of '" + path.substr(0, path.size() - 1) + "'") + " are: " + list;
}

std::string ReportJson(const RunReport& report) {
    nlohmann::ordered_json object;
    object["ok"] = report.ok && !report.incomplete;
    object["hresult"] = static_cast<std::uint32_t>(report.hr);
    object["errorCode"] = report.errorCode;
    object["deviceStatus"] = report.deviceStatus;
    object["result"] = nullptr;
    if (!report.ok) {
        object["hresultHex"] = Hex32(static_cast<std::uint32_t>(report.hr));
        object["deviceStatusHex"] = Hex32(report.deviceStatus);
        object["message"] = report.message;
        if (!report.hint.empty())
            object["hint"] = report.hint;
        object["exitStatus"] = report.exitStatus;
    }
    if (!report.warnings.empty())
        object["warnings"] = report.warnings;
    // The result goes in as the JSON text it is, so its numbers keep their form.
    std::string text = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    constexpr std::string_view kResult = "\"result\":null";
    if (report.ok)
        text.replace(text.find(kResult), kResult.size(), "\"result\":" + report.resultJson);
    return text + "\n";
}

} // namespace kelvo::tool
