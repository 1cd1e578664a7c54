// The port adapter over the scripted transport.
#include "kelvo/comport.h"
#include "kelvo/runtime.h"
#include "support/scripted_transport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace kelvo::test {
namespace {

using ::testing::ElementsAre;

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

TEST(ComPort, CallsPassThroughWithTheirArguments) {
    ScriptedTransport* t = ScriptedTransport::Prepare();
    CComPort port;
    ASSERT_EQ(port.open(u"COM:3,921600,N,8,1", nullptr), 1);
    EXPECT_EQ(t->openedWith, u"COM:3,921600,N,8,1");
    t->Deliver({7, 8, 9});
    unsigned char one = 0;
    unsigned char buf[2] = {};
    unsigned char out[2] = {0xAA, 0xBB};
    EXPECT_EQ(port.lock(12345), 1);
    EXPECT_EQ(port.get(&one), 1);
    EXPECT_EQ(port.get(buf, 250, 2), 1);
    EXPECT_EQ(port.get(buf, 250, 1), 0); // nothing left: the transport's time-out
    EXPECT_EQ(port.put(out, 2), 1);
    EXPECT_EQ(port.put(0x55), 1);
    EXPECT_EQ(port.flush(), 1);
    port.unlock();
    EXPECT_EQ(one, 7);
    EXPECT_EQ(buf[1], 9);
    EXPECT_THAT(t->calls, ElementsAre("Open", "Lock", "Read 1 1000", "Read 2 250", "Read 1 250",
                                      "Write aa bb", "Write 55", "Flush", "Unlock"));
    port.close();
    EXPECT_EQ(t->calls.back(), "Close");
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
