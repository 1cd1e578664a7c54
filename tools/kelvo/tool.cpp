#include "tool.h"

#include "device/interface_table.h"
#include "device/kelvo_object.h"
#include "kelvo/trace.h"
#include "trace/reader.h"
#include "trace/writer.h"
#include "value_text.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>

namespace kelvo::tool {
namespace {

// Collects the run's trace entries in a private ring and prints them on
// standard error with the viewer's formatting (-v).
class StderrTrace {
public:
    explicit StderrTrace(bool on) {
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
            std::fprintf(stderr, "%s\n", trace::FormatRecord(record).c_str());
    }

private:
    std::unique_ptr<trace::LocalTrace> local_;
};

struct ReleaseObject {
    void operator()(CKelvo* object) const { object->Release(); }
};

std::string Hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

int Usage(const std::string& message) {
    std::fprintf(stderr, "error: %s\n", message.c_str());
    return kExitUsage;
}

void Print(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

} // namespace

void Tool::AddOptions(CLI::App& app) {
    app.add_option("-c,--connection", connection_,
                   "connection text (also $KELVO_CONF), e.g. TCPIP:192.168.1.20/17221,5000")
        ->envname("KELVO_CONF");
    app.add_flag("--json", json_,
                 "print one JSON object: {\"ok\",\"hresult\",\"errorCode\",\"deviceStatus\","
                 "\"result\"}");
    app.add_flag("-v,--verbose", verbose_, "show the trace lines of the call on standard error");
    app.add_flag("--show-secrets", showSecrets_, "show passwords in --wire and -v output");
    app.add_option("--prop", properties_,
                   "NAME=VALUE: put a property before connecting (repeatable), e.g. Address=5, "
                   "TimeOut=2000, EEPROMAccess=0")
        ->allow_extra_args(false);
}

int Tool::Run() {
    if (!operation_.call)
        return Usage("no command");

    // Every --prop is checked and converted before anything else happens.
    VariantList values(properties_.size());
    std::vector<std::u16string> names;
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
    if (operation_.link == Link::Required && connection_.empty())
        return Usage(operation_.what + " needs a connection text (-c or $KELVO_CONF)");

    StderrTrace trace(verbose_);
    std::unique_ptr<CKelvo, ReleaseObject> object(new CKelvo);
    object->AddRef();
    Variant none;
    for (std::size_t i = 0; i < names.size(); ++i) {
        HRESULT hr = CallByName(*object, names[i], DISPATCH_PROPERTYPUT,
                                values.span().subspan(i, 1), nullptr);
        if (FAILED(hr))
            return Report(*object, "put " + Utf16ToUtf8(names[i]), hr, none, {});
    }

    if (operation_.link != Link::None && !connection_.empty()) {
        std::int32_t transportError = 0;
        HRESULT hr = Connect(*object, connection_, transportError);
        if (FAILED(hr)) {
            std::string failure;
            if (hr == KELVO_E_OPEN && transportError != 0)
                failure = "error: cannot open " + connection_ + " (transport error " +
                          std::to_string(transportError) + ")";
            else if (hr == KELVO_E_OPEN && object->errorCode == KE_OK)
                failure = "error: cannot open " + connection_ + " (hresult " + Hex32(hr) + ")";
            return Report(*object, "Init", hr, none, failure);
        }
    }

    Variant result;
    HRESULT hr = operation_.call(*object, &result);
    return Report(*object, operation_.what, hr, result, {});
}

// Prints the result or the JSON object, and the error line of a failure.
int Tool::Report(IKelvo& object, const std::string& what, HRESULT hr, const VARIANT& result,
                 const std::string& failure) {
    SHORT code = 0;
    object.get_ErrorCode(&code);
    LONG status = 0;
    object.get_DeviceStatus(&status);
    const bool ok = SUCCEEDED(hr);
    if (json_) {
        Print(std::string("{\"ok\":") + (ok ? "true" : "false") +
              ",\"hresult\":" + std::to_string(static_cast<std::uint32_t>(hr)) +
              ",\"errorCode\":" + std::to_string(code) + ",\"deviceStatus\":" +
              std::to_string(static_cast<std::uint32_t>(status)) + ",\"result\":" +
              (!ok                     ? std::string("null")
               : operation_.resultJson ? operation_.resultJson(result)
                                       : ResultJson(result)) +
              "}\n");
    } else if (ok) {
        Print(ResultText(result));
    }
    std::fflush(stdout);
    if (ok)
        return kExitOk;

    std::string line = failure;
    if (line.empty() && code != 0) {
        Bstr text;
        object.get_ErrorString(text.out());
        line = "error " + std::to_string(code) + ": " + Utf16ToUtf8(text.view());
        if (code == KE_DEVICE)
            line += ", device " + Hex32(static_cast<std::uint32_t>(status));
    } else if (line.empty()) {
        line = "error: " + what + " failed (hresult " + Hex32(static_cast<std::uint32_t>(hr)) + ")";
    }
    std::fprintf(stderr, "%s\n", line.c_str());
    return kExitFailed;
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
