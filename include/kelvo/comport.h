// CComPort: the adapter between the component and the transport component.
// It holds one transport reference and turns every call into a yes/no result:
// 1 when a transport is held and its call succeeded, else 0.
#pragma once

#include "kelvo/automation.h"
#include "kelvo/portway.h"

class CComPort {
public:
    CComPort();
    ~CComPort();
    CComPort(const CComPort&) = delete;
    // Copies the pointer without adding a reference, as the exported class does.
    CComPort& operator=(const CComPort& other);

    int open(const char16_t* connection, PortwayErrorCode* error);
    void close();
    int lock(unsigned long timeout); // the time-out is not passed on
    void unlock();
    int put(unsigned char b);
    int put(unsigned char* buf, unsigned long len);
    unsigned char get();
    int get(unsigned char* buf);
    int get(unsigned char* buf, unsigned short timeout, unsigned long len);
    int flush();
    void reset();
    int Reset();
    void sbreak();
    int ReadData(short* buf, LONG len, short timeout);
    int WriteData(short* buf, LONG len);
    int ReadVariantData(VARIANT* data, LONG arg);
    int WriteVariantData(VARIANT data);
    int SendVariantMessage(LONG id, VARIANT msg);
    int ReceiveVariantMessage(LONG* id, LONG* len, VARIANT* msg, LONG timeout);
    int ReceiveVariantEvent(LONG* a, LONG* b, LONG* c, VARIANT* v, LONG timeout);
    int WriteMsg(ULONG id, unsigned char* buf, int len);
    int ReadMsg(ULONG* id, unsigned char* buf, ULONG* len, unsigned short timeout);
    int AddMessageFilter(LONG a, LONG b);
    int RemMessageFilter(LONG a, LONG b);
    int RequireMessage(LONG a, LONG b);
    int GetProperty(short id, VARIANT* value);
    int PutProperty(short id, VARIANT value);
    int get_ErrorCode(PortwayErrorCode* error);

private:
    IPortway* transport_;
};

// The pair a VT_BYREF message variant refers to in WriteMsg and ReadMsg.
struct PortwayMessageBuffer {
    LONG length;
    unsigned char* data;
};
