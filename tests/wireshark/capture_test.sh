#!/usr/bin/env bash
# The Wireshark dissector (tools/wireshark/kelvo.lua) on sessions with kelvo-sim.
#   capture_test.sh committed BIN      the committed captures give the committed fields
#   capture_test.sh serial BIN         a serial session recorded now (kelvo-sim --capture,
#                                      and kelvo --capture of a TCP call)
#   capture_test.sh tcp BIN            TCP, TLS (key log) and discovery, recorded now with
#                                      tcpdump on loopback; root only
#   capture_test.sh record BIN DIR     records both into DIR (to renew the committed files)
# BIN holds kelvo and kelvo-sim. Exit status 77: skipped, with the reason.
set -euo pipefail

mode=$1
bin=$2
here=$(cd "$(dirname "$0")" && pwd)
lua=$here/../../tools/wireshark/kelvo.lua
work=$(mktemp -d /tmp/kelvo-capture-test.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

skip() { echo "SKIPPED: $*"; exit 77; }
command -v tshark >/dev/null || skip "tshark is not installed (scripts/install-deps.sh installs it)"

# Starts a program whose standard output says when it is ready: reads its
# lines up to one matching $1.
start() {
  local until=$1 name=$2
  shift 2
  mkfifo "$work/$name.out"
  "$@" >"$work/$name.out" 2>"$work/$name.err" &
  pids+=($!)
  exec {fd}<"$work/$name.out"
  local line
  while IFS= read -r -u "$fd" line; do
    [[ $line =~ $until ]] && return 0
  done
  echo "$name did not start:" >&2
  cat "$work/$name.err" >&2
  return 1
}

# A call may fail (exit status 1: the device refused); anything else is a fault.
kelvo() {
  local rc=0
  "$bin/kelvo" "$@" >/dev/null 2>>"$work/kelvo.err" || rc=$?
  if [ "$rc" -gt 1 ]; then
    echo "kelvo $* ended with status $rc:" >&2
    cat "$work/kelvo.err" >&2
    exit 1
  fi
}

# Writes the bytes of a printf format to descriptor $1 in one write.
send() {
  local bytes
  bytes=$(printf "$2" | wc -c)
  printf "$2" | dd bs="$bytes" count=1 iflag=fullblock >&"$1" 2>/dev/null
}

# kelvo-sim on a serial line (a CRC fault on every save), the session, and
# kelvo --capture of a ping over TCP.
serial_session() {
  local out=$1
  export KELVO_DEVICES=$work/devices
  start '^ready' sim-serial "$bin/kelvo-sim" --no-tcp --no-tls --serial --link-com 1 \
    --capture "$out/serial.pcap" --fault bad-crc --fault-command 0x300E --exit-after-seconds 60
  local com="Kelvo:255,3000,0#COM:1"
  kelvo -c "$com" par get 0x1002 0 2 0x100A 0 8
  kelvo --wire -c "$com" save
  local err=$work/kelvo.err
  grep -qE '^[0-9:]{8}\.[0-9]{6} tx ff 00 00 00 02 0e 30 [0-9a-f]{2} [0-9a-f]{2}$' "$err" &&
    grep -q ' Save_Command #0 answer, success, CRC incorrect (' "$err" ||
    { echo "kelvo --wire did not show the save exchange:" >&2; cat "$err" >&2; return 1; }
  kelvo -c "$com" restore 0x10003
  kelvo -c "$com" push cmd 0 1
  start '^ready' sim-client "$bin/kelvo-sim" --addr 127.0.122.4 --no-tls --exit-after-seconds 60
  kelvo --capture "$out/client.pcap" -c "TCPIP:127.0.122.4/17221,3000" ping 1000
}

# tcpdump on loopback while kelvo talks TCP to one simulator (every save
# answered with a wrong counter) and TLS to another (every reset answered
# with an unknown status word), and a discovery request is answered.
tcp_session() {
  local out=$1
  [ "$(id -u)" -eq 0 ] || skip "the TCP capture needs root (tcpdump on loopback)"
  command -v tcpdump >/dev/null || skip "tcpdump is missing (scripts/install-deps.sh installs it)"
  start 'listening on' tcpdump sh -c 'exec tcpdump "$@" 2>&1' tcpdump -i lo -U -w "$out/tcp.pcap" \
    --print -l 'host 127.0.122.1 or host 127.0.122.2' ||
    skip "tcpdump cannot capture on loopback here"
  local dump=$fd tcpdump=${pids[-1]}
  start '^ready' sim-tcp "$bin/kelvo-sim" --addr 127.0.122.1 --no-tls --discovery \
    --fault wrong-counter --fault-command 0x300E --exit-after-seconds 60
  start '^ready' sim-tls "$bin/kelvo-sim" --addr 127.0.122.2 --no-tcp \
    --fault wrong-status --fault-command 0x0401 --exit-after-seconds 60
  rm -f "$out/tls.keys" # the key log appends
  local tcp="TCPIP:127.0.122.1/17221,3000"
  local admin="Kelvo:255,3000,0,admin,$("$bin/kelvo" encrypt admin)#$tcp"
  kelvo -c "$tcp" par get 0x1004 0 3 0x9999 0 3
  kelvo -c "$tcp" par --ram set 0x1007 0 5 -2.5
  kelvo -c "$tcp" save
  kelvo -c "$tcp" reset-error 1
  kelvo -c "$tcp" errorlog read 1 "$work/entry.xml" "$here/../../tools/kelvo-sim/errorlog"
  kelvo -c "$tcp" errorlog delete
  kelvo -c "$tcp" block read 1 2 3 4 8 4
  kelvo -c "$tcp" block write 1 2 3 4 0 0a0b0c
  kelvo -c "$tcp" push cmd 1 2 300
  kelvo -c "$tcp" safe read
  kelvo -c "$tcp" safe write "$(printf '%080d' 7)"
  kelvo -c "$tcp" safe object 0x6000 1
  kelvo -c "$tcp" ssc read 2 3
  kelvo -c "$admin" users create op s3cret
  kelvo -c "$admin" perms set op 2 0 5
  kelvo -c "$admin" perms get op
  kelvo -c "$admin" users admin-passwd op n3w
  kelvo -c "$admin" users list
  kelvo -c "$admin" users delete op
  kelvo -c "$admin" users passwd admin admin
  kelvo -c "$tcp" adminkey get
  kelvo -c "$tcp" adminkey reset 00ff
  kelvo -c "$admin" cert create 2030-01-01 2031-01-01
  SSLKEYLOGFILE=$out/tls.keys kelvo -c "Kelvo:255,3000,0#TCPIP:127.0.122.2/17221,3000,SSL" reset
  grep -q "TLS session secrets are appended to $out/tls.keys" "$work/kelvo.err" ||
    { echo "no key-log line on standard error" >&2; return 1; }
  # A frame split over two segments, then two frames joined in one, from a
  # socket of bash's own; each piece goes out in one write.
  exec {raw}<>/dev/tcp/127.0.122.1/17221
  send $raw '\x00\x05\x00\x05'
  send $raw '\x01\x03\x01\x10\x00'
  head -c 11 <&$raw >/dev/null
  send $raw '\x00\x06\x00\x03\x0c\x04\x02\x00\x07\x00\x04\x01\x01\xe8\x03'
  head -c 55 <&$raw >/dev/null
  # A discovery request (kind 1, one time item) and its answer.
  exec {udp}<>/dev/udp/127.0.122.1/17220
  send $udp '\x01\x01\x00\x00\x00\x0a\x00\x04\x00\x00\x00\x00'
  dd bs=512 count=1 <&$udp >/dev/null 2>&1
  # The marker datagram: once tcpdump shows it, everything before is in the file.
  printf 'end' >/dev/udp/127.0.122.1/17299
  local line
  while IFS= read -r -u "$dump" line; do [[ $line == *.17299:* ]] && break; done
  kill -INT "$tcpdump"
  wait "$tcpdump" || true
}

# The fields compared: the summary line of each frame and the decoded values.
fields() {
  local pcap=$1
  local keys=()
  [ -f "${pcap%/*}/tls.keys" ] && keys=(-o "tls.keylog_file:${pcap%/*}/tls.keys")
  tshark -2 -X "lua_script:$lua" "${keys[@]}" -r "$pcap" -Y 'kelvo || kelvo.discovery' -T fields \
    -E occurrence=a -E aggregator='|' -e _ws.col.Info -e kelvo.par.value -e kelvo.user \
    -e kelvo.device_error.text -e kelvo.crc.status -e kelvo.error -e kelvo.discovery.item \
    2>/dev/null |
    # One line per frame of the protocol, whether a segment carried one or two.
    sed -e 's/; /\n/g' | sed -e 's/\t*$//'
}

compare() {
  local pcap=$1 expected=$2
  if ! diff -u "$expected" <(fields "$pcap"); then
    echo "FAILED: $pcap does not decode to $expected" >&2
    return 1
  fi
}

case $mode in
committed)
  for name in serial client tcp; do compare "$here/$name.pcap" "$here/$name.fields"; done
  ;;
serial)
  serial_session "$work"
  for name in serial client; do compare "$work/$name.pcap" "$here/$name.fields"; done
  ;;
tcp)
  tcp_session "$work"
  compare "$work/tcp.pcap" "$here/tcp.fields"
  ;;
record)
  out=$(cd "$3" && pwd)
  serial_session "$out"
  tcp_session "$out"
  for name in serial client tcp; do fields "$out/$name.pcap" >"$out/$name.fields"; done
  ;;
*)
  echo "usage: $0 committed|serial|tcp|record BIN [DIR]" >&2
  exit 2
  ;;
esac
echo "OK"
