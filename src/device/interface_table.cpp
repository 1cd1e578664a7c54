#include "device/interface_table.h"

#include <array>
#include <tuple>
#include <type_traits>
#include <utility>

namespace kelvo {
namespace {

// ---- Mapping of C++ parameter types to automation types ----

template <class T> struct VtOf;
template <> struct VtOf<SHORT> { static constexpr VARTYPE vt = VT_I2; };
template <> struct VtOf<USHORT> { static constexpr VARTYPE vt = VT_UI2; };
template <> struct VtOf<LONG> { static constexpr VARTYPE vt = VT_I4; };
template <> struct VtOf<ULONG> { static constexpr VARTYPE vt = VT_UI4; };
template <> struct VtOf<BYTE> { static constexpr VARTYPE vt = VT_UI1; };
template <> struct VtOf<LONGLONG> { static constexpr VARTYPE vt = VT_I8; };
template <> struct VtOf<float> { static constexpr VARTYPE vt = VT_R4; };
template <> struct VtOf<BSTR> { static constexpr VARTYPE vt = VT_BSTR; };
template <> struct VtOf<VARIANT> { static constexpr VARTYPE vt = VT_VARIANT; };
template <> struct VtOf<SAFEARRAY*> { static constexpr VARTYPE vt = VT_ARRAY | VT_UI1; };
template <class T> struct VtOf<T*> { static constexpr VARTYPE vt = VT_BYREF | VtOf<T>::vt; };

// VARIANT_BOOL shares its C++ type with SHORT; a row names it explicitly.
constexpr VARTYPE Effective(VARTYPE vt, VARTYPE shortOverride) {
    if (shortOverride && (vt & VT_TYPEMASK) == VT_I2)
        return static_cast<VARTYPE>((vt & ~VT_TYPEMASK) | shortOverride);
    return vt;
}

template <class T> T& ValueField(VARIANT& v) {
    if constexpr (std::is_same_v<T, SHORT>)
        return v.iVal;
    else if constexpr (std::is_same_v<T, USHORT>)
        return v.uiVal;
    else if constexpr (std::is_same_v<T, LONG>)
        return v.lVal;
    else if constexpr (std::is_same_v<T, ULONG>)
        return v.ulVal;
    else if constexpr (std::is_same_v<T, BYTE>)
        return v.bVal;
    else if constexpr (std::is_same_v<T, LONGLONG>)
        return v.llVal;
    else if constexpr (std::is_same_v<T, float>)
        return v.fltVal;
    else if constexpr (std::is_same_v<T, BSTR>)
        return v.bstrVal;
    else
        static_assert(std::is_same_v<T, SHORT>, "no value field");
}

// One argument converted from its VARIANT for the duration of a call.
template <class T, VARTYPE Override> struct Arg {
    Variant holder;
    T value{};

    HRESULT Load(const VARIANT& in) {
        const VARIANT& v = (in.vt == (VT_BYREF | VT_VARIANT) && in.pvarVal) ? *in.pvarVal : in;
        if constexpr (std::is_same_v<T, VARIANT>) {
            value = v;
            return S_OK;
        } else if constexpr (std::is_same_v<T, SAFEARRAY*>) {
            if (!(v.vt & VT_ARRAY))
                return DISP_E_TYPEMISMATCH;
            value = (v.vt & VT_BYREF) ? *reinterpret_cast<SAFEARRAY**>(v.byref) : v.parray;
            return S_OK;
        } else if constexpr (std::is_pointer_v<T> && !std::is_same_v<T, BSTR>) {
            constexpr VARTYPE want = Effective(VtOf<T>::vt, Override);
            if (v.vt != want)
                return DISP_E_TYPEMISMATCH;
            value = static_cast<T>(v.byref);
            return S_OK;
        } else {
            constexpr VARTYPE want = Effective(VtOf<T>::vt, Override);
            // A number or bool of the very type is taken as it is (a text is
            // still copied, so the callee never holds the caller's string).
            if constexpr (!std::is_same_v<T, BSTR>) {
                if (v.vt == want) {
                    VARIANT same = v;
                    if constexpr (want == VT_BOOL)
                        value = same.boolVal;
                    else
                        value = ValueField<T>(same);
                    return S_OK;
                }
            }
            HRESULT hr = VariantChangeType(&holder, &v, 0, want);
            if (FAILED(hr))
                return hr;
            if constexpr (want == VT_BOOL)
                value = holder.boolVal;
            else
                value = ValueField<T>(holder);
            return S_OK;
        }
    }
};

// The result an operation writes through its last pointer, handed to the caller.
template <class T, VARTYPE Override> struct Result {
    T value{};

    Result() {
        if constexpr (std::is_same_v<T, VARIANT>)
            VariantInit(&value);
    }
    T* ptr() { return &value; }

    void Store(VARIANT* out) {
        if (!out) {
            Free();
            return;
        }
        VariantInit(out);
        if constexpr (std::is_same_v<T, VARIANT>) {
            *out = value;
        } else if constexpr (std::is_same_v<T, SAFEARRAY*>) {
            VARTYPE vt = VT_UI1;
            if (value)
                SafeArrayGetVartype(value, &vt);
            out->vt = static_cast<VARTYPE>(VT_ARRAY | vt);
            out->parray = value;
        } else {
            constexpr VARTYPE vt = Effective(VtOf<T>::vt, Override);
            out->vt = vt;
            if constexpr (vt == VT_BOOL)
                out->boolVal = value;
            else
                ValueField<T>(*out) = value;
        }
    }
    void Free() {
        if constexpr (std::is_same_v<T, VARIANT>)
            VariantClear(&value);
        else if constexpr (std::is_same_v<T, SAFEARRAY*>)
            SafeArrayDestroy(value);
        else if constexpr (std::is_same_v<T, BSTR>)
            SysFreeString(value);
    }
};

enum class Shape { Method, MethodResult, Get, Put };

template <class M> struct MethodTraits;
template <class C, class... A> struct MethodTraits<HRESULT (C::*)(A...)> {
    using Args = std::tuple<A...>;
    static constexpr std::size_t count = sizeof...(A);
};

template <auto M, Shape S, VARTYPE Override> struct Binding {
    using Traits = MethodTraits<decltype(M)>;
    static constexpr bool hasResult = S == Shape::Get || S == Shape::MethodResult;
    static constexpr std::size_t argCount = Traits::count - (hasResult ? 1 : 0);

    template <std::size_t I> using Param = std::tuple_element_t<I, typename Traits::Args>;

    template <std::size_t... I>
    static constexpr std::array<VARTYPE, sizeof...(I)> ArgTypes(std::index_sequence<I...>) {
        return {Effective(VtOf<Param<I>>::vt, Override)...};
    }
    static constexpr auto argTypes = ArgTypes(std::make_index_sequence<argCount>{});

    static constexpr VARTYPE ResultType() {
        if constexpr (hasResult) {
            using R = std::remove_pointer_t<Param<Traits::count - 1>>;
            return Effective(VtOf<R>::vt, Override);
        } else {
            return VT_EMPTY;
        }
    }

    template <std::size_t... I>
    static HRESULT CallWith(IKelvo* object, const VARIANT* args, VARIANT* result, UINT* argErr,
                            std::index_sequence<I...>) {
        std::tuple<Arg<Param<I>, Override>...> loaded;
        HRESULT hr = S_OK;
        // Loads in order and stops at the first argument that does not convert.
        ((SUCCEEDED(hr) ? (hr = std::get<I>(loaded).Load(args[I]),
                           FAILED(hr) && argErr ? (*argErr = static_cast<UINT>(I), 0) : 0)
                        : 0),
         ...);
        if (FAILED(hr))
            return hr;
        if constexpr (hasResult) {
            using R = std::remove_pointer_t<Param<Traits::count - 1>>;
            Result<R, Override> out;
            hr = (object->*M)(std::get<I>(loaded).value..., out.ptr());
            if (FAILED(hr)) {
                out.Free();
                return hr;
            }
            out.Store(result);
            return hr;
        } else {
            return (object->*M)(std::get<I>(loaded).value...);
        }
    }

    static HRESULT Call(IKelvo* object, const VARIANT* args, UINT count, VARIANT* result,
                        UINT* argErr) {
        if (count != argCount)
            return DISP_E_BADPARAMCOUNT;
        return CallWith(object, args, result, argErr, std::make_index_sequence<argCount>{});
    }
};

template <auto M, Shape S, VARTYPE Override = 0>
constexpr InterfaceMember Row(const char16_t* name, DISPID id, const char* interfaceName,
                              std::span<const BufferArgument> buffers = {}) {
    using B = Binding<M, S, Override>;
    MemberKind kind = S == Shape::Get   ? MemberKind::Get
                      : S == Shape::Put ? MemberKind::Put
                                        : MemberKind::Method;
    return {name,
            id,
            kind,
            interfaceName,
            std::span<const VARTYPE>(B::argTypes),
            B::ResultType(),
            buffers,
            &B::Call};
}

// The buffer arguments of a row: Buffers<In(buffer, length), Out(...)>.
template <BufferArgument... B> constexpr BufferArgument kBufferList[] = {B...};
template <BufferArgument... B>
constexpr std::span<const BufferArgument> Buffers = kBufferList<B...>;
constexpr BufferArgument In(std::uint8_t buffer, std::uint8_t length) {
    return {buffer, length, false};
}
constexpr BufferArgument Out(std::uint8_t buffer, std::uint8_t length) {
    return {buffer, length, true};
}

constexpr InterfaceMember kTable[] = {
    Row<&IKelvo::get_Address, Shape::Get>(u"Address", 0x60020000, "IDeviceLink"),
    Row<&IKelvo::put_Address, Shape::Put>(u"Address", 0x60020000, "IDeviceLink"),
    Row<&IKelvo::get_MsgOn, Shape::Get>(u"MsgOn", 0x60020002, "IDeviceLink"),
    Row<&IKelvo::put_MsgOn, Shape::Put>(u"MsgOn", 0x60020002, "IDeviceLink"),
    Row<&IKelvo::get_Port, Shape::Get>(u"Port", 0x60020004, "IDeviceLink"),
    Row<&IKelvo::put_Port, Shape::Put>(u"Port", 0x60020004, "IDeviceLink"),
    Row<&IKelvo::get_Protocol, Shape::Get>(u"Protocol", 0x60020006, "IDeviceLink"),
    Row<&IKelvo::put_Protocol, Shape::Put>(u"Protocol", 0x60020006, "IDeviceLink"),
    Row<&IKelvo::get_TimeOut, Shape::Get>(u"TimeOut", 0x60020008, "IDeviceLink"),
    Row<&IKelvo::put_TimeOut, Shape::Put>(u"TimeOut", 0x60020008, "IDeviceLink"),
    Row<&IKelvo::get_Success, Shape::Get>(u"Success", 0x6002000A, "IDeviceLink"),
    Row<&IKelvo::get_ErrorCode, Shape::Get>(u"ErrorCode", 0x6002000B, "IDeviceLink"),
    Row<&IKelvo::get_ErrorString, Shape::Get>(u"ErrorString", 0x6002000C, "IDeviceLink"),
    Row<&IKelvo::get_Active, Shape::Get>(u"Active", 0x6002000D, "IDeviceLink"),
    Row<&IKelvo::get_ErrTimeOut, Shape::Get>(u"ErrTimeOut", 0x6002000E, "IDeviceLink"),
    Row<&IKelvo::get_Option, Shape::Get>(u"Option", 0x6002000F, "IDeviceLink"),
    Row<&IKelvo::put_Option, Shape::Put>(u"Option", 0x6002000F, "IDeviceLink"),
    Row<&IKelvo::Config, Shape::Method>(u"Config", 0x60020011, "IDeviceLink"),
    Row<&IKelvo::Init, Shape::Method>(u"Init", 0x60020012, "IDeviceLink"),
    Row<&IKelvo::Packet, Shape::MethodResult>(u"Packet", 0x60020013, "IDeviceLink",
                                              Buffers<In(1, 2), Out(3, 4)>),
    Row<&IKelvo::ShowMsg, Shape::Method>(u"ShowMsg", 0x60020014, "IDeviceLink"),
    Row<&IKelvo::get_Par, Shape::Get>(u"Par", 0x60020015, "IDeviceLink"),
    Row<&IKelvo::put_Par, Shape::Put>(u"Par", 0x60020015, "IDeviceLink"),
    Row<&IKelvo::get_ParDWord, Shape::Get>(u"ParDWord", 0x60020017, "IDeviceLink"),
    Row<&IKelvo::put_ParDWord, Shape::Put>(u"ParDWord", 0x60020017, "IDeviceLink"),
    Row<&IKelvo::get_ParFloat, Shape::Get>(u"ParFloat", 0x60020019, "IDeviceLink"),
    Row<&IKelvo::put_ParFloat, Shape::Put>(u"ParFloat", 0x60020019, "IDeviceLink"),
    Row<&IKelvo::get_ParInt, Shape::Get>(u"ParInt", 0x6002001B, "IDeviceLink"),
    Row<&IKelvo::put_ParInt, Shape::Put>(u"ParInt", 0x6002001B, "IDeviceLink"),
    Row<&IKelvo::get_ParWord, Shape::Get>(u"ParWord", 0x6002001D, "IDeviceLink"),
    Row<&IKelvo::put_ParWord, Shape::Put>(u"ParWord", 0x6002001D, "IDeviceLink"),
    Row<&IKelvo::get_InputD, Shape::Get>(u"InputD", 0x6002001F, "IDeviceLink"),
    Row<&IKelvo::get_InputA, Shape::Get>(u"InputA", 0x60020020, "IDeviceLink"),
    Row<&IKelvo::get_OutputD, Shape::Get>(u"OutputD", 0x60020021, "IDeviceLink"),
    Row<&IKelvo::put_OutputD, Shape::Put>(u"OutputD", 0x60020021, "IDeviceLink"),
    Row<&IKelvo::get_OutputA, Shape::Get>(u"OutputA", 0x60020023, "IDeviceLink"),
    Row<&IKelvo::put_OutputA, Shape::Put>(u"OutputA", 0x60020023, "IDeviceLink"),
    Row<&IKelvo::get_ConfString, Shape::Get>(u"ConfString", 0x60020025, "IDeviceLink"),
    Row<&IKelvo::put_ConfString, Shape::Put>(u"ConfString", 0x60020025, "IDeviceLink"),
    Row<&IKelvo::get_Broadcast, Shape::Get>(u"Broadcast", 0x60020027, "IDeviceLink"),
    Row<&IKelvo::put_Broadcast, Shape::Put>(u"Broadcast", 0x60020027, "IDeviceLink"),
    Row<&IKelvo::EraseFlash, Shape::Method>(u"EraseFlash", 0x60020029, "IDeviceLink"),
    Row<&IKelvo::ReadMemory, Shape::MethodResult>(u"ReadMemory", 0x6002002A, "IDeviceLink"),
    Row<&IKelvo::WriteMemory, Shape::Method>(u"WriteMemory", 0x6002002B, "IDeviceLink"),
    Row<&IKelvo::get_DeviceStatus, Shape::Get>(u"DeviceStatus", 0x6002002C, "IDeviceLink"),
    Row<&IKelvo::Close, Shape::Method>(u"Close", 0x6002002D, "IDeviceLink"),
    Row<&IKelvo::PacketVARIANT, Shape::MethodResult>(u"PacketVARIANT", 0x6002002E, "IDeviceLink"),
    Row<&IKelvo::ReadMemory64, Shape::MethodResult>(u"ReadMemory64", 0x6002002F, "IDeviceLink"),
    Row<&IKelvo::WriteMemory64, Shape::Method>(u"WriteMemory64", 0x60020030, "IDeviceLink"),
    Row<&IKelvo::ReadMemoryConsistent, Shape::MethodResult>(u"ReadMemoryConsistent", 0x60020031,
                                                            "IDeviceLink"),
    Row<&IKelvo::WriteMemoryConsistent, Shape::Method>(u"WriteMemoryConsistent", 0x60020032,
                                                       "IDeviceLink"),
    Row<&IKelvo::WriteMemoryBit, Shape::Method>(u"WriteMemoryBit", 0x60020033, "IDeviceLink"),
    Row<&IKelvo::WriteMemoryBitMask, Shape::Method>(u"WriteMemoryBitMask", 0x60020034,
                                                    "IDeviceLink"),
    Row<&IKelvo::get_Feature, Shape::Get>(u"Feature", 0x60030000, "IDeviceLink2"),
    Row<&IKelvo::put_Feature, Shape::Put>(u"Feature", 0x60030000, "IDeviceLink2"),
    Row<&IKelvo::ReadMultiplePars_Init, Shape::Method>(u"ReadMultiplePars_Init", 0x60030002,
                                                       "IDeviceLink2"),
    Row<&IKelvo::ReadMultiplePars_Add, Shape::Method>(u"ReadMultiplePars_Add", 0x60030003,
                                                      "IDeviceLink2"),
    Row<&IKelvo::ReadMultiplePars_Execute, Shape::MethodResult>(u"ReadMultiplePars_Execute",
                                                                0x60030004, "IDeviceLink2"),
    Row<&IKelvo::WriteMultiplePars_Init, Shape::Method>(u"WriteMultiplePars_Init", 0x60030005,
                                                        "IDeviceLink2"),
    Row<&IKelvo::WriteMultiplePars_Add, Shape::Method>(u"WriteMultiplePars_Add", 0x60030006,
                                                       "IDeviceLink2"),
    Row<&IKelvo::WriteMultiplePars_Execute, Shape::Method>(u"WriteMultiplePars_Execute", 0x60030007,
                                                           "IDeviceLink2"),
    Row<&IKelvo::ReadMemoryCond, Shape::MethodResult>(u"ReadMemoryCond", 0x60040000,
                                                      "IDeviceLink3"),
    Row<&IKelvo::WriteMemoryCond, Shape::Method>(u"WriteMemoryCond", 0x60040001, "IDeviceLink3"),
    Row<&IKelvo::ReadMemoryCond64, Shape::MethodResult>(u"ReadMemoryCond64", 0x60040002,
                                                        "IDeviceLink3"),
    Row<&IKelvo::WriteMemoryCond64, Shape::Method>(u"WriteMemoryCond64", 0x60040003,
                                                   "IDeviceLink3"),
    Row<&IKelvo::ReadMemoryMultiCond, Shape::MethodResult>(u"ReadMemoryMultiCond", 0x60040004,
                                                           "IDeviceLink3"),
    Row<&IKelvo::WriteMemoryMultiCond, Shape::Method>(u"WriteMemoryMultiCond", 0x60040005,
                                                      "IDeviceLink3"),
    Row<&IKelvo::ReadMemoryMultiCond64, Shape::MethodResult>(u"ReadMemoryMultiCond64", 0x60040006,
                                                             "IDeviceLink3"),
    Row<&IKelvo::WriteMemoryMultiCond64, Shape::Method>(u"WriteMemoryMultiCond64", 0x60040007,
                                                        "IDeviceLink3"),
    Row<&IKelvo::WriteMemoryBitCond, Shape::Method>(u"WriteMemoryBitCond", 0x60040008,
                                                    "IDeviceLink3"),
    Row<&IKelvo::WriteMemoryBitMaskCond, Shape::Method>(u"WriteMemoryBitMaskCond", 0x60040009,
                                                        "IDeviceLink3"),
    Row<&IKelvo::WriteMemoryBit64, Shape::Method>(u"WriteMemoryBit64", 0x6004000A, "IDeviceLink3"),
    Row<&IKelvo::WriteMemoryBitMask64, Shape::Method>(u"WriteMemoryBitMask64", 0x6004000B,
                                                      "IDeviceLink3"),
    Row<&IKelvo::WriteMemoryBitCond64, Shape::Method>(u"WriteMemoryBitCond64", 0x6004000C,
                                                      "IDeviceLink3"),
    Row<&IKelvo::WriteMemoryBitMaskCond64, Shape::Method>(u"WriteMemoryBitMaskCond64", 0x6004000D,
                                                          "IDeviceLink3"),
    Row<&IKelvo::GetAlTargetPropertyValue, Shape::MethodResult>(u"GetAlTargetPropertyValue",
                                                                0x6004000E, "IDeviceLink3"),
    Row<&IKelvo::GetAlTargetPropertiesValue, Shape::MethodResult>(u"GetAlTargetPropertiesValue",
                                                                  0x6004000F, "IDeviceLink3"),
    Row<&IKelvo::SetAlTargetPropertyValue, Shape::Method>(u"SetAlTargetPropertyValue", 0x60040010,
                                                          "IDeviceLink3"),
    Row<&IKelvo::CRCMemory, Shape::MethodResult>(u"CRCMemory", 0x60050000, "IDeviceLink4"),
    Row<&IKelvo::ReadDataBlock, Shape::Method>(u"ReadDataBlock", 0x60050001, "IDeviceLink4",
                                               Buffers<Out(6, 5)>),
    Row<&IKelvo::WriteDataBlock, Shape::Method>(u"WriteDataBlock", 0x60050002, "IDeviceLink4",
                                                Buffers<In(6, 5)>),
    Row<&IKelvo::ReadPushData, Shape::Method>(u"ReadPushData", 0x60050003, "IDeviceLink4",
                                              Buffers<Out(0, 1)>),
    Row<&IKelvo::PushDataCommand, Shape::MethodResult>(u"PushDataCommand", 0x60050004,
                                                       "IDeviceLink4"),
    Row<&IKelvo::Reset_Command, Shape::Method>(u"Reset_Command", 0x00000001, "IKelvo"),
    Row<&IKelvo::Restore_Command, Shape::Method>(u"Restore_Command", 0x00000002, "IKelvo"),
    Row<&IKelvo::ReadErrorLog, Shape::Method>(u"ReadErrorLog", 0x00000003, "IKelvo"),
    Row<&IKelvo::DeleteErrorLog, Shape::Method>(u"DeleteErrorLog", 0x00000004, "IKelvo"),
    Row<&IKelvo::ResetError, Shape::Method>(u"ResetError", 0x00000005, "IKelvo"),
    Row<&IKelvo::ScanUDP, Shape::MethodResult>(u"ScanUDP", 0x00000006, "IKelvo"),
    Row<&IKelvo::Ping, Shape::MethodResult>(u"Ping", 0x00000007, "IKelvo"),
    Row<&IKelvo::CreateCertificate, Shape::Method>(u"CreateCertificate", 0x00000008, "IKelvo"),
    Row<&IKelvo::GetAllUsers, Shape::MethodResult>(u"GetAllUsers", 0x00000009, "IKelvo"),
    Row<&IKelvo::GetPermissionsAndRole, Shape::MethodResult>(u"GetPermissionsAndRole", 0x0000000A,
                                                             "IKelvo"),
    Row<&IKelvo::SetPermissionsAndRole, Shape::Method>(u"SetPermissionsAndRole", 0x0000000B,
                                                       "IKelvo"),
    Row<&IKelvo::ChangePasswordUser, Shape::Method>(u"ChangePasswordUser", 0x0000000C, "IKelvo"),
    Row<&IKelvo::ChangePasswordAdmin, Shape::Method>(u"ChangePasswordAdmin", 0x0000000D, "IKelvo"),
    Row<&IKelvo::CreateUser, Shape::Method>(u"CreateUser", 0x0000000E, "IKelvo"),
    Row<&IKelvo::DeleteUser, Shape::Method>(u"DeleteUser", 0x0000000F, "IKelvo"),
    Row<&IKelvo::EncryptPassword, Shape::MethodResult>(u"EncryptPassword", 0x00000010, "IKelvo"),
    Row<&IKelvo::DecryptPassword, Shape::MethodResult>(u"DecryptPassword", 0x00000011, "IKelvo"),
    Row<&IKelvo::GetBVAdminKey, Shape::MethodResult>(u"GetBVAdminKey", 0x00000012, "IKelvo"),
    Row<&IKelvo::ResetAdminPassword, Shape::Method>(u"ResetAdminPassword", 0x00000013, "IKelvo"),
    Row<&IKelvo::ReadSSCBuffer, Shape::Method>(u"ReadSSCBuffer", 0x00000014, "IKelvo",
                                               Buffers<Out(2, 1)>),
    Row<&IKelvo::Save_Command, Shape::Method>(u"Save_Command", 0x00000015, "IKelvo"),
    Row<&IKelvo::get_CANNode, Shape::Get>(u"CANNode", 0x60060015, "IKelvo"),
    Row<&IKelvo::put_CANNode, Shape::Put>(u"CANNode", 0x60060015, "IKelvo"),
    Row<&IKelvo::get_SSLCertNotBefore, Shape::Get>(u"SSLCertNotBefore", 0x60060017, "IKelvo"),
    Row<&IKelvo::get_SSLCertNotAfter, Shape::Get>(u"SSLCertNotAfter", 0x60060018, "IKelvo"),
    Row<&IKelvo::get_EEPROMAccess, Shape::Get, VT_BOOL>(u"EEPROMAccess", 0x60060019, "IKelvo"),
    Row<&IKelvo::put_EEPROMAccess, Shape::Put, VT_BOOL>(u"EEPROMAccess", 0x60060019, "IKelvo"),
    Row<&IKelvo::SafeDataWrite, Shape::Method>(u"SafeDataWrite", 0x00000016, "IKelvo"),
    Row<&IKelvo::SafeDataRead, Shape::MethodResult>(u"SafeDataRead", 0x00000017, "IKelvo"),
    Row<&IKelvo::ReadSafeObject, Shape::MethodResult>(u"ReadSafeObject", 0x00000018, "IKelvo"),
};

constexpr bool BufferSized(const InterfaceMember& m, std::size_t arg) {
    for (const BufferArgument& b : m.buffers) {
        if (b.buffer != arg)
            continue;
        if (b.length < m.args.size())
            return IsIntegerType(m.args[b.length]);
        return b.length == m.args.size() && IsIntegerType(m.result);
    }
    return false;
}

// Every byte buffer argument names an integer argument as its length.
constexpr bool BuffersSized() {
    for (const InterfaceMember& m : kTable) {
        for (std::size_t i = 0; i < m.args.size(); ++i) {
            if (m.args[i] == (VT_BYREF | VT_UI1) && !BufferSized(m, i))
                return false;
        }
    }
    return true;
}
static_assert(BuffersSized(), "a byte buffer argument without its length in the table");

} // namespace

std::span<const InterfaceMember> InterfaceTable() {
    return kTable;
}

const InterfaceMember* FindMember(std::u16string_view name, MemberKind kind) {
    for (const auto& m : kTable) {
        if (m.kind == kind && SameIgnoringCase(m.name, name))
            return &m;
    }
    return nullptr;
}

const InterfaceMember* FindMember(DISPID id, MemberKind kind) {
    for (const auto& m : kTable) {
        if (m.kind == kind && m.id == id)
            return &m;
    }
    return nullptr;
}

const InterfaceMember* FindMemberByName(std::u16string_view name) {
    for (const auto& m : kTable) {
        if (SameIgnoringCase(m.name, name))
            return &m;
    }
    return nullptr;
}

const InterfaceMember* FindInvokedMember(DISPID id, WORD flags) {
    const InterfaceMember* member = nullptr;
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF))
        member = FindMember(id, MemberKind::Put);
    if (!member && (flags & DISPATCH_METHOD))
        member = FindMember(id, MemberKind::Method);
    if (!member && (flags & DISPATCH_PROPERTYGET))
        member = FindMember(id, MemberKind::Get);
    return member;
}

HRESULT InvokeFromTable(IKelvo* object, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                        UINT* argErr) {
    if (!params)
        return E_INVALIDARG;
    const InterfaceMember* member = FindInvokedMember(id, flags);
    if (!member)
        return DISP_E_MEMBERNOTFOUND;

    // Only the value of a property put may be named.
    const UINT named = params->cNamedArgs;
    if (named > 1 ||
        (named == 1 && (member->kind != MemberKind::Put || !params->rgdispidNamedArgs ||
                        params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)))
        return DISP_E_NONAMEDARGS;
    if (params->cArgs > 32 || (params->cArgs > 0 && !params->rgvarg))
        return DISP_E_BADPARAMCOUNT;

    // rgvarg holds the arguments last to first; the put value is rgvarg[0].
    VARIANT ordered[32];
    const UINT count = params->cArgs;
    for (UINT i = 0; i < count; ++i)
        ordered[i] = params->rgvarg[count - 1 - i];
    UINT err = 0;
    HRESULT hr = member->call(object, ordered, count, result, &err);
    if ((hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW) && argErr)
        *argErr = count - 1 - err;
    return hr;
}

} // namespace kelvo
