// The kelvo program's device commands as a user runs them, one after the other
// against one kelvo-sim: block, safe and ssc, PacketVARIANT through invoke, par,
// push, the error log and the reset commands.
#include "support/sim_process.h"
#include "support/temp_folder.h"
#include "tool_testing.h"

#include <fstream>
#include <sstream>

namespace kelvo::test {
namespace {

const std::string kDescriptions = KELVO_SOURCE_DIR "/tools/kelvo-sim/errorlog";

// 40 bytes counting up from 0x10, in hex.
const std::string kCounting =
    "101112131415161718191a1b1c1d1e1f202122232425262728292a2b2c2d2e2f3031323334353637";

// In order: a write is read back by a later step.
TEST(KelvoToolData, CommandsRunInOrderAgainstTheSimulator) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.107.30", "--no-tls"}));
    const TempFolder folder("tool-data");
    const std::string list = folder / "list";
    std::ofstream(list) << "# index sub type\n0x1002 0 i2\n\n0x1004 0   # type from the length\n";
    CheckAll(
        {
            {"block read 0 0 0 0 16 4", 0, "10111213\n"},
            {"block write 1 2 3 4 2 0a0B0c", 0, ""},
            {"block read 1 2 3 4 0 6", 0, "00000a0b0c00\n"},
            {"block read 0 0 0 0 0 0", 0, "\n"},
            {"block read 0 0 0 0 0 201", 1, "", "error 10: "},
            {"block write 0 0 0 0 0 abc", 2},
            {"safe write " + kCounting, 0, ""},
            {"safe read", 0, kCounting + "\n"},
            {"safe object 0x6000 0", 0, "300\n"},
            {"safe object 24576 1", 0, "305419896\n"},
            {"safe object 70000 1", 2},
            {"ssc read 0 4", 0, "fffefdfc\n"},
            {"invoke PacketVARIANT 1 hex:0a0b 3 8209", 0, "000000\n"},
            {"invoke PacketVARIANT 1 hex:0a0b 2 0", 0, "0\n0\n"},
            {"invoke PacketVARIANT 1 x 2 0", 1, "",
             "error: PacketVARIANT failed (hresult 0x80004005)"},
            {"invoke PacketVARIANT 1 hex:01 2 3", 1, "",
             "error: PacketVARIANT failed (hresult 0x80040501)"},
            {"par get 0x1001 0 u1 0x100a 0 str 0x1006 0 r4 0x1000 0 16", 0,
             "200\nKelvo simulated drive\n1.5\n-5\n"},
            {"par get --file " + list, 0, "-1234\n-123456\n"},
            {"par set 0x1004 0 i4 0x10"},
            {"par get 0x1004 0 auto", 0, "16\n"},
            // The typed forms; --ram leaves the stored value alone.
            {"par --ram word 0x1003 0 0x1FFFF"},
            {"par --ram word 0x1003 0", 0, "65535\n"},
            {"par --ram int 0x1003 0", 0, "-1\n"},
            {"par word 0x1003 0", 0, "54321\n"},
            {"par dword 0x1005 0 4294967295"},
            {"par dword 0x1005 0", 0, "4294967295\n"},
            {"par float 0x1006 0 -0.25"},
            {"par float 0x1006 0", 0, "-0.25\n"},
            // Device errors fail; bad arguments are usage errors.
            {"par set 0x2000 0 u4 5", 1},
            {"par get 0x7777 0 i4", 1},
            {"par get 1 2 3 4", 2},
            {"par get 1 x", 2},
            {"par get 1 0 bool8", 2},
            {"par set 1 0 i4 abc", 2},
            {"par set 1 0 i4", 2},
            {"par word 1", 2},
            {"par dword 1 0 4294967296", 2},
            {"par get", 2},
            {"push cmd 2 5 300", 0, "1\n"},
            {"push cmd 2 1", 0, "0\n"},
            {"push cmd 7 2 ui2:9", 0, "1\n"},
            {"--json push cmd 3 0x10", 0, JsonOk("1")},
            // Streamed bytes are read on serial links only.
            {"push read 4", 1, "", "error: ReadPushData failed (hresult 0x80004001)\n"},
            {"errorlog read 0 " + folder / "entry.xml " + kDescriptions},
            {"reset"},
            {"restore 0x12"},
            {"reset-error 2"},
            {"reset-error 300", 2},
            {"errorlog delete"},
            {"errorlog read 0 " + folder / "none.xml " + kDescriptions, 1, "",
             "error 1: The error log entry does not exist, device 0x0A000003\n"},
        },
        "-c TCPIP:127.0.107.30/17221,3000");
    // The entry read before the log was deleted, decoded by the shipped description.
    std::stringstream entry;
    entry << std::ifstream(folder / "entry.xml").rdbuf();
    EXPECT_NE(entry.str().find(R"(name="ErrorCode" description="drive error code" value="8976")"),
              std::string::npos)
        << entry.str();
}

} // namespace
} // namespace kelvo::test
