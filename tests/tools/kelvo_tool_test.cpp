// The built kelvo program without a device, and its invoke and save commands
// against kelvo-sim on its own loopback addresses.
#include "support/sim_process.h"
#include "tool_testing.h"

#include <regex>

namespace kelvo::test {
namespace {

TEST(KelvoTool, UsageErrorsExitTwoAndPrintNothing) {
    // Words: the input-output accessors are indexed by ipa and subI; push needs
    // a connection text.
    const Words cases[] = {
        "",
        "bogus",
        "invoke",
        "invoke NoSuchMember",
        "invoke TimeOut 5",
        "invoke --put TimeOut 99999",
        "invoke --put Protocol",
        "invoke ReadDataBlock 1 2 3 4 5 6 7",
        "invoke InputD 1",
        "--prop Nope=1 invoke Protocol",
        "--prop TimeOut=abc invoke TimeOut",
        "--prop TimeOut invoke TimeOut",
        "--prop Par=1 invoke Protocol",
        "--bogus invoke Protocol",
        "save",
        "save extra",
        "encrypt",
        "conf extra",
        "push",
        "push cmd 1 2",
        "-c COM:1 push cmd 256 1",
        "-c COM:1 push cmd 1",
        "-c COM:1 push cmd 1 2 x",
        "-c COM:1 push cmd 1 2 i4:x",
        "-c COM:1 push read",
        "-c COM:1 push read 65536",
        "-c COM:1 push read 4 --start 1",
        "-c COM:1 push read 4 --start 256,2",
    };
    for (const Words& args : cases)
        Check({args, 2});
}

TEST(KelvoTool, OfflineCommandsPrintTheirResultAlone) {
    const ToolCase cases[] = {
        {"invoke Protocol", 0, "Kelvo\n"},
        {"invoke protocol", 0, "Kelvo\n"},
        {"--prop TimeOut=1234 invoke TimeOut", 0, "1234\n"},
        {"--prop TimeOut=-1 invoke TimeOut", 0, "-1\n"},
        {"--prop Address=0x1234 invoke Address", 0, "52\n"},
        {"--prop EEPROMAccess=0 invoke EEPROMAccess", 0, "0\n"},
        {"--prop EEPROMAccess=5 invoke EEPROMAccess", 0, "-1\n"},
        {"--prop Address=5 --prop CANNode=7 invoke CANNode", 0, "7\n"},
        {"invoke TimeOut --prop TimeOut=7", 0, "7\n"},
        {"invoke --put TimeOut 5", 0, ""},
        {"invoke Success", 0, "1\n"},
        // The I/O accessors take ipa and subI and do nothing.
        {"invoke InputD 1 2", 0, "0\n"},
        {"invoke --put OutputA 1 2 i4:5", 0, ""},
        {"--json invoke TimeOut", 0, JsonOk("10000")},
        {"--json invoke Protocol", 0, JsonOk("\"Kelvo\"")},
        {"--json invoke --put MsgOn 3", 0, JsonOk("null")},
        {"conf", 0, "Kelvo:255,10000,0#TCPIP:/17221,5000\n"},
        {"-c Kelvo:7,2000,3#COM:1 conf", 0, "Kelvo:255,2000,3#COM:1,921600,N,8,1\n",
         "warning: 'Kelvo:7,2000,3': the address item is not read: 255 is used, so the answer's "
         "bus address is not checked\n"},
        // Warnings quote the password item masked.
        {"-c Kelvo:255,500,2,admin,39383B#TCPIP:10.0.0.7/17222,3000,SSL conf", 0,
         "Kelvo:255,500,2,admin,39383B#TCPIP:10.0.0.7/17222,3000,SSL\n"},
        {"-c Kelvo:1,500,2,admin,39383B#COM:1 conf", 0,
         "Kelvo:255,500,2,admin,39383B#COM:1,921600,N,8,1\n",
         "warning: 'Kelvo:1,500,2,admin,***': the address item is not read"},
        // The transport part is refused after its port was taken.
        {"-c COM:3,115200 conf", 0, "Kelvo:255,10000,0#COM:3,921600,N,8,1\n",
         "warning: 'COM:3,115200': the baud rate must be 921600; what follows in this part is "
         "ignored\n"},
        {"conf", 0, "Kelvo:255,10000,0#COM:4,921600,N,8,1\n", "", {"KELVO_CONF=COM:4"}},
        // An empty connection text keeps invoke off the link.
        {{"-c", "", "invoke", "Protocol"}, 0, "Kelvo\n", "", {"KELVO_CONF=TCPIP:127.0.0.42/1,300"}},
        {"encrypt abc", 0, "39383B\n"},
        {{"encrypt", ""}, 0, "\n"},
        {"decrypt 39383b", 0, "abc\n"},
        {"decrypt abc", 0, "?\n"},
        {{"decrypt", ""}, 0, "?\n"},
        // Failures in the component: its error code, or the failed result alone.
        {"invoke Save_Command", 1, "", "error 6: "},
        {"invoke ReadMemory64 0 4", 1, "", "error: ReadMemory64 failed (hresult 0x80004001)\n"},
        {"--json invoke CRCMemory 0 0", 1,
         "{\"ok\":false,\"hresult\":2147500033,\"errorCode\":0,\"deviceStatus\":0,\"result\":"
         "null,\"hresultHex\":\"0x80004001\",\"deviceStatusHex\":\"0x00000000\",\"message\":"
         "\"CRCMemory failed (hresult 0x80004001)\",\"exitStatus\":1}\n"},
    };
    for (const ToolCase& c : cases)
        Check(c);
}

TEST(KelvoTool, ListNamesEveryOperation) {
    ProgramOutcome o = Kelvo({"invoke", "--list"});
    ASSERT_EQ(o.status, 0) << Describe(o);
    EXPECT_NE(o.out.find("get Par(long, long, short) -> variant\n"), std::string::npos);
    EXPECT_NE(o.out.find("\nSave_Command()\n"), std::string::npos);
    EXPECT_NE(o.out.find("\nput EEPROMAccess(bool)\n"), std::string::npos);
}

TEST(KelvoToolSimulator, SavesAndReportsADeviceErrorWithItsCode) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.0.43", "--no-tls", "--fault", "device-error:0x15000002",
                           "--fault-command", "0x300E", "--fault-at", "2", "--fault-count", "2"}));
    const std::string conf = "TCPIP:127.0.0.43/17221,3000";
    Check({{"-c", conf, "save"}});
    ProgramOutcome text = Check({{"-c", conf, "save"}, 1, "", "error 1: "});
    EXPECT_TRUE(std::regex_match(text.err, std::regex("error 1: [^\n]*, device 0x15000002\n")))
        << text.err;
    Check({{"--json", "-c", conf, "save"},
           1,
           "{\"ok\":false,\"hresult\":2147500037,\"errorCode\":1,\"deviceStatus\":352321538,"
           "\"result\":null,\"hresultHex\":\"0x80004005\",\"deviceStatusHex\":\"0x15000002\","
           "\"message\":\"This operation needs a login, device 0x15000002\",\"exitStatus\":1}\n"});
    // The fault has passed: the device answers again; the connection text from
    // the environment, the trace on standard error.
    Check({{"--json", "-c", conf, "save"}, 0, JsonOk("null")});
    ProgramOutcome traced = Kelvo({"-v", "invoke", "Save_Command"}, {"KELVO_CONF=" + conf});
    EXPECT_EQ(traced.status, 0) << Describe(traced);
    EXPECT_NE(traced.err.find("CKelvo::Save_Command"), std::string::npos) << traced.err;
}

} // namespace
} // namespace kelvo::test
