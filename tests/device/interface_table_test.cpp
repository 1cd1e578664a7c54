// The interface table against the published operation list, and IDispatch
// served from it.
#include "device/interface_table.h"
#include "device/kelvo_object.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace kelvo::test {
namespace {

// The operation lists of the interfaces as published: "get"/"put" mark
// accessors; a number after a name is its dispatch id; a put shares its get's
// id; in IDeviceLink3/4 every operation takes the next id.
const char* const kIDeviceLink =
    "get Address 0x60020000, put Address, get MsgOn 0x60020002, put MsgOn, get Port 0x60020004, "
    "put Port, get Protocol 0x60020006, put Protocol, get TimeOut 0x60020008, put TimeOut, get "
    "Success 0x6002000a, get ErrorCode 0x6002000b, get ErrorString 0x6002000c, get Active "
    "0x6002000d, get ErrTimeOut 0x6002000e, get Option 0x6002000f, put Option, Config 0x60020011, "
    "Init 0x60020012, Packet 0x60020013, ShowMsg 0x60020014, get Par 0x60020015, put Par, get "
    "ParDWord 0x60020017, put ParDWord, get ParFloat 0x60020019, put ParFloat, get ParInt "
    "0x6002001b, put ParInt, get ParWord 0x6002001d, put ParWord, get InputD 0x6002001f, get "
    "InputA 0x60020020, get OutputD 0x60020021, put OutputD, get OutputA 0x60020023, put "
    "OutputA, get ConfString 0x60020025, put ConfString, get Broadcast 0x60020027, put "
    "Broadcast, EraseFlash 0x60020029, ReadMemory 0x6002002a, WriteMemory 0x6002002b, get "
    "DeviceStatus 0x6002002c, Close 0x6002002d, PacketVARIANT 0x6002002e, ReadMemory64 "
    "0x6002002f, WriteMemory64 0x60020030, ReadMemoryConsistent 0x60020031, "
    "WriteMemoryConsistent 0x60020032, WriteMemoryBit 0x60020033, WriteMemoryBitMask 0x60020034";
const char* const kIDeviceLink2 =
    "get Feature 0x60030000, put Feature, ReadMultiplePars_Init 0x60030002, "
    "ReadMultiplePars_Add 0x60030003, ReadMultiplePars_Execute 0x60030004, "
    "WriteMultiplePars_Init 0x60030005, WriteMultiplePars_Add 0x60030006, "
    "WriteMultiplePars_Execute 0x60030007";
const char* const kIDeviceLink3 =
    "ReadMemoryCond, WriteMemoryCond, ReadMemoryCond64, WriteMemoryCond64, ReadMemoryMultiCond, "
    "WriteMemoryMultiCond, ReadMemoryMultiCond64, WriteMemoryMultiCond64, WriteMemoryBitCond, "
    "WriteMemoryBitMaskCond, WriteMemoryBit64, WriteMemoryBitMask64, WriteMemoryBitCond64, "
    "WriteMemoryBitMaskCond64, GetAlTargetPropertyValue, GetAlTargetPropertiesValue, "
    "SetAlTargetPropertyValue";
const char* const kIDeviceLink4 =
    "CRCMemory, ReadDataBlock, WriteDataBlock, ReadPushData, PushDataCommand";
const char* const kIKelvoMethods1 =
    "Reset_Command, Restore_Command, ReadErrorLog, DeleteErrorLog, ResetError, ScanUDP, Ping, "
    "CreateCertificate, GetAllUsers, GetPermissionsAndRole, SetPermissionsAndRole, "
    "ChangePasswordUser, ChangePasswordAdmin, CreateUser, DeleteUser, EncryptPassword, "
    "DecryptPassword, GetBVAdminKey, ResetAdminPassword, ReadSSCBuffer, Save_Command";
const char* const kIKelvoProperties =
    "get CANNode 0x60060015, put CANNode, get SSLCertNotBefore 0x60060017, get SSLCertNotAfter "
    "0x60060018, get EEPROMAccess 0x60060019, put EEPROMAccess";
const char* const kIKelvoMethods2 = "SafeDataWrite, SafeDataRead, ReadSafeObject";

struct Expected {
    std::string interfaceName;
    std::string kind;
    std::string name;
    DISPID id;
};

std::vector<std::string> Items(const char* list) {
    std::vector<std::string> items;
    std::stringstream in(list);
    std::string item;
    while (std::getline(in, item, ',')) {
        item.erase(0, item.find_first_not_of(' '));
        items.push_back(item);
    }
    return items;
}

// Explicit ids as written; a put takes its get's id.
void AddWithIds(std::vector<Expected>& out, const char* iface, const char* list) {
    for (const std::string& item : Items(list)) {
        std::stringstream words(item);
        std::string first, second, third;
        words >> first >> second >> third;
        Expected e{iface, "method", first, 0};
        std::string idText = second;
        if (first == "get" || first == "put") {
            e.kind = first;
            e.name = second;
            idText = third;
        }
        if (e.kind == "put")
            e.id = out.back().id;
        else
            e.id = static_cast<DISPID>(std::stoul(idText, nullptr, 16));
        out.push_back(e);
    }
}

void AddCounted(std::vector<Expected>& out, const char* iface, const char* list, DISPID first) {
    for (const std::string& name : Items(list))
        out.push_back({iface, "method", name, first++});
}

std::vector<Expected> PublishedList() {
    std::vector<Expected> out;
    AddWithIds(out, "IDeviceLink", kIDeviceLink);
    AddWithIds(out, "IDeviceLink2", kIDeviceLink2);
    AddCounted(out, "IDeviceLink3", kIDeviceLink3, 0x60040000);
    AddCounted(out, "IDeviceLink4", kIDeviceLink4, 0x60050000);
    AddCounted(out, "IKelvo", kIKelvoMethods1, 1);
    AddWithIds(out, "IKelvo", kIKelvoProperties);
    AddCounted(out, "IKelvo", kIKelvoMethods2, 22);
    return out;
}

const char* KindText(MemberKind k) {
    switch (k) {
    case MemberKind::Method:
        return "method";
    case MemberKind::Get:
        return "get";
    case MemberKind::Put:
        return "put";
    }
    return "?";
}

TEST(InterfaceTable, MatchesThePublishedOrderNamesAndIds) {
    const std::vector<Expected> expected = PublishedList();
    const auto table = InterfaceTable();
    ASSERT_EQ(table.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const InterfaceMember& m = table[i];
        SCOPED_TRACE("row " + std::to_string(i) + " " + expected[i].name);
        EXPECT_EQ(Utf16ToUtf8(m.name), expected[i].name);
        EXPECT_EQ(KindText(m.kind), expected[i].kind);
        EXPECT_EQ(m.id, expected[i].id);
        EXPECT_EQ(m.interfaceName, expected[i].interfaceName);
    }
}

class Dispatch : public ::testing::Test {
protected:
    Dispatch() : k(new CKelvo) { k->AddRef(); }
    ~Dispatch() override { k->Release(); }

    DISPID Id(const char16_t* name) {
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        DISPID id = 0;
        EXPECT_EQ(k->GetIDsOfNames(IID_IDispatch, names, 1, 0, &id), S_OK);
        return id;
    }
    HRESULT Put(const char16_t* name, VARIANT value) {
        DISPID named = DISPID_PROPERTYPUT;
        DISPPARAMS p{&value, &named, 1, 1};
        return k->Invoke(Id(name), IID_IDispatch, 0, DISPATCH_PROPERTYPUT, &p, nullptr, nullptr,
                         nullptr);
    }
    HRESULT Get(const char16_t* name, VARIANT* result) {
        DISPPARAMS p{nullptr, nullptr, 0, 0};
        return k->Invoke(Id(name), IID_IDispatch, 0, DISPATCH_PROPERTYGET, &p, result, nullptr,
                         nullptr);
    }
    CKelvo* k;
};

TEST_F(Dispatch, NamesResolveWithoutRegardToCase) {
    EXPECT_EQ(Id(u"timeout"), 0x60020008);
    EXPECT_EQ(Id(u"SAVE_COMMAND"), 21);
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
}

TEST_F(Dispatch, EepromAccessTravelsAsBool) {
    Variant zero;
    zero.vt = VT_I4;
    zero.lVal = 0;
    EXPECT_EQ(Put(u"EEPROMAccess", zero), S_OK);
    EXPECT_FALSE(k->eepromAccess);
    Variant result;
    k->eepromAccess = true;
    EXPECT_EQ(Get(u"EEPROMAccess", &result), S_OK);
    EXPECT_EQ(result.vt, VT_BOOL);
    EXPECT_EQ(result.boolVal, VARIANT_TRUE);
}

TEST_F(Dispatch, TextResultIsHandedToTheCaller) {
    Variant result;
    EXPECT_EQ(Get(u"Protocol", &result), S_OK);
    ASSERT_EQ(result.vt, VT_BSTR);
    EXPECT_EQ(BstrView(result.bstrVal), u"Kelvo");
    // Without a result variant the string is freed, not leaked.
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(k->Invoke(Id(u"Protocol"), IID_IDispatch, 0, DISPATCH_PROPERTYGET, &none, nullptr,
                        nullptr, nullptr),
              S_OK);
}

TEST_F(Dispatch, BadArgumentsAreRefused) {
    Variant text;
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(u"x");
    UINT argErr = 99;
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS p{&text, &named, 1, 1};
    EXPECT_EQ(k->Invoke(Id(u"Address"), IID_IDispatch, 0, DISPATCH_PROPERTYPUT, &p, nullptr,
                        nullptr, &argErr),
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argErr, 0u);

    Variant big;
    big.vt = VT_I4;
    big.lVal = 70000;
    EXPECT_EQ(Put(u"TimeOut", big), DISP_E_OVERFLOW);
    EXPECT_EQ(k->timeOut, 10000);

    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(
        k->Invoke(Id(u"Init"), IID_IDispatch, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
        DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(
        k->Invoke(0x12345, IID_IDispatch, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
        DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(k->Invoke(Id(u"Success"), IID_IDispatch, 0, DISPATCH_PROPERTYPUT, &none, nullptr,
                        nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
}

TEST_F(Dispatch, MethodReachesTheObject) {
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(k->Invoke(Id(u"Save_Command"), IID_IDispatch, 0, DISPATCH_METHOD, &none, nullptr,
                        nullptr, nullptr),
              E_FAIL);
    EXPECT_EQ(k->errorCode, 6);
}

TEST_F(Dispatch, ArgumentCountIsChecked) {
    VARIANT args[3];
    for (auto& a : args) {
        VariantInit(&a);
        a.vt = VT_I4;
        a.lVal = 1;
    }
    DISPPARAMS three{args, nullptr, 3, 0};
    DISPPARAMS two{args, nullptr, 2, 0};
    EXPECT_EQ(k->Invoke(Id(u"WriteMemoryBit"), IID_IDispatch, 0, DISPATCH_METHOD, &three, nullptr,
                        nullptr, nullptr),
              E_NOTIMPL);
    EXPECT_EQ(k->Invoke(Id(u"WriteMemoryBit"), IID_IDispatch, 0, DISPATCH_METHOD, &two, nullptr,
                        nullptr, nullptr),
              DISP_E_BADPARAMCOUNT);
}

} // namespace
} // namespace kelvo::test
