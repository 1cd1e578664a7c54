// Connection text, password scrambling and push data: conf, encrypt, decrypt,
// push cmd, push read.
#include "commands.h"
#include "connection_check.h"
#include "value_text.h"

#include <CLI/CLI.hpp>

#include <cstring>
#include <memory>

namespace kelvo::tool {
namespace {

// The status a time-out of push read reports (the platform's "timeout period
// expired"); the operation itself answers a success-class 7 then.
constexpr HRESULT kTimedOut = static_cast<HRESULT>(0x800705B4);
constexpr HRESULT kPushReadTimeout = 7;

constexpr unsigned kMaxPushRead = 65535;

HRESULT TextResult(BSTR text, VARIANT* result) {
    result->vt = VT_BSTR;
    result->bstrVal = text;
    return S_OK;
}

// Calls a text-to-text operation of the object.
void AddTextCommand(CLI::App& app, Tool& tool, const char* name, const char* help, const char* what,
                    HRESULT (IKelvo::*method)(BSTR, BSTR*)) {
    auto text = std::make_shared<std::string>();
    CLI::App* command = app.add_subcommand(name, help);
    command->add_option("TEXT", *text, "the text")->required();
    command->callback([&tool, text, what, method] {
        tool.Set({what, Link::None, [text, method](IKelvo& object, VARIANT* result) {
                      Bstr in(Utf8ToUtf16(*text));
                      BSTR out = nullptr;
                      HRESULT hr = (object.*method)(in.get(), &out);
                      if (FAILED(hr))
                          return hr;
                      return TextResult(out, result);
                  }});
    });
}

// conf: the connection text as the object builds it after parsing -c.
void AddConfCommand(CLI::App& app, Tool& tool) {
    CLI::Option* connection = app.get_option("-c");
    app.add_subcommand("conf", "print the connection text the component makes of -c (no device)")
        ->callback([&tool, connection] {
            const std::string text = connection->empty() ? "" : connection->as<std::string>();
            WarnConfString(tool, text);
            tool.Set({"ConfString", Link::None, [text](IKelvo& object, VARIANT* result) {
                          Bstr in(Utf8ToUtf16(text));
                          HRESULT hr = object.put_ConfString(in.get());
                          if (FAILED(hr))
                              return hr;
                          BSTR out = nullptr;
                          hr = object.get_ConfString(&out);
                          if (FAILED(hr))
                              return hr;
                          return TextResult(out, result);
                      }});
        });
}

// A stream command's value: a number goes out as a 32-bit integer; a typed
// value ("ui2:5", "r8:1.5", ...) as its type.
void ValueFromText(const std::string& text, VARIANT* value) {
    std::string error;
    const VARTYPE vt = text.find(':') == std::string::npos ? VT_I4 : VT_VARIANT;
    if (!ArgumentFromText(text, vt, value, error))
        throw CLI::ValidationError("VALUE", text + ": " + error);
}

struct PushArgs {
    unsigned stream = 0;
    std::uint32_t command = 0;
    std::string value;
    unsigned bytes = 0;
    std::vector<std::uint32_t> start;
};

Operation MakePushCommand(const PushArgs& args) {
    auto value = std::make_shared<Variant>();
    if (!args.value.empty())
        ValueFromText(args.value, value.get());
    const BYTE stream = static_cast<BYTE>(args.stream);
    const ULONG command = args.command;
    return {"PushDataCommand", Link::Required,
            [stream, command, value](IKelvo& object, VARIANT* result) {
                LONG answer = 0;
                HRESULT hr = object.PushDataCommand(stream, command, *value, &answer);
                if (FAILED(hr))
                    return hr;
                result->vt = VT_I4;
                result->lVal = answer;
                return S_OK;
            }};
}

// Reads BYTES streamed bytes; with --start the stream command goes out first,
// on the same connection (connecting stops a stream that already runs).
Operation MakePushRead(const PushArgs& args) {
    const ULONG size = args.bytes;
    const bool start = args.start.size() == 2;
    if (start && args.start[0] > 255)
        throw CLI::ValidationError("--start", "the stream is 0 to 255");
    const BYTE stream = start ? static_cast<BYTE>(args.start[0]) : 0;
    const ULONG command = start ? args.start[1] : 0;
    return {"ReadPushData", Link::Required,
            [size, start, stream, command](IKelvo& object, VARIANT* result) {
                if (start) {
                    Variant none;
                    LONG answer = 0;
                    HRESULT hr = object.PushDataCommand(stream, command, none, &answer);
                    if (FAILED(hr))
                        return hr;
                }
                std::vector<BYTE> buffer(size);
                USHORT length = 0;
                HRESULT hr = object.ReadPushData(buffer.data(), size, &length);
                if (hr == kPushReadTimeout)
                    return kTimedOut;
                if (FAILED(hr))
                    return hr;
                SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, length);
                void* data = nullptr;
                if (!bytes || FAILED(SafeArrayAccessData(bytes, &data))) {
                    SafeArrayDestroy(bytes);
                    return E_OUTOFMEMORY;
                }
                std::memcpy(data, buffer.data(), length);
                SafeArrayUnaccessData(bytes);
                result->vt = VT_ARRAY | VT_UI1;
                result->parray = bytes;
                return S_OK;
            }};
}

void AddPushCommands(CLI::App& app, Tool& tool) {
    auto args = std::make_shared<PushArgs>();
    CLI::App* push = app.add_subcommand("push", "push-data streams");
    push->require_subcommand(1);

    CLI::App* cmd = push->add_subcommand(
        "cmd", "send a stream command (1 stops the stream; stream 0, command 1 stops every "
               "stream) and print the device's result (0 on a serial link, which does not answer)");
    cmd->add_option("STREAM", args->stream, "stream, 0 to 255")
        ->required()
        ->check(CLI::Range(0u, 255u));
    cmd->add_option("CMD", args->command, "stream command")->required();
    cmd->add_option("VALUE", args->value,
                    "16-bit value sent with the command: a number, or a typed value such as "
                    "ui2:5 (only 16/32-bit integers other than 0 and 17223 go out)");
    cmd->callback([&tool, args] { tool.Set(MakePushCommand(*args)); });

    CLI::App* read = push->add_subcommand(
        "read", "read BYTES streamed bytes from a serial link and print them in hex (a time-out "
                "fails with hresult 0x800705B4)");
    read->add_option("BYTES", args->bytes, "number of bytes, 1 to 65535")
        ->required()
        ->check(CLI::Range(1u, kMaxPushRead));
    read->add_option("--start", args->start,
                     "STREAM,CMD: send this stream command first, on the same connection")
        ->expected(2)
        ->delimiter(',');
    read->callback([&tool, args] { tool.Set(MakePushRead(*args)); });
}

} // namespace

void AddSessionCommands(CLI::App& app, Tool& tool) {
    AddConfCommand(app, tool);
    AddTextCommand(app, tool, "encrypt", "scramble a password into hex digits (no device)",
                   "EncryptPassword", &IKelvo::EncryptPassword);
    AddTextCommand(app, tool, "decrypt", "unscramble a scrambled password (no device)",
                   "DecryptPassword", &IKelvo::DecryptPassword);
    AddPushCommands(app, tool);
}

} // namespace kelvo::tool
