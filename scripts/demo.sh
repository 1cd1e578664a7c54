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
"$bin/kelvo-sim" --addr "$addr" --serial --serial-address 5 --link-com 5 \
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
step() {
    local what=$1
    shift
    echo
    echo "==> $what"
    echo "    \$ kelvo $*"
    if out=$("$bin/kelvo" "$@" 2>&1); then
        [ -n "$out" ] && echo "$out" | sed 's/^/    /'
        echo "    ok"
    else
        echo "$out" | sed 's/^/    /'
        echo "    FAILED"
        failures=$((failures + 1))
    fi
}

echo "Kelvo demo: a simulated drive on $addr (TCP 17221, TLS 17222) and on serial port COM5"
echo "($(grep '^serial:' "$work/sim.out" | cut -d' ' -f2), bus address 5)."

scrambled=$("$bin/kelvo" encrypt admin 2>/dev/null || true)
tcp="Kelvo:255,3000,0,admin,$scrambled#TCPIP:$addr/17221,3000"
tls="Kelvo:255,3000,0,admin,$scrambled#TCPIP:$addr/17221,3000,SSL"
serial="Kelvo:5,3000,0#COM:5"

step "Scramble the password 'admin' for the connection text" encrypt admin
step "And unscramble it again" decrypt "$scrambled"
step "How the connection text reads back after parsing" -c "$tcp" conf
step "Connect over TCP, log in as admin, save the parameters to flash" -c "$tcp" save
step "The same over TLS, with the device certificate's validity" -c "$tls" cert dates
step "Over the serial link: stop push-data stream 0" -c "$serial" push cmd 0 1
step "Over the serial link: save" -c "$serial" save
step "Read the device's name (parameter 0x100A.0, type 8: a string)" -c "$tcp" par get 4106 0 8
step "Write and read back a 32-bit parameter (0x1004.0)" -c "$tcp" par set 4100 0 3 -77
step "  ... read back" -c "$tcp" par get 4100 0
step "A protected parameter (0x3000.0) read with the login of the connection text" -c "$tcp" par get 12288 0
step "List the device's users" -c "$tcp" users list
step "Ping the device (its items as JSON-like text)" -c "$tcp" ping
step "Reset the error of axis 1" -c "$tcp" reset-error 1
step "Download error-log entry 0 and decode it into XML" -c "$tcp" errorlog read 0 "$work/entry0.xml" tools/kelvo-sim/errorlog
step "Read 8 bytes of a data block" -c "$tcp" block read 0 0 0 0 16 8
step "Any operation by name through the dispatch table: the protocol name" invoke Protocol

echo
if [ "$failures" -eq 0 ]; then
    echo "Demo finished: every step succeeded."
    exit 0
fi
echo "Demo finished: $failures step(s) failed."
exit 1
