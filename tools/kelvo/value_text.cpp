#include "value_text.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

namespace kelvo::tool {
namespace {

struct TypeEntry {
    VARTYPE vt;
    const char* name;
    const char* prefix; // for VARIANT arguments; null when not offered
};

constexpr TypeEntry kTypes[] = {
    {VT_I1, "char", "i1"},
    {VT_UI1, "byte", "ui1"},
    {VT_I2, "short", "i2"},
    {VT_UI2, "unsigned short", "ui2"},
    {VT_I4, "long", "i4"},
    {VT_UI4, "unsigned long", "ui4"},
    {VT_I8, "long long", "i8"},
    {VT_UI8, "unsigned long long", "ui8"},
    {VT_R4, "float", "r4"},
    {VT_R8, "double", "r8"},
    {VT_BOOL, "bool", "bool"},
    {VT_BSTR, "text", "str"},
    {VT_ARRAY | VT_UI1, "bytes", "hex"},
    {VT_VARIANT, "variant", nullptr},
    {VT_INT, "int", nullptr},
    {VT_UINT, "unsigned int", nullptr},
};

bool SameNoCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        auto lower = [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        };
        return lower(x) == lower(y);
    });
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool BytesFromHex(std::string_view text, VARIANT* out, std::string& error) {
    if (text.size() % 2 != 0) {
        error = "'" + std::string(text) + "' is not an even number of hex digits";
        return false;
    }
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int high = HexDigit(text[i]);
        int low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0) {
            error = "'" + std::string(text) + "' is not hex data";
            return false;
        }
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
    if (!array) {
        error = "out of memory";
        return false;
    }
    void* data = nullptr;
    if (!bytes.empty() && SUCCEEDED(SafeArrayAccessData(array, &data))) {
        std::memcpy(data, bytes.data(), bytes.size());
        SafeArrayUnaccessData(array);
    }
    out->vt = VT_ARRAY | VT_UI1;
    out->parray = array;
    return true;
}

// "0x1F" read as an unsigned 64-bit number; false when the text has another form.
bool HexNumber(std::string_view text, std::uint64_t& value) {
    if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X'))
        return false;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data() + 2, end, value, 16);
    return ec == std::errc() && ptr == end;
}

bool ScalarFromText(std::string_view text, VARTYPE vt, VARIANT* out, std::string& error) {
    Variant source;
    std::uint64_t hex = 0;
    if (HexNumber(text, hex)) {
        source.vt = VT_UI8;
        source.ullVal = hex;
    } else {
        source.vt = VT_BSTR;
        source.bstrVal = Bstr(Utf8ToUtf16(text)).release();
    }
    HRESULT hr = VariantChangeType(out, &source, 0, vt);
    if (SUCCEEDED(hr))
        return true;
    if (hr == DISP_E_OVERFLOW)
        error = "'" + std::string(text) + "' is out of range for " + TypeName(vt);
    else
        error = "'" + std::string(text) + "' is not a " + TypeName(vt);
    return false;
}

bool VariantFromText(std::string_view text, VARIANT* out, std::string& error) {
    std::size_t colon = text.find(':');
    if (colon != std::string_view::npos) {
        std::string_view prefix = text.substr(0, colon);
        for (const TypeEntry& type : kTypes) {
            if (type.prefix && SameNoCase(prefix, type.prefix))
                return ArgumentFromText(text.substr(colon + 1), type.vt, out, error);
        }
    }
    out->vt = VT_BSTR;
    out->bstrVal = Bstr(Utf8ToUtf16(text)).release();
    return true;
}

const VARIANT& Unwrapped(const VARIANT& value) {
    if (value.vt == (VT_BYREF | VT_VARIANT) && value.pvarVal)
        return *value.pvarVal;
    return value;
}

// Calls f with each element of an array variant as a shallow VARIANT (not to
// be cleared), or with the whole byte span for a byte array.
template <class Element, class Bytes>
void ForEachElement(const VARIANT& value, Element element, Bytes bytes) {
    SAFEARRAY* array =
        (value.vt & VT_BYREF) ? *static_cast<SAFEARRAY**>(value.byref) : value.parray;
    const VARTYPE type = value.vt & VT_TYPEMASK;
    if (!array) {
        if (type == VT_UI1)
            bytes(std::span<const std::uint8_t>());
        return;
    }
    std::size_t count = SafeArrayGetDim(array) == 0 ? 0 : 1;
    for (UINT dim = 1; dim <= SafeArrayGetDim(array); ++dim) {
        LONG low = 0;
        LONG high = -1;
        SafeArrayGetLBound(array, dim, &low);
        SafeArrayGetUBound(array, dim, &high);
        count *= high >= low ? static_cast<std::size_t>(high - low + 1) : 0;
    }
    void* data = nullptr;
    if (count > 0 && FAILED(SafeArrayAccessData(array, &data)))
        return;
    const auto* base = static_cast<const std::uint8_t*>(data);
    const std::size_t size = SafeArrayGetElemsize(array);
    if (type == VT_UI1) {
        bytes(std::span<const std::uint8_t>(base, count));
    } else {
        for (std::size_t i = 0; i < count; ++i) {
            VARIANT item;
            VariantInit(&item);
            if (type == VT_VARIANT) {
                std::memcpy(&item, base + i * size, sizeof item);
            } else {
                item.vt = type;
                std::memcpy(&item.llVal, base + i * size, std::min<std::size_t>(size, 8));
            }
            element(item);
        }
    }
    if (data)
        SafeArrayUnaccessData(array);
}

// Plain text of a scalar; false when the type has no text form.
bool ScalarText(const VARIANT& value, std::string& text) {
    if (value.vt == VT_BSTR) {
        text = Utf16ToUtf8(BstrView(value.bstrVal));
        return true;
    }
    Variant converted;
    if (FAILED(VariantChangeType(&converted, &value, 0, VT_BSTR)))
        return false;
    text = Utf16ToUtf8(BstrView(converted.bstrVal));
    return true;
}

std::string ScalarLine(const VARIANT& value) {
    std::string text;
    if (!ScalarText(value, text))
        text = "(" + TypeName(value.vt) + ")";
    if (text.empty() || text.back() != '\n')
        text += '\n';
    return text;
}

nlohmann::ordered_json ScalarJson(const VARIANT& value) {
    switch (value.vt) {
    case VT_BSTR:
        return Utf16ToUtf8(BstrView(value.bstrVal));
    case VT_I1:
        return static_cast<int>(static_cast<signed char>(value.cVal));
    case VT_UI1:
        return static_cast<unsigned>(value.bVal);
    case VT_I2:
    case VT_BOOL:
        return value.iVal;
    case VT_UI2:
        return value.uiVal;
    case VT_I4:
    case VT_INT:
        return value.lVal;
    case VT_UI4:
    case VT_UINT:
        return value.ulVal;
    case VT_I8:
        return value.llVal;
    case VT_UI8:
        return value.ullVal;
    case VT_R4:
        // The float's shortest text read as a double, so 0.1f stays 0.1.
        return std::isfinite(value.fltVal) ? nlohmann::ordered_json(FloatAsDouble(value.fltVal))
                                           : nlohmann::ordered_json();
    case VT_R8:
        return std::isfinite(value.dblVal) ? nlohmann::ordered_json(value.dblVal)
                                           : nlohmann::ordered_json();
    default:
        return nullptr;
    }
}

} // namespace

std::string VariantPrefixes() {
    std::string list;
    for (const TypeEntry& type : kTypes) {
        if (!type.prefix)
            continue;
        if (!list.empty())
            list += ' ';
        list += type.prefix;
    }
    return list;
}

bool ArgumentFromText(std::string_view text, VARTYPE vt, VARIANT* out, std::string& error) {
    VariantInit(out);
    if (vt & VT_BYREF) {
        error = "a " + TypeName(vt & ~VT_BYREF) + " buffer cannot be given on the command line";
        return false;
    }
    if (vt == (VT_ARRAY | VT_UI1))
        return BytesFromHex(text, out, error);
    if (vt & VT_ARRAY) {
        error = "arrays of " + TypeName(vt & VT_TYPEMASK) + " cannot be given on the command line";
        return false;
    }
    if (vt == VT_VARIANT)
        return VariantFromText(text, out, error);
    if (vt == VT_BSTR) {
        out->vt = VT_BSTR;
        out->bstrVal = Bstr(Utf8ToUtf16(text)).release();
        return true;
    }
    return ScalarFromText(text, vt, out, error);
}

std::string TypeName(VARTYPE vt) {
    for (const TypeEntry& type : kTypes) {
        if (type.vt == vt)
            return type.name;
    }
    if (vt & VT_BYREF)
        return TypeName(vt & ~VT_BYREF) + " pointer";
    if (vt & VT_ARRAY)
        return TypeName(vt & ~VT_ARRAY) + " array";
    return "type " + std::to_string(vt);
}

std::string ResultText(const VARIANT& result) {
    const VARIANT& value = Unwrapped(result);
    if (value.vt == VT_EMPTY)
        return {};
    if (!(value.vt & VT_ARRAY))
        return ScalarLine(value);
    std::string text;
    ForEachElement(
        value, [&](const VARIANT& item) { text += ScalarLine(item); },
        [&](std::span<const std::uint8_t> bytes) { text = HexBytes(bytes) + '\n'; });
    return text;
}

nlohmann::ordered_json ResultJsonValue(const VARIANT& result) {
    const VARIANT& value = Unwrapped(result);
    if (value.vt == VT_EMPTY)
        return nullptr;
    if (!(value.vt & VT_ARRAY))
        return ScalarJson(value);
    nlohmann::ordered_json json = nlohmann::ordered_json::array();
    ForEachElement(
        value, [&](const VARIANT& item) { json.push_back(ScalarJson(item)); },
        [&](std::span<const std::uint8_t> data) { json = HexBytes(data); });
    return json;
}

std::string ResultJson(const VARIANT& result) {
    return JsonText(ResultJsonValue(result));
}

std::string JsonString(std::string_view utf8) {
    return JsonText(std::string(utf8));
}

std::string JsonText(const nlohmann::ordered_json& value) {
    return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

double FloatAsDouble(float value) {
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    double wide = value;
    if (ec == std::errc())
        std::from_chars(text, end, wide);
    return wide;
}

std::string HexBytes(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
}

VariantList::VariantList(std::size_t count)
    : items_(std::make_unique<VARIANT[]>(count)), count_(count) {
    for (std::size_t i = 0; i < count_; ++i)
        VariantInit(&items_[i]);
}

VariantList::~VariantList() {
    for (std::size_t i = 0; i < count_; ++i)
        VariantClear(&items_[i]);
}

} // namespace kelvo::tool
