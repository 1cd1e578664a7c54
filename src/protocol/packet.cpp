// The automation form of the raw packet exchange: the byte or VARIANT array
// becomes a byte buffer, the object's own Packet runs through its interface,
// and the answer bytes go back as an array of the kind asked for.
#include "protocol/packet.h"

#include "device/kelvo_object.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace kelvo {
namespace {

// The largest answer buffer PacketVARIANT allocates. A raw packet of the
// device protocol is far smaller (a frame's length byte counts at most 255
// bytes); a larger LenIn is no answer a host can mean, and as an array of
// VARIANTs it would take sixteen times its size. Above the bound the buffer
// counts as not allocated: the result is 0x80040501.
constexpr LONG kMaxPacketAnswer = 1 << 20;

constexpr VARTYPE kByteArray = VT_ARRAY | VT_UI1;
constexpr VARTYPE kVariantArray = VT_ARRAY | VT_VARIANT;

std::size_t ElementCount(const SAFEARRAY* array) {
    std::size_t count = 1;
    for (USHORT i = 0; i < array->cDims; ++i)
        count *= array->rgsabound[i].cElements;
    return count;
}

} // namespace

std::optional<std::vector<BYTE>> PacketBytes(const VARIANT& value) {
    if ((value.vt != kByteArray && value.vt != kVariantArray) || !value.parray)
        return std::nullopt;
    SAFEARRAY* array = value.parray;
    // The array's own elements must be what the VARIANT's type says.
    const UINT size = value.vt == kByteArray ? 1 : sizeof(VARIANT);
    if (SafeArrayGetElemsize(array) != size)
        return std::nullopt;
    const std::size_t count = ElementCount(array);
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(array, &data)))
        return std::nullopt;
    std::optional<std::vector<BYTE>> bytes(std::in_place, count);
    if (value.vt == kByteArray) {
        if (count > 0)
            std::memcpy(bytes->data(), data, count);
    } else {
        const VARIANT* elements = static_cast<const VARIANT*>(data);
        for (std::size_t i = 0; i < count && bytes; ++i) {
            if (elements[i].vt == VT_UI1) {
                (*bytes)[i] = elements[i].bVal;
                continue;
            }
            Variant converted;
            if (FAILED(VariantChangeType(&converted, &elements[i], 0, VT_UI1)))
                bytes.reset();
            else
                (*bytes)[i] = converted.bVal;
        }
    }
    SafeArrayUnaccessData(array);
    return bytes;
}

bool PacketResult(const BYTE* bytes, LONG count, INT resultType, VARIANT* out) {
    if (resultType == 0 || resultType == kVariantArray) {
        SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(count));
        if (!array)
            return false;
        auto* elements = static_cast<VARIANT*>(array->pvData);
        for (LONG i = 0; i < count; ++i) {
            elements[i].vt = VT_UI1;
            elements[i].bVal = bytes[i];
        }
        out->vt = kVariantArray;
        out->parray = array;
        return true;
    }
    if (resultType == kByteArray) {
        SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(count));
        if (!array)
            return false;
        if (count > 0)
            std::memcpy(array->pvData, bytes, static_cast<std::size_t>(count));
        out->vt = kByteArray;
        out->parray = array;
        return true;
    }
    return false;
}

} // namespace kelvo

using namespace kelvo;

HRESULT CKelvo::PacketVARIANT(SHORT CmdId, VARIANT arrOut, LONG LenIn, INT resultType,
                              VARIANT* arrIn) {
    std::optional<std::vector<BYTE>> request = PacketBytes(arrOut);
    if (!request)
        return E_FAIL;
    // Packet may write nothing at all: the answer starts as zeros. calloc
    // leaves a large buffer's pages untouched until they are used.
    const LONG allocated = LenIn;
    std::unique_ptr<BYTE, decltype(&std::free)> answer(nullptr, &std::free);
    if (allocated >= 0 && allocated <= kMaxPacketAnswer)
        answer.reset(static_cast<BYTE*>(
            std::calloc(static_cast<std::size_t>(std::max<LONG>(allocated, 1)), 1)));

    IDeviceLink* link = this;
    const HRESULT hr = link->Packet(CmdId, request->data(), static_cast<LONG>(request->size()),
                                    answer.get(), &LenIn);
    if (FAILED(hr))
        return hr;
    if (!answer || !arrIn || LenIn < 0 || LenIn > allocated)
        return KELVO_E_CONVERSION;
    if (!PacketResult(answer.get(), LenIn, resultType, arrIn))
        return KELVO_E_CONVERSION;
    return hr;
}
