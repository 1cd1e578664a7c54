#include "counted_object.h"
#include "kelvo/automation.h"
#include "support/variant_of.h"

#include <gtest/gtest.h>

using kelvo::BstrView;
using kelvo::Variant;

TEST(Variant, ClearFreesWhatTheVariantOwns) {
    CKelvo object;
    object.AddRef(); // the test's own: it never drops to zero
    Variant v;
    v.vt = VT_DISPATCH;
    v.pdispVal = &object;
    object.AddRef();
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(std::pair(Refs(object), v.vt), std::pair(1u, VARTYPE{VT_EMPTY}));

    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(u"owned");
    EXPECT_EQ(VariantClear(&v), S_OK); // ASan reports a leak otherwise

    v.vt = VT_ARRAY | VT_BSTR;
    v.parray = SafeArrayCreateVector(VT_BSTR, 0, 2);
    LONG index = 1;
    const kelvo::Bstr element(u"x");
    ASSERT_EQ(SafeArrayPutElement(v.parray, &index, element.get()), S_OK);
    EXPECT_EQ(VariantClear(&v), S_OK); // frees the array and its string

    // A reference is not the variant's own.
    BSTR text = SysAllocString(u"kept");
    v.vt = VT_BYREF | VT_BSTR;
    v.byref = &text;
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(v.vt, VT_EMPTY);
    EXPECT_EQ(BstrView(text), u"kept");
    SysFreeString(text);
}

TEST(Variant, ClearRefusesLockedArrayAndBadType) {
    Variant v;
    v.vt = VT_ARRAY | VT_I4;
    v.parray = SafeArrayCreateVector(VT_I4, 0, 4);
    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(v.parray, &data), S_OK);
    EXPECT_EQ(VariantClear(&v), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(v.vt, VT_ARRAY | VT_I4);
    ASSERT_EQ(SafeArrayUnaccessData(v.parray), S_OK);

    VARIANT bad = kelvo::test::VariantOf(0x0FFF, 0);
    EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
    EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

TEST(Variant, CopyIsDeepAndClearsDestination) {
    CKelvo object;
    object.AddRef(); // the test's own: it never drops to zero
    Variant src;
    src.vt = VT_UNKNOWN;
    src.punkVal = static_cast<IDispatch*>(&object);
    object.AddRef();
    Variant dest;
    dest.vt = VT_BSTR;
    dest.bstrVal = SysAllocString(u"old"); // freed by the copy
    ASSERT_EQ(VariantCopy(&dest, &src), S_OK);
    EXPECT_EQ(Refs(object), 3u);
    EXPECT_EQ(dest.punkVal, static_cast<IDispatch*>(&object));

    Variant text;
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(u"deep");
    ASSERT_EQ(VariantCopy(&dest, &text), S_OK);
    EXPECT_EQ(Refs(object), 2u);
    EXPECT_NE(dest.bstrVal, text.bstrVal);
    EXPECT_EQ(BstrView(dest.bstrVal), u"deep");

    ASSERT_EQ(VariantCopy(&dest, &dest), S_OK);
    EXPECT_EQ(BstrView(dest.bstrVal), u"deep");
}

TEST(Variant, CopyFromAnElementOfTheDestinationsOwnArray) {
    Variant dest;
    dest.vt = VT_ARRAY | VT_VARIANT;
    dest.parray = SafeArrayCreateVector(VT_VARIANT, 0, 1);
    Variant element;
    element.vt = VT_BSTR;
    element.bstrVal = SysAllocString(u"inner");
    LONG index = 0;
    ASSERT_EQ(SafeArrayPutElement(dest.parray, &index, &element), S_OK);
    auto* inner = static_cast<VARIANT*>(dest.parray->pvData);
    ASSERT_EQ(VariantCopy(&dest, inner), S_OK);
    EXPECT_EQ(dest.vt, VT_BSTR);
    EXPECT_EQ(BstrView(dest.bstrVal), u"inner");
}
