// SAFEARRAY: a descriptor followed by its bounds, and one block of elements.
//
// Memory of a descriptor: [header: element VARTYPE][SAFEARRAY][further bounds]
// The header sits kHeaderBytes before the SAFEARRAY and is part of the same
// malloc block, so SafeArrayGetVartype can answer for every array made here.
//
// Dimensions: SafeArrayCreate receives the bounds left to right; the descriptor
// stores them in reverse order (rgsabound[cDims - 1] is the first dimension).
// SafeArrayGetLBound/GetUBound number dimensions from 1 in creation order.
// An index vector rgIndices lists one index per dimension in creation order,
// and the first index varies fastest in memory: the element at (i0, i1) of a
// 2 x 3 array lies at cell (i0 - lb0) + 2 * (i1 - lb1).
#include "kelvo/automation.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace {

struct Header {
    VARTYPE vt;
};

constexpr std::size_t kHeaderBytes = alignof(std::max_align_t);
static_assert(sizeof(Header) <= kHeaderBytes);

// Arrays larger than this are refused rather than attempted.
constexpr std::uint64_t kMaxDataBytes = 0x7FFFFFFF;

ULONG ElementSize(VARTYPE vt) {
    switch (vt) {
    case VT_I1:
    case VT_UI1:
        return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
        return 2;
    case VT_I4:
    case VT_UI4:
    case VT_R4:
    case VT_INT:
    case VT_UINT:
    case VT_ERROR:
        return 4;
    case VT_R8:
    case VT_I8:
    case VT_UI8:
    case VT_CY:
    case VT_DATE:
        return 8;
    case VT_BSTR:
        return sizeof(BSTR);
    case VT_UNKNOWN:
        return sizeof(IUnknown*);
    case VT_DISPATCH:
        return sizeof(IDispatch*);
    case VT_VARIANT:
        return sizeof(VARIANT);
    default:
        return 0;
    }
}

USHORT FeaturesOf(VARTYPE vt) {
    switch (vt) {
    case VT_BSTR:
        return FADF_HAVEVARTYPE | FADF_BSTR;
    case VT_UNKNOWN:
        return FADF_HAVEVARTYPE | FADF_UNKNOWN;
    case VT_DISPATCH:
        return FADF_HAVEVARTYPE | FADF_DISPATCH;
    case VT_VARIANT:
        return FADF_HAVEVARTYPE | FADF_VARIANT;
    default:
        return FADF_HAVEVARTYPE;
    }
}

unsigned char* BlockOf(SAFEARRAY* psa) {
    return reinterpret_cast<unsigned char*>(psa) - kHeaderBytes;
}

VARTYPE StoredVartype(SAFEARRAY* psa) {
    Header header;
    std::memcpy(&header, BlockOf(psa), sizeof(Header));
    return header.vt;
}

// The stored bounds; index 0 is the last dimension.
SAFEARRAYBOUND* Bounds(SAFEARRAY* psa) {
    return psa->rgsabound;
}

std::uint64_t ElementCount(SAFEARRAY* psa) {
    std::uint64_t count = 1;
    for (USHORT i = 0; i < psa->cDims; ++i) {
        count *= Bounds(psa)[i].cElements;
    }
    return count;
}

enum class BoundOrder { Creation, Stored };

// Creates a descriptor and zeroed data.
SAFEARRAY* CreateArray(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* bounds, BoundOrder order) {
    const ULONG elementSize = ElementSize(vt);
    if (elementSize == 0 || cDims == 0 || cDims > std::numeric_limits<USHORT>::max() || !bounds) {
        return nullptr;
    }
    std::uint64_t bytes = elementSize;
    for (UINT i = 0; i < cDims; ++i) {
        const std::int64_t lower = bounds[i].lLbound;
        const std::int64_t upper = lower + bounds[i].cElements - 1;
        if (upper > std::numeric_limits<LONG>::max() || upper < std::numeric_limits<LONG>::min()) {
            return nullptr;
        }
        if (bounds[i].cElements != 0 && bytes > kMaxDataBytes / bounds[i].cElements) {
            return nullptr;
        }
        bytes *= bounds[i].cElements;
    }

    const std::size_t descriptorBytes = std::max(
        sizeof(SAFEARRAY), offsetof(SAFEARRAY, rgsabound) + cDims * sizeof(SAFEARRAYBOUND));
    auto* block = static_cast<unsigned char*>(std::calloc(1, kHeaderBytes + descriptorBytes));
    if (!block) {
        return nullptr;
    }
    // At least one byte, so that an empty array still has a data pointer.
    void* data = std::calloc(std::max<std::uint64_t>(bytes, 1), 1);
    if (!data) {
        std::free(block);
        return nullptr;
    }
    const Header header{vt};
    std::memcpy(block, &header, sizeof(Header));
    auto* psa = new (block + kHeaderBytes) SAFEARRAY{};
    psa->cDims = static_cast<USHORT>(cDims);
    psa->fFeatures = FeaturesOf(vt);
    psa->cbElements = elementSize;
    psa->cLocks = 0;
    psa->pvData = data;
    for (UINT i = 0; i < cDims; ++i) {
        Bounds(psa)[i] = order == BoundOrder::Stored ? bounds[i] : bounds[cDims - 1 - i];
    }
    return psa;
}

// Cell of an index vector (see the comment at the top); false when out of bounds.
bool CellOf(SAFEARRAY* psa, const LONG* rgIndices, std::uint64_t* cell) {
    std::uint64_t position = 0;
    std::uint64_t stride = 1;
    for (USHORT i = 0; i < psa->cDims; ++i) {
        const SAFEARRAYBOUND& bound = Bounds(psa)[psa->cDims - 1 - i];
        const std::int64_t offset = static_cast<std::int64_t>(rgIndices[i]) - bound.lLbound;
        if (offset < 0 || offset >= static_cast<std::int64_t>(bound.cElements)) {
            return false;
        }
        position += static_cast<std::uint64_t>(offset) * stride;
        stride *= bound.cElements;
    }
    *cell = position;
    return true;
}

unsigned char* ElementAt(SAFEARRAY* psa, std::uint64_t cell) {
    return static_cast<unsigned char*>(psa->pvData) + cell * psa->cbElements;
}

// Frees what the elements own; the data block itself stays.
void ReleaseElements(SAFEARRAY* psa, VARTYPE vt) {
    const std::uint64_t count = ElementCount(psa);
    for (std::uint64_t i = 0; i < count; ++i) {
        unsigned char* element = ElementAt(psa, i);
        switch (vt) {
        case VT_BSTR: {
            BSTR text = nullptr;
            std::memcpy(&text, element, sizeof(BSTR));
            SysFreeString(text);
            break;
        }
        case VT_VARIANT:
            VariantClear(reinterpret_cast<VARIANT*>(element));
            break;
        case VT_UNKNOWN:
        case VT_DISPATCH: {
            IUnknown* object = nullptr;
            std::memcpy(&object, element, sizeof(IUnknown*));
            if (object) {
                object->Release();
            }
            break;
        }
        default:
            return;
        }
    }
}

// Copies one element from src into dst, which holds no owned value.
HRESULT CopyElement(VARTYPE vt, ULONG size, const unsigned char* src, unsigned char* dst) {
    switch (vt) {
    case VT_BSTR: {
        BSTR text = nullptr;
        std::memcpy(&text, src, sizeof(BSTR));
        BSTR copy = nullptr;
        if (text) {
            copy = SysAllocStringLen(text, SysStringLen(text));
            if (!copy) {
                return E_OUTOFMEMORY;
            }
        }
        std::memcpy(dst, &copy, sizeof(BSTR));
        return S_OK;
    }
    case VT_VARIANT: {
        VARIANT copy;
        VariantInit(&copy);
        const HRESULT hr = VariantCopy(&copy, reinterpret_cast<const VARIANT*>(src));
        if (FAILED(hr)) {
            return hr;
        }
        std::memcpy(dst, &copy, sizeof(VARIANT));
        return S_OK;
    }
    case VT_UNKNOWN:
    case VT_DISPATCH: {
        IUnknown* object = nullptr;
        std::memcpy(&object, src, sizeof(IUnknown*));
        if (object) {
            object->AddRef();
        }
        std::memcpy(dst, &object, sizeof(IUnknown*));
        return S_OK;
    }
    default:
        std::memcpy(dst, src, size);
        return S_OK;
    }
}

} // namespace

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* bounds) {
    return CreateArray(vt, cDims, bounds, BoundOrder::Creation);
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
    const SAFEARRAYBOUND bound{cElements, lLbound};
    return CreateArray(vt, 1, &bound, BoundOrder::Stored);
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
    if (!psa) {
        return S_OK;
    }
    if (psa->cLocks > 0) {
        return DISP_E_ARRAYISLOCKED;
    }
    ReleaseElements(psa, StoredVartype(psa));
    std::free(psa->pvData);
    psa->~SAFEARRAY();
    std::free(BlockOf(psa));
    return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* psa) {
    return psa ? psa->cDims : 0;
}

UINT SafeArrayGetElemsize(SAFEARRAY* psa) {
    return psa ? psa->cbElements : 0;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
    if (!psa || !plLbound) {
        return E_INVALIDARG;
    }
    if (nDim == 0 || nDim > psa->cDims) {
        return DISP_E_BADINDEX;
    }
    *plLbound = Bounds(psa)[psa->cDims - nDim].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
    if (!psa || !plUbound) {
        return E_INVALIDARG;
    }
    if (nDim == 0 || nDim > psa->cDims) {
        return DISP_E_BADINDEX;
    }
    const SAFEARRAYBOUND& bound = Bounds(psa)[psa->cDims - nDim];
    *plUbound = static_cast<LONG>(static_cast<std::int64_t>(bound.lLbound) + bound.cElements - 1);
    return S_OK;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
    if (!psa || !pvt) {
        return E_INVALIDARG;
    }
    *pvt = StoredVartype(psa);
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
    if (!psa || !ppvData) {
        return E_INVALIDARG;
    }
    if (psa->cLocks == std::numeric_limits<ULONG>::max()) {
        return E_UNEXPECTED;
    }
    ++psa->cLocks;
    *ppvData = psa->pvData;
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) {
    if (!psa) {
        return E_INVALIDARG;
    }
    if (psa->cLocks == 0) {
        return E_UNEXPECTED;
    }
    --psa->cLocks;
    return S_OK;
}

// pv receives a new copy (a new BSTR, a VariantCopy, an AddRef'd pointer); its
// previous content is overwritten, not freed.
HRESULT SafeArrayGetElement(SAFEARRAY* psa, const LONG* rgIndices, void* pv) {
    if (!psa || !rgIndices || !pv) {
        return E_INVALIDARG;
    }
    std::uint64_t cell = 0;
    if (!CellOf(psa, rgIndices, &cell)) {
        return DISP_E_BADINDEX;
    }
    return CopyElement(StoredVartype(psa), psa->cbElements, ElementAt(psa, cell),
                       static_cast<unsigned char*>(pv));
}

// pv is the value itself for VT_BSTR, VT_UNKNOWN and VT_DISPATCH arrays (may be
// null), a VARIANT* for VT_VARIANT arrays, else a pointer to the value. The
// array stores a copy and frees the element it replaces.
HRESULT SafeArrayPutElement(SAFEARRAY* psa, const LONG* rgIndices, void* pv) {
    if (!psa || !rgIndices) {
        return E_INVALIDARG;
    }
    const VARTYPE vt = StoredVartype(psa);
    const bool byValue = vt == VT_BSTR || vt == VT_UNKNOWN || vt == VT_DISPATCH;
    if (!pv && !byValue) {
        return E_INVALIDARG;
    }
    std::uint64_t cell = 0;
    if (!CellOf(psa, rgIndices, &cell)) {
        return DISP_E_BADINDEX;
    }
    unsigned char* element = ElementAt(psa, cell);
    switch (vt) {
    case VT_BSTR: {
        auto* text = static_cast<BSTR>(pv);
        BSTR copy = nullptr;
        if (text) {
            copy = SysAllocStringLen(text, SysStringLen(text));
            if (!copy) {
                return E_OUTOFMEMORY;
            }
        }
        BSTR old = nullptr;
        std::memcpy(&old, element, sizeof(BSTR));
        std::memcpy(element, &copy, sizeof(BSTR));
        SysFreeString(old);
        return S_OK;
    }
    case VT_VARIANT:
        return VariantCopy(reinterpret_cast<VARIANT*>(element), static_cast<const VARIANT*>(pv));
    case VT_UNKNOWN:
    case VT_DISPATCH: {
        auto* object = static_cast<IUnknown*>(pv);
        if (object) {
            object->AddRef();
        }
        IUnknown* old = nullptr;
        std::memcpy(&old, element, sizeof(IUnknown*));
        std::memcpy(element, &object, sizeof(IUnknown*));
        if (old) {
            old->Release();
        }
        return S_OK;
    }
    default:
        std::memcpy(element, pv, psa->cbElements);
        return S_OK;
    }
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) {
    if (!ppsaOut) {
        return E_INVALIDARG;
    }
    *ppsaOut = nullptr;
    if (!psa) {
        return S_OK;
    }
    const VARTYPE vt = StoredVartype(psa);
    SAFEARRAY* copy = CreateArray(vt, psa->cDims, Bounds(psa), BoundOrder::Stored);
    if (!copy) {
        return E_OUTOFMEMORY;
    }
    const std::uint64_t count = ElementCount(psa);
    if ((psa->fFeatures & (FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH | FADF_VARIANT)) == 0) {
        std::memcpy(copy->pvData, psa->pvData, count * psa->cbElements);
        *ppsaOut = copy;
        return S_OK;
    }
    for (std::uint64_t i = 0; i < count; ++i) {
        const HRESULT hr = CopyElement(vt, psa->cbElements, ElementAt(psa, i), ElementAt(copy, i));
        if (FAILED(hr)) {
            SafeArrayDestroy(copy);
            return hr;
        }
    }
    *ppsaOut = copy;
    return S_OK;
}
