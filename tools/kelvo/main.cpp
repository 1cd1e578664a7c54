// kelvo: the command-line host of the Kelvo component.
#include "commands.h"
#include "common/program_info.h"
#include "explain.h"
#include "stop_signals.h"
#include "tool.h"
#include "transport/portway/portway.h"
#include "wire.h"

#include <CLI/CLI.hpp>

namespace {

constexpr char kFooter[] =
    R"text(Passwords stay off the command line: --user NAME logs in with the password
from --password-file FILE, $KELVO_PASSWORD or a prompt without echo; users
create/passwd/admin-passwd take the new password from --new-password-file FILE,
$KELVO_NEW_PASSWORD or a prompt. -v shows them as *** unless --show-secrets.

Connection text (-c or $KELVO_CONF):
  [Kelvo:address,timeout,node[,user,password]#]TRANSPORT, TRANSPORT one of
  TCPIP:host/port,connectTimeout[,SSL]   COM:n,921600,N,8,1   SOCK:name_COM,n,921600,N,8,1
  The text goes to Init: the device part sets time-out, node and the login
  (the address is always 255 after parsing; --prop Address=N does not survive it).
  A refused text is explained piece by piece; what parsing changes is a warning.

Output: the result alone on standard output (numbers in decimal, text as it is,
byte data as lower-case hex, lists one item per line, nothing when there is no
result). Exit status 0 on success; 1 when the operation failed, with
"error N: TEXT" on standard error (", device 0xXXXXXXXX" added for N = 1),
"error: WHY" when the link did not open (in the system's words) or
"error: WHAT failed (hresult 0xXXXXXXXX)" when no error code was left, and a
"hint:" line when there is advice; 2 on a usage error. With --json every run,
usage errors included, prints one JSON object; a failure's adds "hresultHex",
"deviceStatusHex", "message", "hint" and "exitStatus".
)text";

} // namespace

int main(int argc, char** argv) {
    kelvo::tool::TakeStopSignals();
    kelvo::RegisterPortwayClass();

    kelvo::tool::Tool tool;
    CLI::App app{"kelvo: talk to a device through the Kelvo component"};
    app.footer(kFooter);
    app.require_subcommand(1);
    app.fallthrough();
    tool.AddOptions(app);
    kelvo::tool::WireLog wire;
    wire.AddOptions(app);
    kelvo::tool::AddDeviceCommands(app, tool);
    kelvo::tool::AddSessionCommands(app, tool);
    kelvo::tool::AddConfigCommand(app, tool);
    kelvo::tool::AddParameterCommands(app, tool);
    kelvo::tool::AddParamsCommands(app, tool);
    kelvo::tool::AddWatchCommand(app, tool);
    kelvo::tool::AddDataCommands(app, tool);
    kelvo::tool::AddUserCommands(app, tool);
    kelvo::tool::AddDiscoveryCommands(app, tool);
    kelvo::tool::AddInvokeCommand(app, tool);
    kelvo::tool::AddRegisterCommands(app, tool);
    kelvo::programs::AddProgramFlags(app, "kelvo");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return tool.ParseFailure(app, e, argc, argv);
    }
    if (!wire.Start(tool.ShowSecrets()))
        return kelvo::tool::kExitFailed;
    // Around the transport in place (the wire tap's or the plain one).
    const kelvo::tool::TransportWatch transports;
    const int status = tool.Run();
    const int signal = kelvo::tool::EndStopSignals();
    return signal && !tool.EndsOnSignal() ? 128 + signal : status;
}
