// Text on the command line to automation values, and results back to the text
// and JSON the tool prints.
#pragma once

#include "kelvo/automation.h"

#include <nlohmann/json_fwd.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace kelvo::tool {

// Converts an argument given as text to type vt: numbers (decimal, or 0x-hex
// for integers) through VariantChangeType, text as it is, byte arrays from hex
// digits. A VARIANT argument takes the text as text unless it starts with a
// type prefix ("i4:5", "r8:1.5", "bool:true", "hex:0a0b", "str:..."; see
// VariantPrefixes). Buffer pointers are refused. On failure `error` says why.
bool ArgumentFromText(std::string_view text, VARTYPE vt, VARIANT* out, std::string& error);

// The prefixes a VARIANT argument may carry, blank-separated, for the help text.
std::string VariantPrefixes();

// Short name of an argument or result type ("short", "long", "text", ...).
std::string TypeName(VARTYPE vt);

// Result for standard output: nothing for VT_EMPTY, a scalar or a byte array
// (lower-case hex) as one line, other arrays one element per line.
std::string ResultText(const VARIANT& value);

// Result as a JSON value: null for VT_EMPTY, numbers (non-finite reals null),
// strings, byte arrays as a hex string, other arrays as JSON arrays.
nlohmann::ordered_json ResultJsonValue(const VARIANT& value);
// The same as text.
std::string ResultJson(const VARIANT& value);

// JSON as the tool prints it: compact, bytes that are not UTF-8 replaced.
std::string JsonText(const nlohmann::ordered_json& value);
// A JSON string literal of UTF-8 text, control characters escaped.
std::string JsonString(std::string_view utf8);

// A float widened through its shortest text, so that 0.1f gives 0.1.
double FloatAsDouble(float value);

std::string HexBytes(std::span<const std::uint8_t> bytes);

// A fixed number of VARIANTs, each cleared on destruction.
class VariantList {
public:
    explicit VariantList(std::size_t count);
    ~VariantList();
    VariantList(const VariantList&) = delete;
    VariantList& operator=(const VariantList&) = delete;

    VARIANT* data() { return items_.get(); }
    std::size_t size() const { return count_; }
    std::span<VARIANT> span() { return {items_.get(), count_}; }

private:
    std::unique_ptr<VARIANT[]> items_;
    std::size_t count_;
};

} // namespace kelvo::tool
