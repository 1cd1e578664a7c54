// The component's dispatch interfaces. Operation order after IDispatch and the
// dispatch ids of the interface table are the interface contract.
#pragma once

#include "kelvo/automation.h"

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

struct IDeviceLink : IDispatch {
    virtual HRESULT get_Address(SHORT* pVal) = 0;
    virtual HRESULT put_Address(SHORT newVal) = 0;
    virtual HRESULT get_MsgOn(LONG* pVal) = 0;
    virtual HRESULT put_MsgOn(LONG newVal) = 0;
    virtual HRESULT get_Port(SHORT* pVal) = 0;
    virtual HRESULT put_Port(SHORT newVal) = 0;
    virtual HRESULT get_Protocol(BSTR* pVal) = 0;
    virtual HRESULT put_Protocol(BSTR newVal) = 0;
    virtual HRESULT get_TimeOut(SHORT* pVal) = 0;
    virtual HRESULT put_TimeOut(SHORT newVal) = 0;
    virtual HRESULT get_Success(LONG* pVal) = 0;
    virtual HRESULT get_ErrorCode(SHORT* pVal) = 0;
    virtual HRESULT get_ErrorString(BSTR* pVal) = 0;
    virtual HRESULT get_Active(LONG* pVal) = 0;
    virtual HRESULT get_ErrTimeOut(LONG* pVal) = 0;
    virtual HRESULT get_Option(LONG* pVal) = 0;
    virtual HRESULT put_Option(LONG newVal) = 0;
    virtual HRESULT Config() = 0;
    virtual HRESULT Init(BSTR fName) = 0;
    virtual HRESULT Packet(SHORT CmdId, BYTE* BuffOut, LONG LenOut, BYTE* BuffIn, LONG* LenIn) = 0;
    virtual HRESULT ShowMsg(BSTR text) = 0;
    virtual HRESULT get_Par(LONG ipa, LONG subI, SHORT type, VARIANT* pVal) = 0;
    virtual HRESULT put_Par(LONG ipa, LONG subI, SHORT type, VARIANT newVal) = 0;
    virtual HRESULT get_ParDWord(LONG ipa, LONG subI, LONG* pVal) = 0;
    virtual HRESULT put_ParDWord(LONG ipa, LONG subI, LONG newVal) = 0;
    virtual HRESULT get_ParFloat(LONG ipa, LONG subI, float* pVal) = 0;
    virtual HRESULT put_ParFloat(LONG ipa, LONG subI, float newVal) = 0;
    virtual HRESULT get_ParInt(LONG ipa, LONG subI, SHORT* pVal) = 0;
    virtual HRESULT put_ParInt(LONG ipa, LONG subI, SHORT newVal) = 0;
    virtual HRESULT get_ParWord(LONG ipa, LONG subI, LONG* pVal) = 0;
    virtual HRESULT put_ParWord(LONG ipa, LONG subI, LONG newVal) = 0;
    virtual HRESULT get_InputD(LONG ipa, LONG subI, LONG* pVal) = 0;
    virtual HRESULT get_InputA(LONG ipa, LONG subI, VARIANT* pVal) = 0;
    virtual HRESULT get_OutputD(LONG ipa, LONG subI, LONG* pVal) = 0;
    virtual HRESULT put_OutputD(LONG ipa, LONG subI, LONG newVal) = 0;
    virtual HRESULT get_OutputA(LONG ipa, LONG subI, VARIANT* pVal) = 0;
    virtual HRESULT put_OutputA(LONG ipa, LONG subI, VARIANT newVal) = 0;
    virtual HRESULT get_ConfString(BSTR* pVal) = 0;
    virtual HRESULT put_ConfString(BSTR newVal) = 0;
    virtual HRESULT get_Broadcast(LONG* pVal) = 0;
    virtual HRESULT put_Broadcast(LONG newVal) = 0;
    virtual HRESULT EraseFlash() = 0;
    virtual HRESULT ReadMemory(LONG address, LONG len, VARIANT* data) = 0;
    virtual HRESULT WriteMemory(LONG address, LONG len, VARIANT data) = 0;
    virtual HRESULT get_DeviceStatus(LONG* pVal) = 0;
    virtual HRESULT Close() = 0;
    virtual HRESULT PacketVARIANT(SHORT CmdId, VARIANT arrOut, LONG LenIn, INT resultType,
                                  VARIANT* arrIn) = 0;
    virtual HRESULT ReadMemory64(LONGLONG address, LONG len, VARIANT* data) = 0;
    virtual HRESULT WriteMemory64(LONGLONG address, LONG len, VARIANT data) = 0;
    virtual HRESULT ReadMemoryConsistent(LONG address, LONG len, VARIANT* data) = 0;
    virtual HRESULT WriteMemoryConsistent(LONG address, LONG len, VARIANT data) = 0;
    virtual HRESULT WriteMemoryBit(LONG address, LONG bit, LONG value) = 0;
    virtual HRESULT WriteMemoryBitMask(LONG address, LONG mask, LONG value) = 0;
};

struct IDeviceLink2 : IDeviceLink {
    virtual HRESULT get_Feature(LONG id, VARIANT* pVal) = 0;
    virtual HRESULT put_Feature(LONG id, VARIANT newVal) = 0;
    virtual HRESULT ReadMultiplePars_Init() = 0;
    virtual HRESULT ReadMultiplePars_Add(LONG ipa, LONG subI, SHORT type) = 0;
    virtual HRESULT ReadMultiplePars_Execute(VARIANT* values) = 0;
    virtual HRESULT WriteMultiplePars_Init() = 0;
    virtual HRESULT WriteMultiplePars_Add(LONG ipa, LONG subI, SHORT type, VARIANT value) = 0;
    virtual HRESULT WriteMultiplePars_Execute() = 0;
};

struct IDeviceLink3 : IDeviceLink2 {
    virtual HRESULT ReadMemoryCond(LONG address, LONG len, LONG cond, VARIANT* data) = 0;
    virtual HRESULT WriteMemoryCond(LONG address, LONG len, LONG cond, VARIANT data) = 0;
    virtual HRESULT ReadMemoryCond64(LONGLONG address, LONG len, LONG cond, VARIANT* data) = 0;
    virtual HRESULT WriteMemoryCond64(LONGLONG address, LONG len, LONG cond, VARIANT data) = 0;
    virtual HRESULT ReadMemoryMultiCond(VARIANT addresses, LONG cond, VARIANT* data) = 0;
    virtual HRESULT WriteMemoryMultiCond(VARIANT addresses, LONG cond, VARIANT data) = 0;
    virtual HRESULT ReadMemoryMultiCond64(VARIANT addresses, LONG cond, VARIANT* data) = 0;
    virtual HRESULT WriteMemoryMultiCond64(VARIANT addresses, LONG cond, VARIANT data) = 0;
    virtual HRESULT WriteMemoryBitCond(LONG address, LONG bit, LONG value, LONG cond) = 0;
    virtual HRESULT WriteMemoryBitMaskCond(LONG address, LONG mask, LONG value, LONG cond) = 0;
    virtual HRESULT WriteMemoryBit64(LONGLONG address, LONG bit, LONG value) = 0;
    virtual HRESULT WriteMemoryBitMask64(LONGLONG address, LONG mask, LONG value) = 0;
    virtual HRESULT WriteMemoryBitCond64(LONGLONG address, LONG bit, LONG value, LONG cond) = 0;
    virtual HRESULT WriteMemoryBitMaskCond64(LONGLONG address, LONG mask, LONG value,
                                             LONG cond) = 0;
    virtual HRESULT GetAlTargetPropertyValue(BSTR name, VARIANT* value) = 0;
    virtual HRESULT GetAlTargetPropertiesValue(VARIANT names, VARIANT* values) = 0;
    virtual HRESULT SetAlTargetPropertyValue(BSTR name, VARIANT value) = 0;
};

struct IDeviceLink4 : IDeviceLink3 {
    virtual HRESULT CRCMemory(LONG address, LONG len, LONG* crc) = 0;
    virtual HRESULT ReadDataBlock(BYTE rtNum, BYTE dbType, USHORT dbIdx, ULONG dbSubIdx,
                                  ULONG byteOffset, ULONG len, BYTE* buf) = 0;
    virtual HRESULT WriteDataBlock(BYTE rtNum, BYTE dbType, USHORT dbIdx, ULONG dbSubIdx,
                                   ULONG byteOffset, ULONG len, BYTE* buf) = 0;
    virtual HRESULT ReadPushData(BYTE* buf, ULONG bufsize, USHORT* len) = 0;
    virtual HRESULT PushDataCommand(BYTE streamID, ULONG cmd, VARIANT val, LONG* result) = 0;
};

struct IKelvo : IDeviceLink4 {
    virtual HRESULT Reset_Command() = 0;
    virtual HRESULT Restore_Command(LONG filter) = 0;
    virtual HRESULT ReadErrorLog(USHORT index, BSTR fileName, BSTR parserPath) = 0;
    virtual HRESULT DeleteErrorLog() = 0;
    virtual HRESULT ResetError(BYTE axisNum) = 0;
    virtual HRESULT ScanUDP(BSTR srcIP, LONG TimeOut, BSTR* result) = 0;
    virtual HRESULT Ping(SHORT blinkTime, BSTR* result) = 0;
    virtual HRESULT CreateCertificate(LONG startDate, LONG expireDate) = 0;
    virtual HRESULT GetAllUsers(BSTR* result) = 0;
    virtual HRESULT GetPermissionsAndRole(BSTR username, VARIANT* result) = 0;
    virtual HRESULT SetPermissionsAndRole(BSTR username, BYTE role, VARIANT permissions) = 0;
    virtual HRESULT ChangePasswordUser(BSTR oldPassword, BSTR newPassword) = 0;
    virtual HRESULT ChangePasswordAdmin(BSTR username, BSTR newPassword) = 0;
    virtual HRESULT CreateUser(BSTR username, BSTR password) = 0;
    virtual HRESULT DeleteUser(BSTR username) = 0;
    virtual HRESULT EncryptPassword(BSTR pass, BSTR* result) = 0;
    virtual HRESULT DecryptPassword(BSTR pass, BSTR* result) = 0;
    virtual HRESULT GetBVAdminKey(BSTR* result) = 0;
    virtual HRESULT ResetAdminPassword(BSTR key) = 0;
    virtual HRESULT ReadSSCBuffer(ULONG offset, BYTE len, BYTE* buf) = 0;
    virtual HRESULT Save_Command() = 0;
    virtual HRESULT get_CANNode(BYTE* pVal) = 0;
    virtual HRESULT put_CANNode(BYTE newVal) = 0;
    virtual HRESULT get_SSLCertNotBefore(ULONG* pVal) = 0;
    virtual HRESULT get_SSLCertNotAfter(ULONG* pVal) = 0;
    virtual HRESULT get_EEPROMAccess(VARIANT_BOOL* pVal) = 0;
    virtual HRESULT put_EEPROMAccess(VARIANT_BOOL newVal) = 0;
    virtual HRESULT SafeDataWrite(SAFEARRAY* data) = 0;
    virtual HRESULT SafeDataRead(SAFEARRAY** result) = 0;
    virtual HRESULT ReadSafeObject(USHORT index, BYTE subindex, ULONG* result) = 0;
};

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

// Identifiers of the component, chosen once; they never change.
constexpr char16_t KELVO_PROGID[] = u"Kelvo.Kelvo.1";
constexpr char16_t KELVO_VERSION_INDEPENDENT_PROGID[] = u"Kelvo.Kelvo";
constexpr CLSID CLSID_Kelvo{
    0x02E55C62, 0xD293, 0x4537, {0x99, 0x92, 0x75, 0x86, 0x25, 0xC5, 0x13, 0x90}};
constexpr GUID LIBID_Kelvo{
    0xE55027FD, 0x2986, 0x47A7, {0xA2, 0x8A, 0x89, 0x57, 0x5C, 0x3A, 0x1A, 0x58}};
constexpr IID IID_IDeviceLink{
    0xC53349F6, 0xC695, 0x4458, {0xAF, 0x07, 0x6C, 0xAA, 0x9E, 0x80, 0x39, 0xDF}};
constexpr IID IID_IDeviceLink2{
    0xCBD579CA, 0x8105, 0x4CA5, {0x8D, 0xDA, 0x2A, 0xCB, 0x8F, 0x3C, 0xA0, 0x34}};
constexpr IID IID_IDeviceLink3{
    0xEB8D0D14, 0xC394, 0x48FA, {0xA3, 0x9B, 0x32, 0x24, 0x85, 0xC6, 0xA2, 0x4C}};
constexpr IID IID_IDeviceLink4{
    0x56A40877, 0x0E63, 0x4452, {0x83, 0x83, 0xF2, 0x7E, 0x9D, 0x08, 0xA8, 0xED}};
constexpr IID IID_IKelvo{
    0xBE018503, 0xFE46, 0x4B11, {0x91, 0x5C, 0x64, 0xB6, 0x08, 0xF5, 0x2B, 0x85}};
