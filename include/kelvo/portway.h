// The transport component's interface: the byte link under every device exchange.
// It is created by the programmatic identifier "Portway.Portway2.1".
#pragma once

#include "kelvo/automation.h"

// Error codes a transport leaves for get_ErrorCode after a failed call.
enum PortwayErrorCode : std::int32_t {
    PW_OK = 0,
    PW_BAD_CONNECTION_TEXT = 1, // the connection text has no known form
    PW_NO_DEVICE = 2,           // COMn maps to no character device
    PW_PORT_OPEN_FAILED = 3,    // the serial device or the socket bridge did not open
    PW_SOCKET_FAILED = 4,       // a socket could not be created or configured
    PW_TLS_FAILED = 5,          // TLS handshake failed or the fingerprint did not match
    PW_NOT_OPEN = 6,            // the call needs an open link
    PW_LOCK_FAILED = 7,         // the link lock could not be taken
    PW_IO_FAILED = 8,           // read or write failed
    PW_HOST_NOT_FOUND = 9,      // the host name or address did not resolve
    PW_CONNECT_FAILED = 10,     // connection refused, unreachable or timed out
    PW_TIMEOUT = 11,            // a read did not complete in time
    PW_PEER_CLOSED = 12,        // the peer closed the connection
    PW_NO_CERTIFICATE = 13,     // no TLS certificate: the link is not a TLS link
    PW_BAD_ARGUMENT = 14,       // a null buffer, or a property id or value not accepted
};

// Transport properties for GetProperty.
constexpr SHORT PORTWAY_PROP_CERT_NOT_BEFORE = 2;
constexpr SHORT PORTWAY_PROP_CERT_NOT_AFTER = 3;
// SHA-256 fingerprint the TLS peer certificate must have (BSTR of hex digits, colons
// allowed; empty: no pin). Without it, $KELVO_TLS_FINGERPRINT pins.
constexpr SHORT PORTWAY_PROP_TLS_PIN = 4;
// SHA-256 fingerprint of the connected TLS peer's certificate (BSTR, lower-case hex).
constexpr SHORT PORTWAY_PROP_TLS_FINGERPRINT = 5;
// Why the last Open failed, in the system's words (BSTR, e.g. "cannot reach
// 10.0.0.7:17221: connection refused"); empty after an Open that succeeded.
constexpr SHORT PORTWAY_PROP_OPEN_FAILURE = 6;
// The error code of the last call that failed since Open (VT_I4, PW_OK when
// none did): unlike get_ErrorCode it is not cleared by the calls that succeed
// after it (an Unlock after a failed Read).
constexpr SHORT PORTWAY_PROP_LAST_FAILURE = 7;

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

// Operation order after IDispatch is the transport contract.
struct IPortway : IDispatch {
    virtual HRESULT Open(BSTR connection) = 0;
    virtual HRESULT Close() = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Lock() = 0;
    virtual HRESULT Unlock() = 0;
    // Succeeds only when exactly `length` bytes arrived within `timeout` ms.
    virtual HRESULT Read(void* buffer, ULONG length, ULONG timeout) = 0;
    virtual HRESULT Write(const void* buffer, ULONG length) = 0;
    virtual HRESULT WriteVariantData(VARIANT data) = 0;
    virtual HRESULT ReadVariantData(VARIANT* data, LONG arg) = 0;
    virtual HRESULT get_ErrorCode(PortwayErrorCode* error) = 0;
    virtual HRESULT SendVariantMessage(LONG id, VARIANT msg) = 0;
    virtual HRESULT ReceiveVariantMessage(LONG* id, LONG* len, VARIANT* msg, LONG timeout) = 0;
    virtual HRESULT AddMessageFilter(LONG a, LONG b) = 0;
    virtual HRESULT RemMessageFilter(LONG a, LONG b) = 0;
    virtual HRESULT RequireMessage(LONG a, LONG b) = 0;
    virtual HRESULT ReceiveVariantEvent(LONG* a, LONG* b, LONG* c, VARIANT* v, LONG timeout) = 0;
    virtual HRESULT PutProperty(SHORT id, VARIANT value) = 0;
    virtual HRESULT GetProperty(SHORT id, VARIANT* value) = 0;
    virtual HRESULT Flush() = 0;
};

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

constexpr char16_t PORTWAY_PROGID[] = u"Portway.Portway2.1";
constexpr CLSID CLSID_Portway{
    0xAFBB70AD, 0xBE75, 0x4D1D, {0x95, 0xC3, 0x5C, 0x1E, 0x53, 0xFD, 0xC7, 0x82}};
constexpr IID IID_IPortway{
    0xE458DB03, 0x2EF3, 0x404B, {0xA6, 0xAA, 0xA3, 0x16, 0x8A, 0x6F, 0x2B, 0x68}};
