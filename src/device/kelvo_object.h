// CKelvo: one object is one connection to one device. It holds the connection
// settings, the port adapter once connected, the frame counter and the error
// state of the last operation. Every interface operation is a method here; the
// operations are implemented in the source of their family (see README).
#pragma once

#include "kelvo/automation.h"
#include "kelvo/comport.h"
#include "kelvo/kelvo.h"
#include "protocol/transaction.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

// Error codes left in errorCode.
enum KelvoError : std::int32_t {
    KE_OK = 0,
    KE_DEVICE = 1,        // the device answered with its error status (code in deviceStatus)
    KE_TYPE = 3,          // parameter type unsupported or not matching the value bytes
    KE_FRAME_COUNT = 4,   // echoed frame counter differs
    KE_STATUS = 5,        // unexpected status word
    KE_NO_PORT = 6,       // no port adapter, or the lock was refused
    KE_TIMEOUT = 7,       // time-out while reading from the port
    KE_SEND = 8,          // the request could not be written
    KE_INDEX = 9,         // index out of range or index echo differs
    KE_LENGTH = 10,       // length out of range or answer length differs
    KE_USER_ECHO = 11,    // the answer does not echo the request's user name
    KE_ADDRESS = 12,      // serial address echo differs
    KE_CRC = 13,          // serial CRC differs
    KE_DESCRIPTION = 14,  // error-log description unusable
    KE_TRANSPORT_9 = 15,  // transport error 9 at open
    KE_TRANSPORT_10 = 16, // transport error 10 at open
};

// The object's own results besides S_OK and E_FAIL.
constexpr HRESULT KELVO_E_ADAPTER = MakeHresult(0x80040500);
constexpr HRESULT KELVO_E_CONVERSION = MakeHresult(0x80040501);
constexpr HRESULT KELVO_E_OPEN = MakeHresult(0x80040502);
constexpr HRESULT KELVO_E_CONNECTION_TEXT = MakeHresult(0x80040503);
constexpr HRESULT KELVO_E_PERMISSIONS = MakeHresult(0x80040509);

class CKelvo final : public IKelvo, public ISupportErrorInfo {
public:
    CKelvo();
    ~CKelvo();
    CKelvo(const CKelvo&) = delete;
    CKelvo& operator=(const CKelvo&) = delete;

    // ---- Fields, in declaration order ----
    std::u16string version;
    std::int32_t errorCode = 0;
    std::int32_t port = 1;
    std::int32_t baudRate = 0; // set by a parsed serial transport part
    BOOL tcpMode = 1;
    BOOL serialMode = 0;
    BOOL sslMode = 0;
    std::u16string userName;
    std::u16string password;
    std::int32_t connectTimeout = 5000;
    std::u16string host;
    std::int32_t timeOut = 10000;
    std::uint8_t canNode = 0;
    std::uint8_t address = 255;
    bool active = false;
    std::int32_t msgOn = 0;
    BOOL sockMode = 0;
    bool rememberPort = false;
    kelvo::Bstr sockName;
    std::uint16_t frameCount = 0;
    std::uint32_t deviceStatus = 0;
    std::unique_ptr<CComPort> portAdapter;
    std::map<std::uint32_t, std::u16string> messages; // section "ERR" of the message file
    bool eepromAccess = true;

    // Host-side progress of the error-log download: called after every frame
    // with its number and the record bytes so far (not part of the interfaces).
    std::function<void(int frame, std::size_t bytes)> downloadProgress;

    // ---- Frame engine ----
    std::uint16_t NextFrameCount();
    // canNode, counter, length of the rest, command, payload.
    std::vector<std::uint8_t> BuildRequest(std::uint16_t command,
                                           std::span<const std::uint8_t> payload);
    bool SendRequest(std::span<const std::uint8_t> frame);
    int ReadSerialAddress(std::uint16_t& crc, const char16_t* prefix);
    int CheckResponseCrc(std::uint16_t calculated, const char16_t* prefix, int step);
    int ReadDeviceError(std::uint16_t& crc, const char16_t* prefix);
    // Reads the answer time-out as the port adapter takes it: the low 16 bits.
    unsigned short ReadTimeout() const { return static_cast<unsigned short>(timeOut); }
    // The standard transaction: request, answer header, status, data, CRC.
    HRESULT Transact(const kelvo::Exchange& exchange);
    // Login session on the device (internal operations, not interface methods).
    // Both return true on success and leave errorCode unchanged then.
    bool Login(std::u16string_view user, std::u16string_view pass, bool allowRelogin);
    bool Logout();

    // Stores the code and returns the matching result.
    HRESULT Finish(std::int32_t code) {
        errorCode = code;
        return code == KE_OK ? S_OK : E_FAIL;
    }

    // ---- IUnknown ----
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;

    // ---- IDispatch ----
    HRESULT GetTypeInfoCount(UINT* pctinfo) override;
    HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                          DISPID* rgDispId) override;
    HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                   DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                   UINT* puArgErr) override;

    // ---- ISupportErrorInfo ----
    HRESULT InterfaceSupportsErrorInfo(REFIID riid) override;

    // ---- Aggregation ----
    // Inside an outer object, QueryInterface, AddRef and Release of every
    // interface go to the outer object's IUnknown; the outer object holds the
    // object's own (non-delegating) IUnknown.
    void SetOuter(IUnknown* outer) { outer_ = outer; }
    IUnknown* NonDelegatingUnknown() { return &inner_; }

    // ---- IDeviceLink ----
    HRESULT get_Address(SHORT* pVal) override;
    HRESULT put_Address(SHORT newVal) override;
    HRESULT get_MsgOn(LONG* pVal) override;
    HRESULT put_MsgOn(LONG newVal) override;
    HRESULT get_Port(SHORT* pVal) override;
    HRESULT put_Port(SHORT newVal) override;
    HRESULT get_Protocol(BSTR* pVal) override;
    HRESULT put_Protocol(BSTR newVal) override;
    HRESULT get_TimeOut(SHORT* pVal) override;
    HRESULT put_TimeOut(SHORT newVal) override;
    HRESULT get_Success(LONG* pVal) override;
    HRESULT get_ErrorCode(SHORT* pVal) override;
    HRESULT get_ErrorString(BSTR* pVal) override;
    HRESULT get_Active(LONG* pVal) override;
    HRESULT get_ErrTimeOut(LONG* pVal) override;
    HRESULT get_Option(LONG* pVal) override;
    HRESULT put_Option(LONG newVal) override;
    HRESULT Config() override;
    HRESULT Init(BSTR fName) override;
    HRESULT Packet(SHORT CmdId, BYTE* BuffOut, LONG LenOut, BYTE* BuffIn, LONG* LenIn) override;
    HRESULT ShowMsg(BSTR text) override;
    HRESULT get_Par(LONG ipa, LONG subI, SHORT type, VARIANT* pVal) override;
    HRESULT put_Par(LONG ipa, LONG subI, SHORT type, VARIANT newVal) override;
    HRESULT get_ParDWord(LONG ipa, LONG subI, LONG* pVal) override;
    HRESULT put_ParDWord(LONG ipa, LONG subI, LONG newVal) override;
    HRESULT get_ParFloat(LONG ipa, LONG subI, float* pVal) override;
    HRESULT put_ParFloat(LONG ipa, LONG subI, float newVal) override;
    HRESULT get_ParInt(LONG ipa, LONG subI, SHORT* pVal) override;
    HRESULT put_ParInt(LONG ipa, LONG subI, SHORT newVal) override;
    HRESULT get_ParWord(LONG ipa, LONG subI, LONG* pVal) override;
    HRESULT put_ParWord(LONG ipa, LONG subI, LONG newVal) override;
    HRESULT get_InputD(LONG ipa, LONG subI, LONG* pVal) override;
    HRESULT get_InputA(LONG ipa, LONG subI, VARIANT* pVal) override;
    HRESULT get_OutputD(LONG ipa, LONG subI, LONG* pVal) override;
    HRESULT put_OutputD(LONG ipa, LONG subI, LONG newVal) override;
    HRESULT get_OutputA(LONG ipa, LONG subI, VARIANT* pVal) override;
    HRESULT put_OutputA(LONG ipa, LONG subI, VARIANT newVal) override;
    HRESULT get_ConfString(BSTR* pVal) override;
    HRESULT put_ConfString(BSTR newVal) override;
    HRESULT get_Broadcast(LONG* pVal) override;
    HRESULT put_Broadcast(LONG newVal) override;
    HRESULT EraseFlash() override;
    HRESULT ReadMemory(LONG address, LONG len, VARIANT* data) override;
    HRESULT WriteMemory(LONG address, LONG len, VARIANT data) override;
    HRESULT get_DeviceStatus(LONG* pVal) override;
    HRESULT Close() override;
    HRESULT PacketVARIANT(SHORT CmdId, VARIANT arrOut, LONG LenIn, INT resultType,
                          VARIANT* arrIn) override;
    HRESULT ReadMemory64(LONGLONG address, LONG len, VARIANT* data) override;
    HRESULT WriteMemory64(LONGLONG address, LONG len, VARIANT data) override;
    HRESULT ReadMemoryConsistent(LONG address, LONG len, VARIANT* data) override;
    HRESULT WriteMemoryConsistent(LONG address, LONG len, VARIANT data) override;
    HRESULT WriteMemoryBit(LONG address, LONG bit, LONG value) override;
    HRESULT WriteMemoryBitMask(LONG address, LONG mask, LONG value) override;

    // ---- IDeviceLink2 ----
    HRESULT get_Feature(LONG id, VARIANT* pVal) override;
    HRESULT put_Feature(LONG id, VARIANT newVal) override;
    HRESULT ReadMultiplePars_Init() override;
    HRESULT ReadMultiplePars_Add(LONG ipa, LONG subI, SHORT type) override;
    HRESULT ReadMultiplePars_Execute(VARIANT* values) override;
    HRESULT WriteMultiplePars_Init() override;
    HRESULT WriteMultiplePars_Add(LONG ipa, LONG subI, SHORT type, VARIANT value) override;
    HRESULT WriteMultiplePars_Execute() override;

    // ---- IDeviceLink3 ----
    HRESULT ReadMemoryCond(LONG address, LONG len, LONG cond, VARIANT* data) override;
    HRESULT WriteMemoryCond(LONG address, LONG len, LONG cond, VARIANT data) override;
    HRESULT ReadMemoryCond64(LONGLONG address, LONG len, LONG cond, VARIANT* data) override;
    HRESULT WriteMemoryCond64(LONGLONG address, LONG len, LONG cond, VARIANT data) override;
    HRESULT ReadMemoryMultiCond(VARIANT addresses, LONG cond, VARIANT* data) override;
    HRESULT WriteMemoryMultiCond(VARIANT addresses, LONG cond, VARIANT data) override;
    HRESULT ReadMemoryMultiCond64(VARIANT addresses, LONG cond, VARIANT* data) override;
    HRESULT WriteMemoryMultiCond64(VARIANT addresses, LONG cond, VARIANT data) override;
    HRESULT WriteMemoryBitCond(LONG address, LONG bit, LONG value, LONG cond) override;
    HRESULT WriteMemoryBitMaskCond(LONG address, LONG mask, LONG value, LONG cond) override;
    HRESULT WriteMemoryBit64(LONGLONG address, LONG bit, LONG value) override;
    HRESULT WriteMemoryBitMask64(LONGLONG address, LONG mask, LONG value) override;
    HRESULT WriteMemoryBitCond64(LONGLONG address, LONG bit, LONG value, LONG cond) override;
    HRESULT WriteMemoryBitMaskCond64(LONGLONG address, LONG mask, LONG value, LONG cond) override;
    HRESULT GetAlTargetPropertyValue(BSTR name, VARIANT* value) override;
    HRESULT GetAlTargetPropertiesValue(VARIANT names, VARIANT* values) override;
    HRESULT SetAlTargetPropertyValue(BSTR name, VARIANT value) override;

    // ---- IDeviceLink4 ----
    HRESULT CRCMemory(LONG address, LONG len, LONG* crc) override;
    HRESULT ReadDataBlock(BYTE rtNum, BYTE dbType, USHORT dbIdx, ULONG dbSubIdx, ULONG byteOffset,
                          ULONG len, BYTE* buf) override;
    HRESULT WriteDataBlock(BYTE rtNum, BYTE dbType, USHORT dbIdx, ULONG dbSubIdx, ULONG byteOffset,
                           ULONG len, BYTE* buf) override;
    HRESULT ReadPushData(BYTE* buf, ULONG bufsize, USHORT* len) override;
    HRESULT PushDataCommand(BYTE streamID, ULONG cmd, VARIANT val, LONG* result) override;

    // ---- IKelvo ----
    HRESULT Reset_Command() override;
    HRESULT Restore_Command(LONG filter) override;
    HRESULT ReadErrorLog(USHORT index, BSTR fileName, BSTR parserPath) override;
    HRESULT DeleteErrorLog() override;
    HRESULT ResetError(BYTE axisNum) override;
    HRESULT ScanUDP(BSTR srcIP, LONG TimeOut, BSTR* result) override;
    HRESULT Ping(SHORT blinkTime, BSTR* result) override;
    HRESULT CreateCertificate(LONG startDate, LONG expireDate) override;
    HRESULT GetAllUsers(BSTR* result) override;
    HRESULT GetPermissionsAndRole(BSTR username, VARIANT* result) override;
    HRESULT SetPermissionsAndRole(BSTR username, BYTE role, VARIANT permissions) override;
    HRESULT ChangePasswordUser(BSTR oldPassword, BSTR newPassword) override;
    HRESULT ChangePasswordAdmin(BSTR username, BSTR newPassword) override;
    HRESULT CreateUser(BSTR username, BSTR password) override;
    HRESULT DeleteUser(BSTR username) override;
    HRESULT EncryptPassword(BSTR pass, BSTR* result) override;
    HRESULT DecryptPassword(BSTR pass, BSTR* result) override;
    HRESULT GetBVAdminKey(BSTR* result) override;
    HRESULT ResetAdminPassword(BSTR key) override;
    HRESULT ReadSSCBuffer(ULONG offset, BYTE len, BYTE* buf) override;
    HRESULT Save_Command() override;
    HRESULT get_CANNode(BYTE* pVal) override;
    HRESULT put_CANNode(BYTE newVal) override;
    HRESULT get_SSLCertNotBefore(ULONG* pVal) override;
    HRESULT get_SSLCertNotAfter(ULONG* pVal) override;
    HRESULT get_EEPROMAccess(VARIANT_BOOL* pVal) override;
    HRESULT put_EEPROMAccess(VARIANT_BOOL newVal) override;
    HRESULT SafeDataWrite(SAFEARRAY* data) override;
    HRESULT SafeDataRead(SAFEARRAY** result) override;
    HRESULT ReadSafeObject(USHORT index, BYTE subindex, ULONG* result) override;

private:
    HRESULT CertificateDate(SHORT property, ULONG* pVal);

    struct InnerUnknown final : IUnknown {
        explicit InnerUnknown(CKelvo* o) : owner(o) {}
        HRESULT QueryInterface(REFIID riid, void** ppv) override;
        ULONG AddRef() override;
        ULONG Release() override;
        CKelvo* owner;
    };

    std::atomic<ULONG> refCount_{0};
    InnerUnknown inner_{this};
    IUnknown* outer_ = nullptr;
};

// "a, b, c, d" file version text to the shown form ("1.2", "1.2.3", ...).
std::u16string FormatVersionText(std::u16string_view fileVersion);
