#!/usr/bin/env bash
# Runs the fuzz targets of the fuzz build one after the other (fuzz/README.md):
# FUZZ_SECONDS each (60), FUZZ_TARGETS (all), FUZZ_BUILD (build-fuzz: work/,
# artifacts/, logs/), FUZZ_MERGE=1. Exits with 1 when a target found something.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-60}
all="connection_text message_file error_log scan_answer ping_answer operations"
all+=" decrypt_password variant_change_type invoke"
targets=${FUZZ_TARGETS:-$all}

# A smaller quarantine than the default: the targets make and free objects
# per input, and fresh pages for every allocation halve the speed.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16}

# The last value of a statistic in the log (? when there is none).
last() { local v; v=$(grep -o "$1 *[0-9]*" "$log" | tail -1 | grep -o '[0-9]*$'); echo "${v:-?}"; }

status=0
report=()
for t in $targets; do
  bin=$build/bin/fuzz_$t work=$build/work/$t artifacts=$build/artifacts/$t log=$build/logs/$t.log
  [ -x "$bin" ] || { echo "missing $bin (build the fuzz preset first)" >&2; exit 2; }
  mkdir -p "$work" "$artifacts" "$build/logs"
  echo "== $t: ${seconds}s"
  "$bin" "$work" "$root/fuzz/corpus/$t" -max_total_time="$seconds" -timeout=10 -max_len=4096 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" >"$log" 2>&1
  rc=$?
  finding="none"
  if [ $rc -ne 0 ]; then
    status=1
    finding="FOUND ($(ls "$artifacts" | tr '\n' ' ')) see $log"
    grep -m3 -E 'ERROR|check failed|runtime error' "$log" | sed 's/^/    /'
  fi
  report+=("$(printf '%-22s %6ss %10s execs %8s/s  cov %6s  new %5s  %s' "$t" "$seconds" \
    "$(last stat::number_of_executed_units:)" "$(last stat::average_exec_per_sec:)" \
    "$(last cov:)" "$(last stat::new_units_added:)" "$finding")")
  if [ "${FUZZ_MERGE:-0}" = 1 ] && [ $rc -eq 0 ]; then
    "$bin" -merge=1 "$root/fuzz/corpus/$t" "$work" >>"$log" 2>&1
  fi
done

echo
printf '%s\n' "${report[@]}"
exit $status
