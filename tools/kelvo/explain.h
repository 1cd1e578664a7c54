// Failure messages that say what went wrong and what to do: why a link did not
// open (in the transport's words), why a login was refused, which command was
// meant, and the JSON object of a run.
#pragma once

#include "kelvo/kelvo.h"
#include "kelvo/portway.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class CKelvo;

namespace CLI {
class App;
class ParseError;
} // namespace CLI

namespace kelvo::tool {

struct ConnectionCheck;

// Puts a class object around the one registered for the transport's ProgID
// that keeps the transport made last, so that the tool can ask it why its
// Open failed after the component has let it go. One per process, for the
// run; the class object before it is put back at the end.
class TransportWatch {
public:
    TransportWatch();
    ~TransportWatch();
    TransportWatch(const TransportWatch&) = delete;
    TransportWatch& operator=(const TransportWatch&) = delete;

    // Why the last transport open failed, in the transport's words; empty
    // when it did not fail or no watched transport was made.
    static std::string LastOpenFailure();
    // The error code of the last failed call of the last transport made
    // (PW_OK when none failed or none was made).
    static PortwayErrorCode LastFailure();
};

// What a failure is told as: "error: MESSAGE" (or "error N: MESSAGE" when
// `code` is not 0), then "hint: HINT" when there is one.
struct Failure {
    int code = 0;
    std::string message;
    std::string hint;
};

// Why Init failed, from its result, the object's error code, the transport and
// the tool's reading of the connection text.
Failure ExplainInit(CKelvo& object, HRESULT hr, const ConnectionCheck& check,
                    std::string_view connection);

// Why an operation failed: the object's error code and its text, or the result.
Failure ExplainOperation(CKelvo& object, const std::string& what, HRESULT hr);

// The nearest of `names` to `typed` (a close spelling or the only name it
// starts); empty when none is near.
std::string NearestName(std::string_view typed, const std::vector<std::string>& names);

// The message of a command-line error; an unknown command names the nearest
// one ("unknown command 'sav'; did you mean 'save'?").
std::string UsageMessage(const CLI::App& app, const CLI::ParseError& error);

// The JSON object of a run: ok, hresult, errorCode, deviceStatus, result (the
// JSON text given, null on failure); on failure also hresultHex,
// deviceStatusHex, message, hint and exitStatus; warnings when there are any.
struct RunReport {
    bool ok = false;
    HRESULT hr = S_OK;
    int errorCode = 0;
    std::uint32_t deviceStatus = 0;
    std::string resultJson = "null";
    std::string message;
    std::string hint;
    int exitStatus = 0;
    std::vector<std::string> warnings;
    bool incomplete = false; // some items of the result failed: "ok" is false, the result stays
};
std::string ReportJson(const RunReport& report);

} // namespace kelvo::tool
