// IDispatch served from the interface table: names, dispatch ids, argument
// conversion and refusals.
#include "device/kelvo_object.h"
#include "support/variant_of.h"

#include <gtest/gtest.h>

namespace kelvo::test {
namespace {

class Dispatch : public ::testing::Test {
protected:
    DISPID Id(const char16_t* name) {
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        DISPID id = 0;
        EXPECT_EQ(k->GetIDsOfNames(IID_IDispatch, names, 1, 0, &id), S_OK);
        return id;
    }
    HRESULT Call(DISPID id, WORD flags, DISPPARAMS p = {}, VARIANT* result = nullptr,
                 UINT* argErr = nullptr) {
        return k->Invoke(id, IID_IDispatch, 0, flags, &p, result, nullptr, argErr);
    }
    HRESULT Put(const char16_t* name, VARIANT value, UINT* argErr = nullptr) {
        DISPID named = DISPID_PROPERTYPUT;
        return Call(Id(name), DISPATCH_PROPERTYPUT, {&value, &named, 1, 1}, nullptr, argErr);
    }
    HRESULT Get(const char16_t* name, VARIANT* result) {
        return Call(Id(name), DISPATCH_PROPERTYGET, {}, result);
    }
    CKelvo object_;
    CKelvo* k = &object_;
};

TEST_F(Dispatch, NamesResolveWithoutRegardToCase) {
    EXPECT_EQ(Id(u"SAVE_COMMAND"), Id(u"save_command"));
    EXPECT_EQ(Id(u"timeout"), Id(u"TimeOut"));
    LPOLESTR names[] = {const_cast<LPOLESTR>(u"NoSuchThing")};
    DISPID id = 0;
    EXPECT_EQ(k->GetIDsOfNames(IID_IDispatch, names, 1, 0, &id), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(id, DISPID_UNKNOWN);
}

TEST_F(Dispatch, PutConvertsTextAndGetReturnsTypedValue) {
    Variant text;
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(u" 1234 ");
    EXPECT_EQ(Put(u"TimeOut", text), S_OK);
    EXPECT_EQ(k->timeOut, 1234);
    Variant result;
    EXPECT_EQ(Get(u"TimeOut", &result), S_OK);
    EXPECT_EQ(result.vt, VT_I2);
    EXPECT_EQ(result.iVal, 1234);

    // EEPROMAccess travels as a bool.
    EXPECT_EQ(Put(u"EEPROMAccess", VariantOf(VT_I4, 0)), S_OK);
    EXPECT_FALSE(k->eepromAccess);
    k->eepromAccess = true;
    EXPECT_EQ(Get(u"EEPROMAccess", &result), S_OK);
    EXPECT_EQ(result.vt, VT_BOOL);
    EXPECT_EQ(result.boolVal, VARIANT_TRUE);

    // A text result is handed to the caller; without a result variant it is
    // freed, not leaked.
    Variant protocol;
    EXPECT_EQ(Get(u"Protocol", &protocol), S_OK);
    ASSERT_EQ(protocol.vt, VT_BSTR);
    EXPECT_EQ(BstrView(protocol.bstrVal), u"Kelvo");
    EXPECT_EQ(Call(Id(u"Protocol"), DISPATCH_PROPERTYGET), S_OK);
}

TEST_F(Dispatch, MethodsReachTheObject) {
    EXPECT_EQ(Call(Id(u"Save_Command"), DISPATCH_METHOD), E_FAIL);
    EXPECT_EQ(k->errorCode, 6);
    VARIANT args[3] = {VariantOf(VT_I4, 1), VariantOf(VT_I4, 1), VariantOf(VT_I4, 1)};
    EXPECT_EQ(Call(Id(u"WriteMemoryBit"), DISPATCH_METHOD, {args, nullptr, 3, 0}), E_NOTIMPL);
}

TEST_F(Dispatch, BadArgumentsAreRefused) {
    Variant text;
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(u"x");
    UINT argErr = 99;
    EXPECT_EQ(Put(u"Address", text, &argErr), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argErr, 0u);

    EXPECT_EQ(Put(u"TimeOut", VariantOf(VT_I4, 70000)), DISP_E_OVERFLOW);
    EXPECT_EQ(k->timeOut, 10000);

    VARIANT args[2] = {VariantOf(VT_I4, 1), VariantOf(VT_I4, 1)};
    EXPECT_EQ(Call(Id(u"Init"), DISPATCH_METHOD), DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(Call(Id(u"WriteMemoryBit"), DISPATCH_METHOD, {args, nullptr, 2, 0}),
              DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(Call(0x12345, DISPATCH_METHOD), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Call(Id(u"Success"), DISPATCH_PROPERTYPUT), DISP_E_MEMBERNOTFOUND);
}

} // namespace
} // namespace kelvo::test
