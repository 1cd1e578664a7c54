#include "tool.h"

#include "connection_check.h"
#include "device/interface_table.h"
#include "device/kelvo_object.h"
#include "explain.h"
#include "kelvo/trace.h"
#include "stop_signals.h"
#include "trace/reader.h"
#include "trace/writer.h"
#include "value_text.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <memory>
#include <mutex>

namespace kelvo::tool {
namespace {

// Collects the run's trace entries in a private ring and prints them on
// standard error with the viewer's formatting (-v), passwords masked.
class StderrTrace {
public:
    StderrTrace(bool on, const Tool& tool) : tool_(tool) {
        if (on)
            local_ = std::make_unique<trace::LocalTrace>();
    }
    ~StderrTrace() { Print(); }
    StderrTrace(const StderrTrace&) = delete;
    StderrTrace& operator=(const StderrTrace&) = delete;

    void Print() {
        if (!local_)
            return;
        for (const trace::TraceRecord& record : local_->Take())
            std::fprintf(stderr, "%s\n", tool_.Masked(trace::FormatRecord(record)).c_str());
    }

private:
    const Tool& tool_;
    std::unique_ptr<trace::LocalTrace> local_;
};

struct ReleaseObject {
    void operator()(CKelvo* object) const { object->Release(); }
};

void Print(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

} // namespace

void Tool::AddOptions(CLI::App& app) {
    app.add_option("-c,--connection", connections_,
                   "connection text (also $KELVO_CONF), e.g. TCPIP:192.168.1.20/17221,5000; "
                   "params and watch take it repeated, one device each")
        ->envname("KELVO_CONF")
        ->allow_extra_args(false);
    app.add_flag("--json", json_,
                 "print one JSON object for every run, usage errors included: {\"ok\",\"hresult\","
                 "\"errorCode\",\"deviceStatus\",\"result\"}, a failure's also with \"message\"");
    app.add_flag("-v,--verbose", verbose_,
                 "show the trace lines of the call on standard error (passwords as ***)");
    app.add_flag("--show-secrets", showSecrets_,
                 "show passwords in --wire and -v output and in messages");
    secrets_.AddOptions(app);
    secrets_.OnWarning([this](const std::string& text) { Warn(text); });
    app.add_option("--prop", properties_,
                   "NAME=VALUE: put a property before connecting (repeatable), e.g. Address=5, "
                   "TimeOut=2000, EEPROMAccess=0")
        ->allow_extra_args(false);
}

int Tool::Run() {
    if (!operation_.call && !runner_)
        return Usage("no command");

    // Every --prop is checked and converted before anything else happens.
    propertyValues_ = std::make_shared<VariantList>(properties_.size());
    VariantList& values = *propertyValues_;
    std::vector<std::u16string>& names = propertyNames_;
    for (std::size_t i = 0; i < properties_.size(); ++i) {
        const std::string& text = properties_[i];
        const std::size_t equals = text.find('=');
        if (equals == std::string::npos || equals == 0)
            return Usage("--prop " + text + ": NAME=VALUE expected");
        const std::string name = text.substr(0, equals);
        const InterfaceMember* put = FindMember(Utf8ToUtf16(name), MemberKind::Put);
        if (!put)
            return Usage("--prop " + name + ": no property of that name can be put");
        if (put->args.size() != 1)
            return Usage("--prop " + name + ": the property takes an index; use invoke --put");
        std::string error;
        if (!ArgumentFromText(text.substr(equals + 1), put->args[0], &values.data()[i], error))
            return Usage("--prop " + name + ": " + error);
        names.emplace_back(put->name);
    }
    if (runner_) {
        StderrTrace trace(verbose_, *this);
        return runner_(*this);
    }
    if (connections_.size() > 1)
        return Usage("-c is given " + std::to_string(connections_.size()) +
                     " times; only params and watch take several connections");
    connection_ = connections_.empty() ? std::string() : connections_.front();
    if (operation_.link == Link::Required && connection_.empty())
        return Usage(operation_.what + " needs a connection text (-c or $KELVO_CONF)");
    const bool connect = operation_.link != Link::None && !connection_.empty();
    ConnectionCheck check;
    if (connect) {
        check = CheckConnectionText(connection_, TextUse::Init);
        secrets_.AddScrambled(check.passwordItem);
        for (const std::string& warning : check.warnings)
            Warn(warning);
    }

    StderrTrace trace(verbose_, *this);
    std::unique_ptr<CKelvo, ReleaseObject> object(new CKelvo);
    object->AddRef();
    Variant none;
    std::string put;
    if (HRESULT hr = PutProperties(*object, put); FAILED(hr))
        return Report(*object, put, hr, none, nullptr);

    if (connect) {
        if (!secrets_.user().empty() && !PutLogin(*object, check.user))
            return kExitUsage;
        std::int32_t transportError = 0;
        HRESULT hr = Connect(*object, connection_, transportError);
        if (FAILED(hr)) {
            const Failure failure = ExplainInit(*object, hr, check, connection_);
            return Report(*object, "Init", hr, none, &failure);
        }
    }
    if (StopSignal()) // asked to stop while connecting: the operation is not begun
        return kExitFailed;

    Variant result;
    HRESULT hr = operation_.call(*object, &result);
    return Report(*object, operation_.what, hr, result, nullptr);
}

bool Tool::PutLogin(CKelvo& object, const std::string& textUser) {
    if (!textUser.empty()) {
        Warn("--user " + secrets_.user() + " is ignored: the connection text logs in as '" +
             textUser + "'");
        return true;
    }
    std::string password;
    std::string error;
    if (!secrets_.LoginPassword(&password, &error)) {
        Usage(error);
        return false;
    }
    object.userName = Utf8ToUtf16(secrets_.user());
    object.password = Utf8ToUtf16(password);
    return true;
}

// Prints the result or the JSON object, and the error line of a failure.
int Tool::Report(CKelvo& object, const std::string& what, HRESULT hr, const VARIANT& result,
                 const Failure* failure) {
    const bool ok = SUCCEEDED(hr);
    const bool incomplete = ok && operation_.incomplete && *operation_.incomplete;
    Failure told = ok ? Failure{} : failure ? *failure : ExplainOperation(object, what, hr);
    if (!ok && !failure && operation_.failureText) {
        if (std::string text = operation_.failureText(); !text.empty())
            told.message = text;
    }
    const std::string message = Masked(told.message);
    const std::string hint = Masked(told.hint);
    if (json_) {
        RunReport report{ok,   hr,          object.errorCode, object.deviceStatus, "null", message,
                         hint, kExitFailed, warnings_};
        report.incomplete = incomplete;
        if (ok)
            report.resultJson =
                operation_.resultJson ? operation_.resultJson(result) : ResultJson(result);
        Print(ReportJson(report));
    } else if (ok) {
        Print(ResultText(result));
    }
    std::fflush(stdout);
    if (ok)
        return incomplete ? kExitFailed : kExitOk;
    if (told.code != 0)
        std::fprintf(stderr, "error %d: %s\n", told.code, message.c_str());
    else
        std::fprintf(stderr, "error: %s\n", message.c_str());
    if (!hint.empty())
        std::fprintf(stderr, "hint: %s\n", hint.c_str());
    return kExitFailed;
}

int Tool::Usage(const std::string& message) {
    const std::string text = Masked(message);
    std::fprintf(stderr, "error: %s\n", text.c_str());
    if (json_) {
        RunReport report;
        report.hr = E_INVALIDARG;
        report.message = text;
        report.exitStatus = kExitUsage;
        report.warnings = warnings_;
        Print(ReportJson(report));
        std::fflush(stdout);
    }
    return kExitUsage;
}

int Tool::ParseFailure(const CLI::App& app, const CLI::ParseError& error, int argc,
                       const char* const* argv) {
    if (error.get_exit_code() == 0)
        return app.exit(error);
    for (int i = 1; i < argc && std::string_view(argv[i]) != "--"; ++i)
        json_ = json_ || std::string_view(argv[i]) == "--json";
    return Usage(UsageMessage(app, error));
}

void Tool::Warn(const std::string& text) {
    const std::string masked = Masked(text);
    std::fprintf(stderr, "warning: %s\n", masked.c_str());
    warnings_.push_back(masked);
}

std::string Tool::Masked(std::string_view text) const {
    return showSecrets_ ? std::string(text) : secrets_.Mask(text);
}

HRESULT Tool::PutProperties(IKelvo& object, std::string& what) const {
    for (std::size_t i = 0; i < propertyNames_.size(); ++i) {
        const HRESULT hr = CallByName(object, propertyNames_[i], DISPATCH_PROPERTYPUT,
                                      propertyValues_->span().subspan(i, 1), nullptr);
        if (FAILED(hr)) {
            what = "put " + Utf16ToUtf8(propertyNames_[i]);
            return hr;
        }
    }
    return S_OK;
}

bool Tool::PrepareLogin() {
    if (secrets_.user().empty())
        return true;
    std::string password;
    std::string error;
    if (secrets_.LoginPassword(&password, &error))
        return true;
    Usage(error);
    return false;
}

std::string Tool::OpenDevice(CKelvo& object, const std::string& connection) {
    ConnectionCheck check;
    {
        // The secrets, the warnings and the shallow copies of the --prop
        // values that Invoke gets: one device at a time.
        std::lock_guard lock(devices_);
        check = CheckConnectionText(connection, TextUse::Init);
        secrets_.AddScrambled(check.passwordItem);
        for (const std::string& warning : check.warnings)
            Warn(warning);
        std::string put;
        if (HRESULT hr = PutProperties(object, put); FAILED(hr))
            return Masked(ExplainOperation(object, put, hr).message);
        if (!secrets_.user().empty() && !PutLogin(object, check.user))
            return "no password for the login";
    }
    std::int32_t transportError = 0;
    const HRESULT hr = Connect(object, connection, transportError);
    if (SUCCEEDED(hr))
        return {};
    const Failure told = ExplainInit(object, hr, check, connection);
    return Masked((told.code ? "error " + std::to_string(told.code) + ": " : std::string()) +
                  told.message);
}

HRESULT CallByName(IDispatch& object, std::u16string_view name, WORD flags, std::span<VARIANT> args,
                   VARIANT* result) {
    std::u16string text(name);
    LPOLESTR names[] = {text.data()};
    DISPID id = DISPID_UNKNOWN;
    HRESULT hr = object.GetIDsOfNames(GUID_NULL, names, 1, 0, &id);
    if (FAILED(hr))
        return hr;
    // Invoke takes the arguments last to first; the copies are shallow.
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPID putId = DISPID_PROPERTYPUT;
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    if (flags & DISPATCH_PROPERTYPUT) {
        params.rgdispidNamedArgs = &putId;
        params.cNamedArgs = 1;
    }
    UINT argErr = 0;
    return object.Invoke(id, GUID_NULL, 0, flags, &params, result, nullptr, &argErr);
}

HRESULT Connect(CKelvo& object, std::string_view text, std::int32_t& transportError) {
    transportError = 0;
    Bstr conf(Utf8ToUtf16(text));
    const HRESULT hr = object.Init(conf.get());
    if (hr == KELVO_E_OPEN && object.errorCode == KE_TRANSPORT_9)
        transportError = PW_HOST_NOT_FOUND;
    if (hr == KELVO_E_OPEN && object.errorCode == KE_TRANSPORT_10)
        transportError = PW_CONNECT_FAILED;
    return hr;
}

BSTR NewText(const std::string& utf8) {
    const std::u16string text = Utf8ToUtf16(utf8);
    return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

HRESULT Lines(const std::vector<std::string>& lines, VARIANT* result) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(lines.size()));
    if (!array)
        return E_OUTOFMEMORY;
    auto* items = static_cast<BSTR*>(array->pvData);
    for (std::size_t i = 0; i < lines.size(); ++i)
        items[i] = NewText(lines[i]);
    result->vt = VT_ARRAY | VT_BSTR;
    result->parray = array;
    return S_OK;
}

} // namespace kelvo::tool
