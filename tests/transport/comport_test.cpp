// The port adapter over the scripted transport.
#include "kelvo/comport.h"
#include "kelvo/runtime.h"
#include "support/scripted_transport.h"

#include <gtest/gtest.h>

namespace kelvo::test {
namespace {

// A closed adapter (a refused connection text leaves one) calls nothing.
TEST(ComPort, ClosedAdapterCallsNothingAndAnswersZero) {
    ScriptedTransport* t = ScriptedTransport::Prepare();
    CComPort port;
    unsigned char buf[4] = {1, 2, 3, 4};
    ULONG id = 0, len = 4;
    EXPECT_EQ(port.lock(2000), 0);
    EXPECT_EQ(port.put(buf, 4), 0);
    EXPECT_EQ(port.get(buf, 100, 4), 0);
    EXPECT_EQ(port.flush(), 0);
    // The two that build a message buffer before they reach the transport.
    EXPECT_EQ(port.WriteMsg(1, buf, 4), 0);
    EXPECT_EQ(port.ReadMsg(&id, buf, &len, 10), 0);
    port.close();
    EXPECT_TRUE(t->calls.empty());
    EXPECT_EQ(buf[0], 1);
    t->Release();
}

TEST(ComPort, FailedOpenLeavesTheAdapterClosedWithTheTransportCode) {
    ScriptedTransport* t = ScriptedTransport::Prepare();
    t->FailOpen(PW_CONNECT_FAILED);
    CComPort port;
    PortwayErrorCode error = PW_OK;
    EXPECT_EQ(port.open(u"TCPIP:127.0.0.1/1,100", &error), 0);
    EXPECT_EQ(error, PW_CONNECT_FAILED);
    EXPECT_EQ(port.lock(0), 0);
    EXPECT_EQ(t->Count("Lock"), 0);
    t->Release();

    // Without the transport class the code is left alone.
    UnregisterLinkedClass(CLSID_Portway);
    error = PW_TIMEOUT;
    EXPECT_EQ(port.open(u"COM:1,921600,N,8,1", &error), 0);
    EXPECT_EQ(error, PW_TIMEOUT);
}

TEST(ComPort, OpenOnAnOpenAdapterClosesTheOldTransport) {
    ScriptedTransport* first = ScriptedTransport::Prepare();
    CComPort port;
    ASSERT_EQ(port.open(u"COM:1,921600,N,8,1", nullptr), 1);
    ScriptedTransport* second = ScriptedTransport::Prepare();
    ASSERT_EQ(port.open(u"COM:2,921600,N,8,1", nullptr), 1);
    EXPECT_EQ(first->Count("Close"), 1);
    EXPECT_EQ(second->Count("Close"), 0);
    first->Release();

    // GetProperty hands back the transport's value.
    second->SetProperty(3, 2000000000u);
    VARIANT v;
    VariantInit(&v);
    EXPECT_EQ(port.GetProperty(3, &v), 1);
    EXPECT_EQ(v.ulVal, 2000000000u);
    EXPECT_EQ(port.GetProperty(2, &v), 0);
    port.close();
    second->Release();
}

} // namespace
} // namespace kelvo::test
