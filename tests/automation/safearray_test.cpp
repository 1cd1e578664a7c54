#include "counted_object.h"
#include "kelvo/automation.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

using kelvo::Bstr;
using kelvo::BstrView;
using kelvo::Variant;

namespace {

// Destroys an array at the end of a test.
struct ArrayOwner {
    SAFEARRAY* psa;
    ~ArrayOwner() { EXPECT_EQ(SafeArrayDestroy(psa), S_OK); }
};

} // namespace

TEST(SafeArray, CreateKeepsVartypeZeroesDataAndRefusesBadShapes) {
    for (const VARTYPE vt : {VARTYPE{VT_UI1}, VARTYPE{VT_BOOL}, VARTYPE{VT_R8}, VARTYPE{VT_BSTR},
                             VARTYPE{VT_VARIANT}}) {
        SCOPED_TRACE(vt);
        ArrayOwner a{SafeArrayCreateVector(vt, 0, 3)};
        ASSERT_NE(a.psa, nullptr);
        VARTYPE stored = VT_EMPTY;
        ASSERT_EQ(SafeArrayGetVartype(a.psa, &stored), S_OK);
        EXPECT_EQ(stored, vt);
        const auto* bytes = static_cast<const unsigned char*>(a.psa->pvData);
        for (UINT i = 0; i < 3 * SafeArrayGetElemsize(a.psa); ++i)
            ASSERT_EQ(bytes[i], 0) << "data is zeroed";
    }
    for (const VARTYPE bad :
         {VARTYPE{VT_EMPTY}, VARTYPE{VT_NULL}, VARTYPE{VT_VOID}, VARTYPE{0x0FFF}})
        EXPECT_EQ(SafeArrayCreateVector(bad, 0, 1), nullptr) << bad;
    // Bad shapes.
    const SAFEARRAYBOUND one{1, 0};
    EXPECT_EQ(SafeArrayCreate(VT_I4, 0, &one), nullptr);
    EXPECT_EQ(SafeArrayCreate(VT_I4, 1, nullptr), nullptr);
    // 2^32 x 2^16 x 8 bytes: refused rather than attempted.
    const SAFEARRAYBOUND huge[] = {{0xFFFFFFFF, 0}, {0x10000, 0}};
    EXPECT_EQ(SafeArrayCreate(VT_R8, 2, huge), nullptr);
    EXPECT_EQ(SafeArrayCreateVector(VT_UI1, 0x7FFFFFFF, 2), nullptr); // upper bound overflows

    // An empty vector: its upper bound below the lower, no element, but a copy.
    ArrayOwner empty{SafeArrayCreateVector(VT_VARIANT, 0, 0)};
    ASSERT_NE(empty.psa, nullptr);
    LONG upper = 0, index = 0;
    ASSERT_EQ(SafeArrayGetUBound(empty.psa, 1, &upper), S_OK);
    EXPECT_EQ(upper, -1);
    Variant out;
    EXPECT_EQ(SafeArrayGetElement(empty.psa, &index, &out), DISP_E_BADINDEX);
    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(SafeArrayCopy(empty.psa, &copy), S_OK);
    EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
}

TEST(SafeArray, BoundsAndMultiDimensionLayout) {
    // Two rows (lower bound 1) by three columns (lower bound -1).
    const SAFEARRAYBOUND bounds[] = {{2, 1}, {3, -1}};
    ArrayOwner a{SafeArrayCreate(VT_I4, 2, bounds)};
    ASSERT_NE(a.psa, nullptr);
    EXPECT_EQ(SafeArrayGetDim(a.psa), 2u);
    LONG lower = 0, upper = 0;
    for (const auto& [dim, low, high] : {std::tuple{1u, 1, 2}, std::tuple{2u, -1, 1}}) {
        ASSERT_EQ(SafeArrayGetLBound(a.psa, dim, &lower), S_OK);
        ASSERT_EQ(SafeArrayGetUBound(a.psa, dim, &upper), S_OK);
        EXPECT_EQ(std::pair(lower, upper), std::pair(low, high));
    }
    EXPECT_EQ(SafeArrayGetLBound(a.psa, 0, &lower), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetUBound(a.psa, 3, &upper), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetLBound(a.psa, 1, nullptr), E_INVALIDARG);
    EXPECT_EQ(SafeArrayGetUBound(nullptr, 1, &upper), E_INVALIDARG);

    for (LONG row = 1; row <= 2; ++row)
        for (LONG column = -1; column <= 1; ++column) {
            const LONG index[] = {row, column};
            LONG value = row * 10 + column;
            ASSERT_EQ(SafeArrayPutElement(a.psa, index, &value), S_OK);
        }
    // The first index varies fastest.
    const auto* data = static_cast<const LONG*>(a.psa->pvData);
    EXPECT_EQ(std::vector<LONG>(data, data + 6), (std::vector<LONG>{9, 19, 10, 20, 11, 21}));
    const LONG index[] = {2, 0};
    LONG value = 0;
    ASSERT_EQ(SafeArrayGetElement(a.psa, index, &value), S_OK);
    EXPECT_EQ(value, 20);

    for (const auto& bad : {std::pair<LONG, LONG>{0, 0}, {3, 0}, {1, -2}, {1, 2}}) {
        const LONG outside[] = {bad.first, bad.second};
        EXPECT_EQ(SafeArrayGetElement(a.psa, outside, &value), DISP_E_BADINDEX);
        EXPECT_EQ(SafeArrayPutElement(a.psa, outside, &value), DISP_E_BADINDEX);
    }
    EXPECT_EQ(SafeArrayGetElement(a.psa, index, nullptr), E_INVALIDARG);
    EXPECT_EQ(SafeArrayPutElement(a.psa, index, nullptr), E_INVALIDARG);
    EXPECT_EQ(SafeArrayGetElement(a.psa, nullptr, &value), E_INVALIDARG);
}

TEST(SafeArray, BstrElementsAreCopiedInAndOut) {
    ArrayOwner a{SafeArrayCreateVector(VT_BSTR, 5, 2)};
    const Bstr first(u"first");
    LONG index = 5;
    ASSERT_EQ(SafeArrayPutElement(a.psa, &index, first.get()), S_OK);
    const Bstr replacement(u"second");
    ASSERT_EQ(SafeArrayPutElement(a.psa, &index, replacement.get()), S_OK); // "first" copy freed

    Bstr out;
    ASSERT_EQ(SafeArrayGetElement(a.psa, &index, out.out()), S_OK);
    EXPECT_EQ(out.view(), u"second");
    EXPECT_NE(out.get(), replacement.get());

    ++index; // never written: a null string
    ASSERT_EQ(SafeArrayGetElement(a.psa, &index, out.out()), S_OK);
    EXPECT_EQ(out.get(), nullptr);
    ASSERT_EQ(SafeArrayPutElement(a.psa, &index, nullptr), S_OK);
}

TEST(SafeArray, InterfaceElementsHoldReferences) {
    CKelvo object;
    object.AddRef(); // the test's own: it never drops to zero
    {
        ArrayOwner a{SafeArrayCreateVector(VT_DISPATCH, 0, 2)};
        LONG index = 0;
        ASSERT_EQ(SafeArrayPutElement(a.psa, &index, static_cast<IDispatch*>(&object)), S_OK);
        EXPECT_EQ(Refs(object), 2u);
        IDispatch* out = nullptr;
        ASSERT_EQ(SafeArrayGetElement(a.psa, &index, &out), S_OK);
        EXPECT_EQ(out, &object);
        EXPECT_EQ(Refs(object), 3u);
        out->Release();

        SAFEARRAY* copy = nullptr;
        ASSERT_EQ(SafeArrayCopy(a.psa, &copy), S_OK);
        EXPECT_EQ(Refs(object), 3u);
        ASSERT_EQ(SafeArrayDestroy(copy), S_OK);
        ASSERT_EQ(SafeArrayPutElement(a.psa, &index, nullptr), S_OK);
        EXPECT_EQ(Refs(object), 1u);
        ASSERT_EQ(SafeArrayPutElement(a.psa, &index, static_cast<IDispatch*>(&object)), S_OK);
    }
    EXPECT_EQ(Refs(object), 1u);
}

TEST(SafeArray, CopyIsDeep) {
    const SAFEARRAYBOUND bounds[] = {{2, 0}, {2, 3}};
    ArrayOwner a{SafeArrayCreate(VT_VARIANT, 2, bounds)};
    const LONG index[] = {1, 4};
    Variant text;
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(u"deep");
    ASSERT_EQ(SafeArrayPutElement(a.psa, index, &text), S_OK);

    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(SafeArrayCopy(a.psa, &copy), S_OK);
    ArrayOwner b{copy};
    LONG lower = 0;
    ASSERT_EQ(SafeArrayGetLBound(copy, 2, &lower), S_OK);
    EXPECT_EQ(lower, 3);
    VARTYPE vt = VT_EMPTY;
    ASSERT_EQ(SafeArrayGetVartype(copy, &vt), S_OK);
    EXPECT_EQ(vt, VT_VARIANT);
    Variant out;
    ASSERT_EQ(SafeArrayGetElement(copy, index, &out), S_OK);
    EXPECT_EQ(BstrView(out.bstrVal), u"deep");
    const auto* original = static_cast<const VARIANT*>(a.psa->pvData) + 3;
    const auto* copied = static_cast<const VARIANT*>(copy->pvData) + 3;
    EXPECT_NE(original->bstrVal, copied->bstrVal);

    ArrayOwner bytes{SafeArrayCreateVector(VT_UI1, 0, 3)};
    static_cast<BYTE*>(bytes.psa->pvData)[2] = 0xAB;
    SAFEARRAY* bytesCopy = nullptr;
    ASSERT_EQ(SafeArrayCopy(bytes.psa, &bytesCopy), S_OK);
    ArrayOwner c{bytesCopy};
    EXPECT_EQ(static_cast<BYTE*>(bytesCopy->pvData)[2], 0xAB);

    SAFEARRAY* none = a.psa;
    EXPECT_EQ(SafeArrayCopy(nullptr, &none), S_OK);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(SafeArrayCopy(a.psa, nullptr), E_INVALIDARG);
}
