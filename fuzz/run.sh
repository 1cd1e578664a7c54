#!/usr/bin/env bash
# Runs every fuzz target of the fuzz build for FUZZ_SECONDS seconds each, one
# after the other, and prints executions per second and findings per target.
#   FUZZ_SECONDS   seconds per target (60)
#   FUZZ_TARGETS   targets to run (all)
#   FUZZ_BUILD     the fuzz build tree (build-fuzz)
#   FUZZ_MERGE=1   afterwards merge the new inputs into fuzz/corpus/<target>
# New inputs go to $FUZZ_BUILD/work/<target>, findings to
# $FUZZ_BUILD/artifacts/<target>/, the fuzzer's output to $FUZZ_BUILD/logs/.
# Exits with 1 when a target found something.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-60}
targets=${FUZZ_TARGETS:-"connection_text message_file error_log scan_answer ping_answer operations decrypt_password variant_change_type invoke"}

# A smaller quarantine than the default: the targets make and free objects
# per input, and fresh pages for every allocation halve the speed.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16}

status=0
report=()
for t in $targets; do
  bin=$build/bin/fuzz_$t
  if [ ! -x "$bin" ]; then
    echo "missing $bin (build the fuzz preset first)" >&2
    exit 2
  fi
  work=$build/work/$t
  artifacts=$build/artifacts/$t
  log=$build/logs/$t.log
  mkdir -p "$work" "$artifacts" "$(dirname "$log")"
  echo "== $t: ${seconds}s"
  "$bin" "$work" "$root/fuzz/corpus/$t" -max_total_time="$seconds" -timeout=10 -max_len=4096 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" >"$log" 2>&1
  rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  added=$(sed -n 's/^stat::new_units_added: *//p' "$log" | tail -1)
  cover=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  finding="none"
  if [ $rc -ne 0 ]; then
    status=1
    finding="FOUND ($(ls "$artifacts" | tr '\n' ' ')) see $log"
    grep -m3 -E 'ERROR|check failed|runtime error' "$log" | sed 's/^/    /'
  fi
  report+=("$(printf '%-22s %6ss %10s execs %8s/s  cov %6s  new %5s  %s' "$t" "$seconds" \
    "${execs:-?}" "${rate:-?}" "${cover:-?}" "${added:-?}" "$finding")")
  if [ "${FUZZ_MERGE:-0}" = 1 ] && [ $rc -eq 0 ]; then
    "$bin" -merge=1 "$root/fuzz/corpus/$t" "$work" >>"$log" 2>&1
  fi
done

echo
printf '%s\n' "${report[@]}"
exit $status
