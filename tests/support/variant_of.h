// A VARIANT of a scalar type with its value bits, for arguments the tests pass.
#pragma once

#include "kelvo/automation.h"

#include <cstdint>

namespace kelvo::test {

// Type vt holding `value` in its union (integers, VT_BOOL, VT_EMPTY, VT_NULL).
inline VARIANT VariantOf(VARTYPE vt, std::int64_t value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    v.llVal = value;
    return v;
}

} // namespace kelvo::test
