#!/usr/bin/env bash
# Runs the benchmark programs of a release build, prints their tables and
# writes them with the machine, the date and the build into bench/results.md.
# Usage: bench/run.sh [build-dir]   (default: build, the release preset's)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
bin=$build/bin
out=$root/bench/results.md
programs=(link parameters crc16 trace error_log scale)

for p in "${programs[@]}"; do
  if [ ! -x "$bin/bench_${p}_bench" ]; then
    echo "missing $bin/bench_${p}_bench: build the release tree first (make bench)" >&2
    exit 1
  fi
done

build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
commit=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)

tables=$(mktemp)
trap 'rm -f "$tables"' EXIT

for p in "${programs[@]}"; do
  echo "== bench_${p}_bench"
  "$bin/bench_${p}_bench" --markdown="$tables"
done
# Parameter reads from Python against the C++ component (Debian's python3).
echo "== python_bench.py"
PYTHONPATH="$build/python" /usr/bin/python3 "$root/bench/python_bench.py" "$build" \
  --markdown="$tables"

{
  echo "# Benchmark results"
  echo
  echo "Written by \`make bench\` (bench/run.sh); bench/README.md explains the rows."
  echo
  echo "- Machine: ${cpu:-unknown CPU}, $(nproc) cores, Linux $(uname -r)"
  echo "- Load average when the run ended: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "- Build: ${build_type:-unknown} ($("${compiler:-c++}" --version 2>/dev/null | head -n 1)), commit $commit"
  echo
  cat "$tables"
} > "$out"

echo
cat "$out"
