#!/bin/sh
# Mutation samples per subsystem: does the suite notice small faults?
# Runs ../shared/tools/mutants (MUTANTS=path to override) on each subsystem with
# a fixed seed, rebuilding only the programs that test it and running only
# those, and writes tests/mutants/<tag>-<label>.json.
#
#   scripts/mutants.sh [--seed N] [--count N] [--tag TAG] [LABEL ...]
#   scripts/mutants.sh --list          # labels, files, programs
#   scripts/mutants.sh --run LABEL     # the test step alone (what each mutant runs)
#   scripts/mutants-compare.py before after   # killed after must cover killed before
#
# Defaults: seed 24, count 40, tag "before", every label but sim (the
# simulator: only when named). Run it from a clean tree with a configured
# release build in build/ (cmake --preset release).
# The same seed and count on the same sources pick the same mutants, so a run
# tagged "after" a test clean-up compares like with like.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${KELVO_MUTANTS_BUILD:-build}
mutants=${MUTANTS:-$root/../../shared/tools/mutants}
[ -x "$mutants" ] || mutants=/work/shared/tools/mutants

labels="protocol operations transport trace automation device discovery kelvo"
# Labels run only when named: the simulator is the device of the tests.
extra="sim"

# The files of a label.
files() {
  case $1 in
    kelvo) echo "tools/kelvo/*.cpp" ;;
    sim) echo "tools/kelvo-sim/*.cpp" ;;
    *) echo "src/$1/**/*.cpp" ;;
  esac
}

# The test programs of a label, fastest and most likely killer first. fuzz:NAME
# replays the corpus of a fuzz target; integration runs test_integration in two
# shards at once (it is the slow one: the fault matrix against the simulator).
programs() {
  case $1 in
    protocol) echo "test_protocol test_operations fuzz:operations fuzz:ping_answer fuzz:error_log test_device test_tools integration" ;;
    operations) echo "test_operations fuzz:operations fuzz:error_log fuzz:ping_answer fuzz:decrypt_password fuzz:message_file test_device test_tools integration" ;;
    transport) echo "test_transport test_trace test_tools integration" ;;
    trace) echo "test_trace test_operations test_device test_tools integration" ;;
    automation) echo "test_automation fuzz:variant_change_type fuzz:invoke test_device test_operations test_component test_ui test_tools integration" ;;
    device) echo "test_device fuzz:connection_text fuzz:invoke fuzz:message_file test_operations test_component test_tools integration" ;;
    discovery) echo "test_discovery fuzz:scan_answer test_tools" ;;
    kelvo) echo "test_tools test_component integration" ;;
    sim) echo "test_sim test_discovery test_tools integration" ;;
    *) echo "unknown label $1 (labels: $labels $extra)" >&2; return 1 ;;
  esac
}

# Build targets of a label's programs (the test targets pull in the tools they start).
targets() {
  out=
  for p in $(programs "$1"); do
    case $p in
      fuzz:*) out="$out fuzz_replay_${p#fuzz:}" ;;
      integration) out="$out test_integration" ;;
      *) out="$out $p" ;;
    esac
  done
  echo "$out"
}

# Seconds one test step may take before the mutant counts as a hang (killed).
timeout_of() {
  case " $(programs "$1") " in
    *" integration "*) echo 300 ;;
    *) echo 120 ;;
  esac
}

# The test step: each program in turn, stopping at the first failure. The
# output of the program that failed goes to $build/mutants-failed.log.
run_tests() {
  # A mutant that makes a program eat memory fails it instead of the machine
  # (8 GB of address space: room for the tests' threads and shared memory).
  ulimit -v 8000000 2>/dev/null || true
  # Each program ends by the step's own limit: the sampler stops a hung step by
  # killing this shell, which would leave the program running on.
  kill_after="timeout -s KILL $(timeout_of "$1")"
  bin=$root/$build/bin
  out=$root/$build/mutants-output
  export KELVO_REGISTRY="$root/$build/test-registry"
  cd "$root/$build/tests"
  for p in $(programs "$1"); do
    case $p in
      fuzz:*) $kill_after "$bin/fuzz_replay_${p#fuzz:}" "$root/fuzz/corpus/${p#fuzz:}" >"$out" 2>&1 ;;
      integration)
        GTEST_TOTAL_SHARDS=2 GTEST_SHARD_INDEX=0 $kill_after "$bin/test_integration" >"$out.0" 2>&1 &
        first=$!
        status=0
        GTEST_TOTAL_SHARDS=2 GTEST_SHARD_INDEX=1 $kill_after "$bin/test_integration" >"$out" 2>&1 || status=1
        wait $first || status=1
        cat "$out.0" >>"$out"
        [ $status -eq 0 ] ;;
      *) $kill_after "$bin/$p" >"$out" 2>&1 ;;
    esac || {
      { echo "== $p failed $(date)"; grep -B2 -A12 -E 'FAILED|Failure|check failed|ERROR' "$out" | head -60; } \
        >>"$root/$build/mutants-failed.log"
      echo "killed by $p" >&2
      return 1
    }
  done
}

seed=24
count=40
tag=before
chosen=
while [ $# -gt 0 ]; do
  case $1 in
    --seed) seed=$2; shift 2 ;;
    --count) count=$2; shift 2 ;;
    --tag) tag=$2; shift 2 ;;
    --run)
      # In a network namespace of its own (root): the tests' fixed loopback
      # addresses and ports cannot meet those of a test run beside it.
      if [ -z "${KELVO_MUTANTS_NETNS:-}" ] && [ "$(id -u)" = 0 ] &&
        command -v unshare >/dev/null && command -v ip >/dev/null; then
        exec unshare -n sh -c 'ip link set lo up && KELVO_MUTANTS_NETNS=1 exec "$0" --run "$1"' \
          "$root/scripts/mutants.sh" "$2"
      fi
      run_tests "$2"; exit ;;
    --list)
      for l in $labels $extra; do
        printf '%-11s %-22s %s\n' "$l" "$(files "$l")" "$(programs "$l")"
      done
      exit ;;
    -h|--help) sed -n '2,15p' "$0"; exit ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *) programs "$1" >/dev/null; chosen="$chosen $1"; shift ;;
  esac
done
[ -n "$chosen" ] || chosen=$labels

[ -f "$build/build.ninja" ] || cmake --preset release >/dev/null
mkdir -p tests/mutants
for l in $chosen; do
  echo "== $l: seed $seed, $count mutants -> tests/mutants/$tag-$l.json"
  # shellcheck disable=SC2046 # the glob is expanded by the tool
  "$mutants" --files "$(files "$l")" --count "$count" --seed "$seed" \
    --build "cmake --build $build -j2 --target$(targets "$l")" \
    --test "scripts/mutants.sh --run $l" --timeout "$(timeout_of "$l")" \
    --json "tests/mutants/$tag-$l.json"
done
