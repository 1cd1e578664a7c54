// The frame every command runs in: the global options, one Kelvo object, the
// connection, and the report of the one operation a command asks for.
//
// A command family adds its subcommands in its own source (commands.h); each
// subcommand's callback hands the tool one Operation. Run then puts the --prop
// values, connects when the operation needs the device, calls it and prints the
// result or the error.
#pragma once

#include "kelvo/kelvo.h"
#include "secrets.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class CKelvo;

namespace CLI {
class App;
class ParseError;
} // namespace CLI

namespace kelvo::tool {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Whether an operation talks to the device.
enum class Link {
    None,     // never connects
    Optional, // connects when a connection text is given
    Required, // a connection text is needed
};

class VariantList;

struct Operation {
    std::string what; // the operation's name in messages, e.g. "Save_Command"
    Link link = Link::Required;
    // Calls the operation; a result, if any, goes to `result` (a cleared VARIANT).
    std::function<HRESULT(IKelvo& object, VARIANT* result)> call;
    // The result as JSON for --json, when the plain conversion does not fit.
    std::function<std::string(const VARIANT& result)> resultJson = nullptr;
    // Why the call failed, when the tool can tell more than the result; empty
    // when it cannot.
    std::function<std::string()> failureText = nullptr;
    // Set by the call when some items of the result failed (said on standard
    // error): the result is printed and the exit status is 1.
    std::shared_ptr<bool> incomplete = nullptr;
};

struct Failure;

class Tool {
public:
    // -c, --json, -v, --show-secrets, --prop, and the password sources.
    void AddOptions(CLI::App& app);
    // Called by a subcommand's callback.
    void Set(Operation operation) { operation_ = std::move(operation); }
    // Runs the operation set; returns the exit status.
    int Run();
    // --show-secrets: passwords are shown in --wire and -v output.
    bool ShowSecrets() const { return showSecrets_; }

    // A command line the parser refused: the message (with --json anywhere in
    // argv also the JSON object); the exit status (0 for --help).
    int ParseFailure(const CLI::App& app, const CLI::ParseError& error, int argc,
                     const char* const* argv);

    // "warning: TEXT" on standard error, passwords masked; --json lists it too.
    void Warn(const std::string& text);
    // The text with the run's passwords masked, unless --show-secrets is given.
    std::string Masked(std::string_view text) const;
    Secrets& secrets() { return secrets_; }

    // A command that runs by itself (params, watch, on any number of
    // devices): Run calls it instead of an operation, after checking --prop.
    void SetRunner(std::function<int(Tool& tool)> runner) { runner_ = std::move(runner); }
    // The run goes on until Ctrl-C or SIGTERM, which end it as planned.
    void SetEndsOnSignal(bool ends) { endsOnSignal_ = ends; }
    bool EndsOnSignal() const { return endsOnSignal_; }
    // For a runner: every -c given (or $KELVO_CONF), --json, the warnings so
    // far, and a usage error (exit status 2, with --json the JSON object).
    const std::vector<std::string>& Connections() const { return connections_; }
    bool Json() const { return json_; }
    const std::vector<std::string>& Warnings() const { return warnings_; }
    int Usage(const std::string& message);
    // For a runner, before its devices are opened: the login password of
    // --user, asked now and once; false (after a usage error) without one.
    bool PrepareLogin();
    // For a runner: puts the --prop values and the --user login on a new
    // object and connects it as Run connects the one of an operation; empty
    // on success, else why not (passwords masked). Safe from several threads.
    std::string OpenDevice(CKelvo& object, const std::string& connection);
    // Puts the --prop values on an object; on failure `what` names the put.
    HRESULT PutProperties(IKelvo& object, std::string& what) const;

private:
    int Report(CKelvo& object, const std::string& what, HRESULT hr, const VARIANT& result,
               const Failure* failure);
    // Sets the login of --user on the object; false when no password is found.
    bool PutLogin(CKelvo& object, const std::string& textUser);

    std::string connection_;
    bool json_ = false;
    bool verbose_ = false;
    bool showSecrets_ = false;
    std::vector<std::string> properties_;
    Operation operation_;
    Secrets secrets_;
    std::vector<std::string> warnings_;
    std::vector<std::string> connections_;
    std::function<int(Tool& tool)> runner_;
    bool endsOnSignal_ = false;
    std::vector<std::u16string> propertyNames_;
    std::shared_ptr<VariantList> propertyValues_;
    std::mutex devices_; // OpenDevice: the secrets and the warnings
};

// Calls a member by its dispatch name through IDispatch (GetIDsOfNames and
// Invoke). args are in declaration order; for a put the last one is the value.
HRESULT CallByName(IDispatch& object, std::u16string_view name, WORD flags, std::span<VARIANT> args,
                   VARIANT* result);

// Connects the object with a connection text. Init does it when the component
// provides it; when Init answers E_NOTIMPL the transport part (after "#", or the
// whole text) is opened as given and only the link kind (serial or TCP/IP) is
// taken from it: the device part is not applied. On an open failure
// `transportError` holds the transport's code.
HRESULT Connect(CKelvo& object, std::string_view text, std::int32_t& transportError);

// A new BSTR of UTF-8 text.
BSTR NewText(const std::string& utf8);
// A list result: one text per line, as an array of BSTRs.
HRESULT Lines(const std::vector<std::string>& lines, VARIANT* result);

} // namespace kelvo::tool
