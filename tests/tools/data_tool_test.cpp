// The kelvo program's block, safe and ssc commands and PacketVARIANT through
// invoke, as a user runs them against kelvo-sim on 127.0.107.30.
#include "support/sim_process.h"
#include "tool_testing.h"

namespace kelvo::test {
namespace {

// 40 bytes counting up from `start`, in hex.
std::string Hex40(int start) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < 40; ++i) {
        const int b = (start + i) & 0xFF;
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

TEST(KelvoToolData, CommandsRunInOrderAgainstTheSimulator) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--addr", "127.0.107.30", "--no-tls"}));
    const ToolCase steps[] = {
        {"block read 0 0 0 0 16 4", 0, "10111213\n"},
        {"block write 1 2 3 4 2 0a0B0c", 0, ""},
        {"block read 1 2 3 4 0 6", 0, "00000a0b0c00\n"},
        {"block read 0 0 0 0 0 0", 0, "\n"},
        {"block read 0 0 0 0 0 201", 1, "", "error 10: "},
        {"block write 0 0 0 0 0 abc", 2},
        {{"safe", "write", Hex40(0x10)}, 0, ""},
        {"safe read", 0, Hex40(0x10) + "\n"},
        {"safe object 0x6000 0", 0, "300\n"},
        {"safe object 24576 1", 0, "305419896\n"},
        {"safe object 70000 1", 2},
        {"ssc read 0 4", 0, "fffefdfc\n"},
        {"invoke PacketVARIANT 1 hex:0a0b 3 8209", 0, "000000\n"},
        {"invoke PacketVARIANT 1 hex:0a0b 2 0", 0, "0\n0\n"},
        {"invoke PacketVARIANT 1 x 2 0", 1, "", "error: PacketVARIANT failed (hresult 0x80004005)"},
        {"invoke PacketVARIANT 1 hex:01 2 3", 1, "",
         "error: PacketVARIANT failed (hresult 0x80040501)"},
    };
    for (const ToolCase& step : steps)
        Check(step, {"-c", "TCPIP:127.0.107.30/17221,3000"});
}

} // namespace
} // namespace kelvo::test
