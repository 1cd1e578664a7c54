// The built kelvo program without a device and against kelvo-sim on its own
// loopback addresses: its commands and results, and what it says when something
// is wrong: the piece of a refused connection text and its rule, a transport
// failure in the system's words, a warning for what parsing changes, the
// nearest command, a device error with its code, a login hint, and passwords
// kept out of what it prints.
#include "support/sim_process.h"
#include "support/temp_folder.h"
#include "tool_testing.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>

namespace kelvo::test {
namespace {

// A TCP listener whose accept queue is full: connections to it get no answer.
class SilentListener {
public:
    explicit SilentListener(const char* address) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(17221);
        inet_pton(AF_INET, address, &a.sin_addr);
        const int on = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        ready_ = bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                 listen(listener_, 0) == 0 &&
                 connect(filler_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~SilentListener() {
        close(filler_);
        close(listener_);
    }
    bool ready() const { return ready_; }

private:
    int listener_ = socket(AF_INET, SOCK_STREAM, 0);
    int filler_ = socket(AF_INET, SOCK_STREAM, 0);
    bool ready_ = false;
};

// Commands that need no device, usage errors, and what the tool says when
// a connection text or a link fails.
TEST(KelvoTool, OfflineResultsUsageErrorsAndMessages) {
    SilentListener silent("127.0.123.3");
    ASSERT_TRUE(silent.ready());
    const TempFolder devices("tool-devices");
    const std::vector<std::string> noLinks = {"KELVO_DEVICES=" + devices.path()};
    const ToolCase cases[] = {
        // Usage errors print nothing. The input-output accessors are indexed by
        // ipa and subI; push needs a connection text.
        {"", 2},
        {"bogus", 2},
        {"invoke", 2},
        {"invoke NoSuchMember", 2},
        {"invoke TimeOut 5", 2},
        {"invoke --put TimeOut 99999", 2},
        {"invoke --put Protocol", 2},
        {"invoke ReadDataBlock 1 2 3 4 5 6 7", 2},
        {"invoke InputD 1", 2},
        {"--prop Nope=1 invoke Protocol", 2},
        {"--prop TimeOut=abc invoke TimeOut", 2},
        {"--prop TimeOut invoke TimeOut", 2},
        {"--prop Par=1 invoke Protocol", 2},
        {"--bogus invoke Protocol", 2},
        {"save", 2},
        {"save extra", 2},
        {"encrypt", 2},
        {"conf extra", 2},
        {"push", 2},
        {"push cmd 1 2", 2},
        {"-c COM:1 push cmd 256 1", 2},
        {"-c COM:1 push cmd 1", 2},
        {"-c COM:1 push cmd 1 2 x", 2},
        {"-c COM:1 push cmd 1 2 i4:x", 2},
        {"-c COM:1 push read", 2},
        {"-c COM:1 push read 65536", 2},
        {"-c COM:1 push read 4 --start 1", 2},
        {"-c COM:1 push read 4 --start 256,2", 2},
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
        // Refused texts: the piece and the rule.
        {"-c COM:7,9600 save", 1, "", "error: 'COM:7,9600': the baud rate must be 921600\n"},
        {"-c COM:0 save", 1, "", "error: 'COM:0': the port number must be 1 to 256\n"},
        {"-c TCPIP:h/17221 save", 1, "",
         "error: 'TCPIP:h/17221': the connection time-out is missing"},
        {"-c TCPIP:/17221,300 save", 1, "", "error: 'TCPIP:/17221,300': the host is missing"},
        {"-c TCPIP:h,300 save", 1, "", "error: 'TCPIP:h,300': the port is missing"},
        {"-c A#B#C save", 1, "", "error: 'A#B#C': a connection text holds at most one '#'"},
        {"-c Dev:1#COM:1 save", 1, "", "error: 'Dev:1': the device part must start with 'Kelvo:'"},
        {"-c Kelvo:1,2,3# save", 1, "",
         "error: 'Kelvo:1,2,3': the transport part is missing after the device part"},
        {"-c SOCK:x_COM,1 save", 1, "", "error: 'SOCK:x_COM,1': SOCK links are not taken"},
        {"-c USB:1 save", 1, "", "error: 'USB:1': the link kind 'USB' is unknown"},
        // Transport failures in the system's words.
        {"-c TCPIP:127.0.123.4/17221,300 save", 1, "",
         "error: cannot reach 127.0.123.4:17221: connection refused\n"},
        {"-c TCPIP:127.0.123.3/17221,300 save", 1, "",
         "error: cannot reach 127.0.123.3:17221: no answer within 300 ms\n"},
        // The JSON of a failure with the warnings of its connection text; without
        // warnings: KelvoTool's CRCMemory row and KelvoToolSimulator's device error.
        {"--json -c TCPIP:127.0.123.4/1,300 save", 1,
         "{\"ok\":false,\"hresult\":2147747074,\"errorCode\":16,\"deviceStatus\":0,\"result\":"
         "null,\"hresultHex\":\"0x80040502\",\"deviceStatusHex\":\"0x00000000\",\"message\":"
         "\"cannot reach 127.0.123.4:17221: connection refused\",\"exitStatus\":1,\"warnings\":"
         "[\"'TCPIP:127.0.123.4/1,300': the port item is ignored: 17221 is used (17222 with "
         "SSL)\"]}\n",
         "warning: "},
        // "host name not found"; without a name server to ask (no network)
        // the lookup's own reason instead.
        {"-c TCPIP:no-such-host.invalid/17221,2000 save", 1, "",
         "error: cannot reach no-such-host.invalid:17221: "},
        {"-c COM:77 save", 1, "",
         "error: cannot open COM77 (/dev/ttyS76): no such file or directory\nhint: COMn is",
         noLinks},
        // What parsing changes without a word; nothing for a text it takes as it is.
        {"-c Kelvo:255#COM:1 conf", 0, "Kelvo:255,10000,0#COM:1,921600,N,8,1\n"},
        {"-c TCPIP:10.0.0.7/1234,3000 conf", 0, "Kelvo:255,10000,0#TCPIP:10.0.0.7/17221,3000\n",
         "warning: 'TCPIP:10.0.0.7/1234,3000': the port item is ignored: 17221 is used (17222 "
         "with SSL)\n"},
        {"-c TCPIP:10.0.0.7/17221,3000,TLS conf", 0,
         "Kelvo:255,10000,0#TCPIP:10.0.0.7/17221,3000\n",
         "warning: 'TCPIP:10.0.0.7/17221,3000,TLS': the unknown option 'TLS' is dropped"},
        {"-c Dev:1,500#COM:3 conf", 0, "Kelvo:255,10000,0#COM:3,921600,N,8,1\n",
         "warning: 'Dev:1,500': the device part must start with 'Kelvo:'"},
        {"-c Kelvo:255,3s,300#COM:3,921600,N,8,2 conf", 0, "Kelvo:255,3,44#COM:3,921600,N,8,1\n",
         "warning: 'Kelvo:255,3s,300': the time-out '3s' is read as 3\nwarning: "
         "'Kelvo:255,3s,300': the node 300 is cut to 8 bits: 44 is used\nwarning: "
         "'COM:3,921600,N,8,2': parity, data bits and stop bits are not read: N,8,1 is used\n"},
        // Commands: the nearest one.
        {"sav", 2, "", "error: unknown command 'sav'; did you mean 'save'?\n"},
        {"users lst", 2, "", "error: unknown command 'users lst'; did you mean 'users list'?\n"},
        {"adm", 2, "", "error: unknown command 'adm'; did you mean 'adminkey'?\n"},
        {"q", 2, "", "error: unknown command 'q'; the commands are: save,"},
        {"scan 10.9.9.9 0", 1, "",
         "error: cannot bind 10.9.9.9:17220: not an address of this host\n"},
    };
    for (const ToolCase& c : cases)
        Check(c);
}

TEST(KelvoTool, ListNamesEveryOperation) {
    ProgramOutcome o = Kelvo("invoke --list");
    ASSERT_EQ(o.status, 0) << Describe(o);
    EXPECT_NE(o.out.find("get Par(long, long, short) -> variant\n"), std::string::npos);
    EXPECT_NE(o.out.find("\nSave_Command()\n"), std::string::npos);
    EXPECT_NE(o.out.find("\nput EEPROMAccess(bool)\n"), std::string::npos);
}

TEST(KelvoMessagesSimulator, LoginHintsAndSecretsStayMasked) {
    SimProcess sim;
    // Save answers its first bytes and hangs up.
    ASSERT_TRUE(sim.Start(
        {"--addr", "127.0.123.5", "--no-tls", "--fault", "close", "--fault-command", "0x300E"}));
    const std::string link = "TCPIP:127.0.123.5/17221,3000";
    const TempFolder folder("explain_secrets");
    std::ofstream(folder / "pw") << "admin\nignored\n";
    std::filesystem::permissions(folder / "pw", std::filesystem::perms(0644));

    // The plain password where the scrambled one belongs.
    Check({"-c Kelvo:255,3000,0,admin,wrongpw#" + link + " users list", 1, "",
           "error 1: login as 'admin' refused: Wrong user name or password, device 0x15000003\n"
           "hint: the password item of the connection text is not scrambled"});
    // Logins from the password file and the environment; -v shows *** for them.
    Check({"--user admin --password-file " + folder / "pw -c " + link + " users list", 0, "admin\n",
           "warning: " + folder / "pw" + ": other users may read this password file"});
    const ProgramOutcome traced =
        Kelvo("-v -u admin -c " + link + " users create bob",
              {"KELVO_PASSWORD=s3cret-login", "KELVO_NEW_PASSWORD=n3w-pass"});
    EXPECT_EQ(traced.status, 1) << Describe(traced); // the simulated admin has another password
    EXPECT_EQ(traced.err.find("s3cret"), std::string::npos) << traced.err;
    EXPECT_NE(traced.err.find("CKelvo::Login (admin ***)"), std::string::npos) << traced.err;
    const ProgramOutcome shown =
        Kelvo("-v --show-secrets -u admin -c " + link + " users create bob pw1",
              {"KELVO_PASSWORD=admin"});
    EXPECT_EQ(shown.status, 0) << Describe(shown);
    EXPECT_NE(shown.err.find("CKelvo::CreateUser bob pw1"), std::string::npos) << shown.err;
    // A device that hangs up is not told as a time-out of the full 10 s.
    const ProgramOutcome hungUp = Kelvo("-c " + link + " save");
    EXPECT_EQ(hungUp.status, 1);
    EXPECT_TRUE(hungUp.err.starts_with("error 7: ") &&
                hungUp.err.ends_with(" (the device closed the connection)\n"))
        << hungUp.err;

    // An empty password file, and no source and no terminal: usage errors.
    std::ofstream(folder / "empty") << "\nadmin\n";
    Check({"-u admin --password-file " + folder / "empty -c " + link + " save", 2, "",
           "error: " + folder / "empty" + ": the password file's first line is empty\n"});
    Check({"-u admin -c " + link + " users list",
           2,
           "",
           "error: no password for 'admin': give --password-file FILE, set KELVO_PASSWORD",
           {"KELVO_PASSWORD"}});
}

TEST(KelvoToolSimulator, SavesAndReportsADeviceErrorWithItsCode) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.0.43", "--no-tls", "--fault", "device-error:0x15000002",
                           "--fault-command", "0x300E", "--fault-at", "2", "--fault-count", "2"}));
    const std::string conf = "TCPIP:127.0.0.43/17221,3000";
    Check({"-c " + conf + " save"});
    ProgramOutcome text = Check({"-c " + conf + " save", 1, "", "error 1: "});
    EXPECT_TRUE(std::regex_match(text.err, std::regex("error 1: [^\n]*, device 0x15000002\n")))
        << text.err;
    Check({"--json -c " + conf + " save", 1,
           "{\"ok\":false,\"hresult\":2147500037,\"errorCode\":1,\"deviceStatus\":352321538,"
           "\"result\":null,\"hresultHex\":\"0x80004005\",\"deviceStatusHex\":\"0x15000002\","
           "\"message\":\"This operation needs a login, device 0x15000002\",\"exitStatus\":1}\n"});
    // The fault has passed: the device answers again; the connection text from
    // the environment, the trace on standard error.
    Check({"--json -c " + conf + " save", 0, JsonOk("null")});
    ProgramOutcome traced = Kelvo("-v invoke Save_Command", {"KELVO_CONF=" + conf});
    EXPECT_EQ(traced.status, 0) << Describe(traced);
    EXPECT_NE(traced.err.find("CKelvo::Save_Command"), std::string::npos) << traced.err;
}

} // namespace
} // namespace kelvo::test
