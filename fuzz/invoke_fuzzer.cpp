// IDispatch::Invoke of the object with the fuzzer's arguments, as a scripting
// host or language binding would call it: any member id and dispatch flags,
// any number of arguments of any automation type, by value or by reference to
// storage of the named type, named arguments, no result or argument-error slot.
//
// Input: member id (32 bits), flags, argument count, then per argument a type
// byte and its value, then the device's answers (FuzzTransport, answers mode
// with the frame counter written in).
//   flags: bits 0-3 the dispatch flags, 16 no result slot, 32 the last
//          argument named as the put value, 64 no argument-error slot
//   argument count: the member's own count unless bit 7 is set (then the
//          byte modulo 9)
//   type byte: bit 7 the type the member declares (else, and for a declared
//          VARIANT by value, bits 0-5 pick one of the types below), bit 6 by
//          reference
//   values: integers 8 bytes, VT_R4 4, a text a null flag, a length and the
//          bytes, an array its count (up to 16) and its elements
#include "fuzz_support.h"

#include "device/interface_table.h"

using namespace kelvo;
using namespace kelvo::fuzz;

namespace {

constexpr VARTYPE Array(VARTYPE element) {
    return VT_ARRAY | element;
}

const VARTYPE kTypes[] = {
    VT_EMPTY,       VT_NULL,     VT_I1,      VT_UI1,     VT_I2,         VT_UI2,
    VT_I4,          VT_UI4,      VT_I8,      VT_UI8,     VT_INT,        VT_UINT,
    VT_R4,          VT_R8,       VT_BOOL,    VT_CY,      VT_DATE,       VT_ERROR,
    VT_BSTR,        VT_DISPATCH, VT_UNKNOWN, VT_VARIANT, Array(VT_UI1), Array(VT_VARIANT),
    Array(VT_BSTR), Array(VT_I4)};

// Left out: members that take a raw buffer with its length (the host vouches
// for it), Config (a window), Init (sleeps on a serial probe; connection_text
// covers it), ScanUDP (the network), ReadErrorLog (a file; error_log covers it).
bool Excluded(const InterfaceMember& m) {
    if (std::ranges::find(m.args, VT_BYREF | VT_UI1) != m.args.end())
        return true;
    const std::u16string_view name = m.name;
    return name == u"Config" || name == u"Init" || name == u"ScanUDP" || name == u"ReadErrorLog";
}

bool KnownResult(HRESULT hr) {
    return IsKnownResult(hr) || hr == DISP_E_MEMBERNOTFOUND || hr == DISP_E_NONAMEDARGS ||
           hr == DISP_E_BADPARAMCOUNT || hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW ||
           hr == DISP_E_BADVARTYPE || hr == DISP_E_PARAMNOTFOUND;
}

SAFEARRAY* MakeArray(VARTYPE element, Input& in) {
    const ULONG count = in.u8() % 17;
    SAFEARRAY* array = SafeArrayCreateVector(element, 0, count);
    FUZZ_CHECK(array != nullptr);
    for (ULONG i = 0; i < count; ++i) {
        if (element == VT_UI1) {
            static_cast<BYTE*>(array->pvData)[i] = in.u8();
        } else if (element == VT_I4) {
            static_cast<LONG*>(array->pvData)[i] = static_cast<LONG>(in.u32());
        } else if (element == VT_BSTR) {
            static_cast<BSTR*>(array->pvData)[i] = Bstr(Widen(in.bytes(in.u8() % 16))).release();
        } else {
            static_cast<VARIANT*>(array->pvData)[i].vt = VT_I4;
            static_cast<VARIANT*>(array->pvData)[i].lVal = static_cast<LONG>(in.u32());
        }
    }
    return array;
}

// A by-value argument of type vt, its value from the input.
VARIANT MakeValue(VARTYPE vt, Input& in) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    if (vt & VT_ARRAY)
        v.parray = MakeArray(vt & VT_TYPEMASK, in);
    else if (vt == VT_BSTR)
        v.bstrVal = (in.u8() & 1) ? nullptr : SysAllocString(Widen(in.bytes(in.u8())).c_str());
    else if (vt == VT_VARIANT) // not a type of its own by value: an empty one
        v.vt = VT_EMPTY;
    else if (vt == VT_R4)
        v.ulVal = in.u32();
    else if (vt != VT_DISPATCH && vt != VT_UNKNOWN) // those are null
        v.llVal = static_cast<LONGLONG>(in.u64());
    return v;
}

// One argument as the host holds it: the variant passed and, for a reference,
// the storage it points to (the callee may write there).
struct Argument {
    VARIANT passed{};
    VARIANT copy{};  // by value: what the callee must leave as it is
    VARIANT store{}; // by reference: the storage, of the referenced type
    VARIANT inner{}; // target of a reference to a VARIANT
    VARTYPE referenced = VT_EMPTY;

    void Make(VARTYPE vt, bool reference, Input& in) {
        if (!reference) {
            passed = MakeValue(vt, in);
            FUZZ_CHECK(VariantCopy(&copy, &passed) == S_OK);
            return;
        }
        // Out storage starts empty, as a host passes it to an [out] slot.
        referenced = vt;
        passed.vt = static_cast<VARTYPE>(VT_BYREF | vt);
        passed.byref = vt == VT_VARIANT ? static_cast<void*>(&inner) : &store.llVal;
    }

    // Checks what the call left and releases it all.
    void Finish() {
        if (referenced == VT_EMPTY) {
            FUZZ_CHECK(passed.vt == copy.vt);
            if (passed.vt == VT_BSTR)
                FUZZ_CHECK(BstrView(passed.bstrVal) == BstrView(copy.bstrVal));
            else if (!(passed.vt & VT_ARRAY))
                FUZZ_CHECK(passed.llVal == copy.llVal);
            FUZZ_CHECK(VariantClear(&passed) == S_OK);
            FUZZ_CHECK(VariantClear(&copy) == S_OK);
            return;
        }
        if (referenced == VT_BSTR)
            SysFreeString(store.bstrVal);
        if ((referenced & VT_ARRAY) && store.parray)
            FUZZ_CHECK(SafeArrayDestroy(store.parray) == S_OK);
        FUZZ_CHECK(VariantClear(&inner) == S_OK);
    }
};

} // namespace

void kelvo::fuzz::FuzzOne(Input& in) {
    const DISPID id = static_cast<DISPID>(in.u32());
    const std::uint8_t flags = in.u8();
    const WORD dispatchFlags = flags & 0x0F;
    // The member the flags reach, as Invoke looks it up; whatever they could
    // reach must be callable here.
    const InterfaceMember* member = FindInvokedMember(id, dispatchFlags);
    for (MemberKind kind : {MemberKind::Method, MemberKind::Get, MemberKind::Put}) {
        const InterfaceMember* reached = FindMember(id, kind);
        if (reached && Excluded(*reached))
            return;
    }

    const std::uint8_t countByte = in.u8();
    const std::size_t declared = member ? member->args.size() : 0;
    const std::size_t count = (countByte & 0x80) || !member ? countByte % 9u : declared;
    std::vector<Argument> args(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t type = in.u8();
        VARTYPE vt = kTypes[(type & 0x3F) % std::size(kTypes)];
        bool reference = (type & 0x40) != 0;
        // The declared type; a declared VARIANT by value takes the picked type.
        if ((type & 0x80) && i < declared) {
            const VARTYPE want = member->args[i];
            reference = (want & VT_BYREF) != 0;
            if (want != VT_VARIANT)
                vt = static_cast<VARTYPE>(want & ~VT_BYREF);
        }
        if (reference && (vt == VT_EMPTY || vt == VT_NULL))
            vt = VT_I4;
        args[i].Make(vt, reference, in);
    }
    // rgvarg holds the arguments last to first.
    std::vector<VARIANT> rgvarg;
    for (auto a = args.rbegin(); a != args.rend(); ++a)
        rgvarg.push_back(a->passed);
    DISPID putId = DISPID_PROPERTYPUT;
    DISPPARAMS params{rgvarg.data(), &putId, static_cast<UINT>(count),
                      (flags & 32) && count > 0 ? 1u : 0u};

    CKelvo* k = ConnectedObject(false, 255);
    FuzzTransport::Instance().PlayAnswers(in.rest(), false);

    VARIANT result{};
    UINT argErr = 0xFFFFFFFF;
    const HRESULT hr =
        k->Invoke(id, GUID_NULL, 0, dispatchFlags, &params, (flags & 16) ? nullptr : &result,
                  nullptr, (flags & 64) ? nullptr : &argErr);
    FUZZ_CHECK(KnownResult(hr));
    if (FAILED(hr))
        FUZZ_CHECK(result.vt == VT_EMPTY);
    if ((hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW) && !(flags & 64))
        FUZZ_CHECK(argErr < count);
    FUZZ_CHECK(VariantClear(&result) == S_OK);
    // The callee sees copies in rgvarg: what it changed there is what a host sees.
    for (std::size_t i = 0; i < count; ++i)
        args[count - 1 - i].passed = rgvarg[i];
    for (Argument& a : args)
        a.Finish();
    ReleaseChecked(k);
}
