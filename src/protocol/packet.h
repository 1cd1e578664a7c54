// Conversions of the automation form of the raw packet exchange.
#pragma once

#include "kelvo/automation.h"

#include <optional>
#include <vector>

namespace kelvo {

// The bytes of a VT_ARRAY|VT_UI1 array, or one byte per element of a
// VT_ARRAY|VT_VARIANT array (VT_UI1 as it is, any other element converted to
// VT_UI1). No buffer for any other value or an element that does not convert.
std::optional<std::vector<BYTE>> PacketBytes(const VARIANT& value);

// `count` bytes as a new one-dimensional array: VARIANTs holding VT_UI1 for
// resultType 0 or VT_ARRAY|VT_VARIANT, bytes for VT_ARRAY|VT_UI1. False, with
// `out` untouched, for another resultType or when the array cannot be made.
bool PacketResult(const BYTE* bytes, LONG count, INT resultType, VARIANT* out);

} // namespace kelvo
