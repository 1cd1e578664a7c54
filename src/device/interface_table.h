// The interface table: one row per operation of the dispatch interfaces (name,
// dispatch id, kind, argument and result types, and the call). IDispatch, the
// command-line tool and any language binding are served from it.
#pragma once

#include "kelvo/automation.h"
#include "kelvo/kelvo.h"

#include <cstdint>
#include <span>
#include <string_view>

namespace kelvo {

enum class MemberKind { Method, Get, Put };

// Whether an automation type is an integer (by value or by reference).
constexpr bool IsIntegerType(VARTYPE vt) {
    switch (vt & ~VT_BYREF) {
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
        return true;
    default:
        return false;
    }
}

// A raw byte buffer argument (VT_BYREF | VT_UI1) and the argument that holds
// its size in bytes. IDispatch callers vouch for their buffers; a language
// binding allocates them from this. `filled`: the operation writes the buffer
// (else it only reads it). A length equal to the argument count names the
// result, which enters the call as 0: the buffer is empty.
struct BufferArgument {
    std::uint8_t buffer;
    std::uint8_t length;
    bool filled;
};

struct InterfaceMember {
    const char16_t* name;
    DISPID id;
    MemberKind kind;
    const char* interfaceName; // "IDeviceLink" ... "IKelvo"
    std::span<const VARTYPE> args;
    VARTYPE result; // VT_EMPTY: no result
    std::span<const BufferArgument> buffers;
    // Calls the operation with args in declaration order; result may be null.
    HRESULT (*call)(IKelvo* object, const VARIANT* args, UINT count, VARIANT* result, UINT* argErr);
};

// All rows in interface order (vtable order).
std::span<const InterfaceMember> InterfaceTable();

// Looks a member up by name (case-insensitive) and kind; null when absent.
const InterfaceMember* FindMember(std::u16string_view name, MemberKind kind);
const InterfaceMember* FindMember(DISPID id, MemberKind kind);
// Any member with this name (for GetIDsOfNames).
const InterfaceMember* FindMemberByName(std::u16string_view name);

// The member Invoke calls for `flags`: a put for DISPATCH_PROPERTYPUT(REF),
// else a method for DISPATCH_METHOD, else a getter for DISPATCH_PROPERTYGET.
const InterfaceMember* FindInvokedMember(DISPID id, WORD flags);

// Serves IDispatch::Invoke for an object from the table.
HRESULT InvokeFromTable(IKelvo* object, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                        UINT* argErr);

} // namespace kelvo
