#!/usr/bin/env bash
# A short tour of Kelvo against the built-in device simulator: a device is
# started on a loopback address and a serial pseudo-terminal, and the kelvo
# tool talks to it the way a commissioning tool would.
set -euo pipefail
cd "$(dirname "$0")/.."

bin=${KELVO_BIN:-build/bin}
addr=127.0.0.77
work=$(mktemp -d)
export KELVO_DEVICES="$work/devices"
# The simulated device has the user admin with the password admin.
"$bin/kelvo-sim" --addr "$addr" --serial --serial-address 5 --link-com 5 --discovery \
    --exit-after-seconds 120 >"$work/sim.out" 2>"$work/sim.err" &
sim=$!
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; rm -rf "$work"' EXIT

for _ in $(seq 100); do
    grep -q '^ready' "$work/sim.out" 2>/dev/null && break
    sleep 0.1
done
if ! grep -q '^ready' "$work/sim.out"; then
    echo "The device simulator did not start:" >&2
    cat "$work/sim.err" >&2
    exit 1
fi

failures=0
# One step: the command, its output, and whether it ended as expected
# (refused: it must fail, and its error says what went wrong).
expect=ok
step() {
    local what=$1
    shift
    echo
    echo "==> $what"
    echo "    \$ kelvo $*"
    local outcome=ok
    out=$("$bin/kelvo" "$@" 2>&1) || outcome=failed
    [ -n "$out" ] && echo "$out" | sed 's/^/    /'
    if [ "$outcome" = "$expect" ]; then
        [ "$expect" = ok ] && echo "    ok" || echo "    failed as it should"
    else
        echo "    FAILED (expected: $expect)"
        failures=$((failures + 1))
    fi
}
refused() {
    expect=failed
    step "$@"
    expect=ok
}

echo "Kelvo demo: a simulated drive on $addr (TCP 17221, TLS 17222) and on serial port COM5"
echo "($(grep '^serial:' "$work/sim.out" | cut -d' ' -f2), bus address 5)."

# Every step below is traced into the shared-memory channel, and the trace
# viewer follows the run (it switches to each kelvo as it starts).
mkdir -p "$work/settings" "$work/untraced"
printf '[Trace]\nTraceEnable=1\nTracemask=65535\n' >"$work/settings/Kelvo.ini"
export APPDATA="$work/settings"
APPDATA="$work/untraced" "$bin/kelvo-trace" --wait --follow --interval 5 >"$work/trace.out" 2>/dev/null &
viewer=$!
trap 'kill "$viewer" "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; rm -rf "$work"' EXIT

# Every connection logs in as admin; the password comes from the environment,
# not from the command line or the connection text.
export KELVO_USER=admin KELVO_PASSWORD=admin
echo "Each connection logs in as KELVO_USER=admin with the password in KELVO_PASSWORD."
scrambled=$("$bin/kelvo" encrypt admin 2>/dev/null || true)
tcp="TCPIP:$addr/17221,3000"
tls="TCPIP:$addr/17222,3000,SSL"
serial="Kelvo:255,3000,0#COM:5"

step "Scramble the password 'admin' for a connection text that carries it" encrypt admin
step "And unscramble it again" decrypt "$scrambled"
step "How such a connection text reads back after parsing" -c "Kelvo:255,3000,0,admin,$scrambled#$tcp" conf
step "Connect over TCP, log in as admin, save the parameters to flash" -c "$tcp" save
step "The same over TLS, with the device certificate's validity" -c "$tls" cert dates
step "Over the serial link: stop push-data stream 0" -c "$serial" push cmd 0 1
step "Over the serial link: save" -c "$serial" save
step "Read the device's name (parameter 0x100A.0, type 8: a string)" -c "$tcp" par get 4106 0 8
step "Write and read back a 32-bit parameter (0x1004.0)" -c "$tcp" par set 4100 0 3 -77
step "  ... read back" -c "$tcp" par get 4100 0
step "A protected parameter (0x3000.0) read with the login" -c "$tcp" par get 12288 0
step "The same as one JSON object, for scripts (--json)" --json -c "$tcp" par get 12288 0
step "List the device's users" -c "$tcp" users list
step "Ping the device (its items as JSON-like text)" -c "$tcp" ping
step "Reset the error of axis 1" -c "$tcp" reset-error 1
step "Download error-log entry 0 and decode it into XML" -c "$tcp" errorlog read 0 "$work/entry0.xml" tools/kelvo-sim/errorlog
if [ -f "$work/entry0.xml" ]; then
    echo "    The first lines of the decoded entry:"
    head -n 8 "$work/entry0.xml" | sed 's/^/      /'
fi
step "Read 8 bytes of a data block" -c "$tcp" block read 0 0 0 0 16 8
step "Any operation by name through the dispatch table: the protocol name" invoke Protocol
step "Find devices by UDP broadcast from 127.0.0.1 (the simulator answers on the same host)" scan 127.0.0.1 1
refused "Errors say what is wrong: a baud rate the link does not take" -c "COM:5,9600" save
refused "... a closed port, in the system's words, as JSON" --json -c "TCPIP:127.0.0.78/17221,1000" save
refused "... a mistyped command" sav

echo
echo "==> The trace viewer followed the run: kelvo-trace --follow"
sleep 0.3
kill "$viewer" 2>/dev/null || true
wait "$viewer" 2>/dev/null || true
echo "    $(grep -c 'CKelvo::' "$work/trace.out") operation lines; the last ones (without the login"
echo "    lines, which carry the password: the channel is readable by this user only):"
# (A busy machine can leave the viewer too late for a short run: none to show.)
{ grep 'CKelvo::' "$work/trace.out" || true; } | grep -v 'CKelvo::Login' | tail -n 8 | sed 's/^/      /' || true

echo
if [ "$failures" -eq 0 ]; then
    echo "Demo finished: every step succeeded."
    exit 0
fi
echo "Demo finished: $failures step(s) failed."
exit 1
