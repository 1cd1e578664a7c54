// Parameter access: par get, par set and the typed par dword|float|int|word.
#include "commands.h"
#include "multi_device.h"
#include "param_set.h"
#include "value_text.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <type_traits>

namespace kelvo::tool {
namespace {

struct ParArgs {
    bool ram = false;
    std::vector<std::string> values;
    std::string file;
};

struct ParameterRef {
    LONG ipa = 0;
    LONG subI = 0;
    SHORT type = VT_EMPTY;
};

constexpr struct {
    const char* name;
    VARTYPE type;
} kTypeNames[] = {
    {"i1", VT_I1}, {"u1", VT_UI1}, {"i2", VT_I2},    {"u2", VT_UI2},
    {"i4", VT_I4}, {"u4", VT_UI4}, {"r4", VT_R4},    {"r8", VT_R8},
    {"i8", VT_I8}, {"u8", VT_UI8}, {"str", VT_BSTR}, {"auto", VT_EMPTY},
};

// A 32-bit number in decimal or 0x-hex; a usage error otherwise.
LONG Number(const std::string& text, const char* what) {
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || errno != 0 || value < INT32_MIN || value > INT32_MAX)
        throw CLI::ValidationError(what, "\"" + text + "\" is no 32-bit number");
    return static_cast<LONG>(value);
}

// A type by name or by its number.
SHORT Type(const std::string& text) {
    for (const auto& entry : kTypeNames) {
        if (text == entry.name)
            return static_cast<SHORT>(entry.type);
    }
    const LONG number = Number(text, "TYPE");
    if (number < INT16_MIN || number > INT16_MAX)
        throw CLI::ValidationError("TYPE", text + " is out of range");
    return static_cast<SHORT>(number);
}

ParameterRef ParameterAt(const std::string& ipa, const std::string& sub, const std::string* type) {
    return {Number(ipa, "IPA"), Number(sub, "SUB"), type ? Type(*type) : SHORT{VT_EMPTY}};
}

struct GetList {
    std::vector<ParameterRef> parameters;
    std::vector<std::string> labels;     // "0x1004/0" of each, for error lines
    std::vector<std::string> fileErrors; // bad lines of --file, reported at the run
};

// `par get` takes IPA SUB [TYPE], or any number of IPA SUB TYPE triples, and
// the parameters of --file: a list or set as params reads it, or lines
// "IPA SUB [TYPE]". Bad lines of the file are reported and left out.
GetList ReadGetList(const ParArgs& args) {
    GetList list;
    const auto& v = args.values;
    if (v.size() == 2 || v.size() == 3) {
        list.parameters.push_back(ParameterAt(v[0], v[1], v.size() == 3 ? &v[2] : nullptr));
    } else if (!v.empty()) {
        if (v.size() % 3 != 0)
            throw CLI::ValidationError("IPA SUB TYPE",
                                       "one IPA SUB [TYPE], or IPA SUB TYPE triples expected");
        for (std::size_t i = 0; i < v.size(); i += 3)
            list.parameters.push_back(ParameterAt(v[i], v[i + 1], &v[i + 2]));
    }
    for (const ParameterRef& p : list.parameters) {
        ParamEntry entry;
        entry.ipa = p.ipa;
        entry.sub = p.subI;
        list.labels.push_back(ParamLabel(entry));
    }
    if (!args.file.empty()) {
        ParamFile file = ReadParamFile(args.file);
        if (file.entries.empty() && !file.errors.empty())
            throw CLI::ValidationError("--file", file.errors.front());
        for (const ParamEntry& e : file.entries) {
            list.parameters.push_back({e.ipa, e.sub, static_cast<SHORT>(e.type)});
            list.labels.push_back(ParamLabel(e));
        }
        list.fileErrors = std::move(file.errors);
    }
    if (list.parameters.empty())
        throw CLI::RequiredError("IPA SUB [TYPE] or --file");
    return list;
}

// Puts EEPROMAccess false for --ram before the call.
HRESULT SelectMemory(IKelvo& object, bool ram) {
    return ram ? object.put_EEPROMAccess(VARIANT_FALSE) : S_OK;
}

Operation MakeGet(const ParArgs& args) {
    auto list = std::make_shared<GetList>(ReadGetList(args));
    auto incomplete = std::make_shared<bool>(false);
    const bool ram = args.ram;
    Operation get{
        "get_Par", Link::Required, [list, ram, incomplete](IKelvo& object, VARIANT* result) {
            for (const std::string& e : list->fileErrors)
                std::fprintf(stderr, "error: %s\n", e.c_str());
            *incomplete = !list->fileErrors.empty();
            if (HRESULT hr = SelectMemory(object, ram); FAILED(hr))
                return hr;
            const auto& parameters = list->parameters;
            if (parameters.size() == 1 && list->fileErrors.empty()) {
                const ParameterRef& p = parameters.front();
                return object.get_Par(p.ipa, p.subI, p.type, result);
            }
            // Several: one line each, in the order asked; a failed one is an
            // empty line, its error on standard error, and the rest goes on.
            SAFEARRAY* values =
                SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(parameters.size()));
            if (!values)
                return E_OUTOFMEMORY;
            for (std::size_t i = 0; i < parameters.size(); ++i) {
                const ParameterRef& p = parameters[i];
                Variant value;
                const HRESULT hr = object.get_Par(p.ipa, p.subI, p.type, &value);
                if (FAILED(hr)) {
                    std::fprintf(stderr, "%s: %s\n", list->labels[i].c_str(),
                                 ErrorLine(object, hr, "get_Par").c_str());
                    *incomplete = true;
                    VariantClear(&value);
                }
                const LONG index = static_cast<LONG>(i);
                SafeArrayPutElement(values, &index, &value);
            }
            result->vt = VT_ARRAY | VT_VARIANT;
            result->parray = values;
            return S_OK;
        }};
    get.incomplete = incomplete;
    return get;
}

Operation MakeSet(const ParArgs& args) {
    if (args.values.size() != 4)
        throw CLI::ValidationError("IPA SUB TYPE VALUE", "four arguments expected");
    const ParameterRef p = ParameterAt(args.values[0], args.values[1], &args.values[2]);
    // A numeric type takes the value as a number of that type (0x-hex allowed);
    // str and auto take the text, auto also a type prefix such as i4:5.
    auto value = std::make_shared<VariantList>(1);
    const VARTYPE vt = p.type == VT_EMPTY ? VARTYPE{VT_VARIANT} : static_cast<VARTYPE>(p.type);
    std::string error;
    if (!ArgumentFromText(args.values[3], vt, value->data(), error))
        throw CLI::ValidationError("VALUE", error);
    const bool ram = args.ram;
    return {"put_Par", Link::Required, [p, value, ram](IKelvo& object, VARIANT*) {
                if (HRESULT hr = SelectMemory(object, ram); FAILED(hr))
                    return hr;
                return object.put_Par(p.ipa, p.subI, p.type, value->data()[0]);
            }};
}

// par dword|float|int|word IPA SUB [VALUE]: the typed properties.
template <class T>
Operation MakeTyped(const ParArgs& args, const char* name, HRESULT (IKelvo::*get)(LONG, LONG, T*),
                    HRESULT (IKelvo::*put)(LONG, LONG, T), VARTYPE resultType) {
    if (args.values.size() != 2 && args.values.size() != 3)
        throw CLI::ValidationError("IPA SUB [VALUE]", "two or three arguments expected");
    const ParameterRef p = ParameterAt(args.values[0], args.values[1], nullptr);
    const bool ram = args.ram;
    if (args.values.size() == 2) {
        return {std::string("get_") + name, Link::Required,
                [p, ram, get, resultType](IKelvo& object, VARIANT* result) {
                    if (HRESULT hr = SelectMemory(object, ram); FAILED(hr))
                        return hr;
                    T value{};
                    const HRESULT hr = (object.*get)(p.ipa, p.subI, &value);
                    result->vt = resultType;
                    if constexpr (std::is_same_v<T, float>)
                        result->fltVal = value;
                    else if constexpr (std::is_same_v<T, SHORT>)
                        result->iVal = value;
                    else
                        result->ulVal = static_cast<ULONG>(value);
                    return hr;
                }};
    }
    // The 32-bit setters take signed and unsigned text alike (-1 or 4294967295).
    Variant converted;
    std::string error;
    const VARTYPE argType = std::is_same_v<T, float>   ? VT_R4
                            : std::is_same_v<T, SHORT> ? VT_I2
                                                       : VT_I8;
    if (!ArgumentFromText(args.values[2], argType, &converted, error))
        throw CLI::ValidationError("VALUE", error);
    T value{};
    if constexpr (std::is_same_v<T, float>) {
        value = converted.fltVal;
    } else if constexpr (std::is_same_v<T, SHORT>) {
        value = converted.iVal;
    } else {
        if (converted.llVal < INT32_MIN || converted.llVal > UINT32_MAX)
            throw CLI::ValidationError("VALUE", args.values[2] + " does not fit 32 bits");
        value = static_cast<LONG>(static_cast<std::uint32_t>(converted.llVal));
    }
    return {std::string("put_") + name, Link::Required,
            [p, ram, put, value](IKelvo& object, VARIANT*) {
                if (HRESULT hr = SelectMemory(object, ram); FAILED(hr))
                    return hr;
                return (object.*put)(p.ipa, p.subI, value);
            }};
}

CLI::App* Sub(CLI::App& par, const char* name, const char* help, ParArgs& args,
              const char* positional) {
    CLI::App* sub = par.add_subcommand(name, help);
    sub->add_option(positional, args.values, "numbers in decimal or 0x-hex");
    return sub;
}

} // namespace

void AddParameterCommands(CLI::App& app, Tool& tool) {
    auto args = std::make_shared<ParArgs>();
    CLI::App* par = app.add_subcommand("par", "read and write device parameters");
    par->require_subcommand(1);
    par->fallthrough();
    par->add_flag("--ram", args->ram, "access the working (RAM) values: EEPROMAccess false");
    par->footer("TYPE is a number or one of i1 u1 i2 u2 i4 u4 r4 r8 i8 u8 str auto (auto: "
                "taken from the value length on get, from the value on set).\nExamples: kelvo "
                "par get 0x1004 0 i4; kelvo par get 0x1004 0 i4 0x100a 0 str; kelvo par set "
                "0x1004 0 i4 -5; kelvo par --ram word 0x1003 0 7");

    CLI::App* get = Sub(*par, "get", "read parameters: IPA SUB [TYPE], or IPA SUB TYPE triples",
                        *args, "IPA SUB TYPE");
    get->add_option("--file", args->file,
                    "a parameter list (CSV or JSON, as params reads it) or IPA SUB [TYPE] lines, "
                    "read in order");
    get->callback([&tool, args] { tool.Set(MakeGet(*args)); });

    Sub(*par, "set", "write a parameter: IPA SUB TYPE VALUE", *args, "IPA SUB TYPE VALUE")
        ->callback([&tool, args] { tool.Set(MakeSet(*args)); });

    Sub(*par, "dword", "ParDWord: IPA SUB reads, IPA SUB VALUE writes", *args, "IPA SUB VALUE")
        ->callback([&tool, args] {
            tool.Set(MakeTyped<LONG>(*args, "ParDWord", &IKelvo::get_ParDWord,
                                     &IKelvo::put_ParDWord, VT_UI4));
        });
    Sub(*par, "float", "ParFloat: IPA SUB reads, IPA SUB VALUE writes", *args, "IPA SUB VALUE")
        ->callback([&tool, args] {
            tool.Set(MakeTyped<float>(*args, "ParFloat", &IKelvo::get_ParFloat,
                                      &IKelvo::put_ParFloat, VT_R4));
        });
    Sub(*par, "int", "ParInt: IPA SUB reads, IPA SUB VALUE writes", *args, "IPA SUB VALUE")
        ->callback([&tool, args] {
            tool.Set(
                MakeTyped<SHORT>(*args, "ParInt", &IKelvo::get_ParInt, &IKelvo::put_ParInt, VT_I2));
        });
    Sub(*par, "word", "ParWord: IPA SUB reads, IPA SUB VALUE writes", *args, "IPA SUB VALUE")
        ->callback([&tool, args] {
            tool.Set(MakeTyped<LONG>(*args, "ParWord", &IKelvo::get_ParWord, &IKelvo::put_ParWord,
                                     VT_I4));
        });
}

} // namespace kelvo::tool
