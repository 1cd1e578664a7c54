#!/bin/sh
# Test lines against code lines, counting non-blank lines of source and build
# files (.c .cc .cpp .h .hpp .py .sh .cmake .lua, CMakeLists.txt) that git
# knows (committed or new, not ignored).
#   tests: tests/, fuzz/ and Python test files (python/tests/, test_*.py, *_test.py)
#   code:  src/, include/, tools/, bench/, examples/ and the rest of python/
# Prints the test lines per folder, both counts and the ratio.
#   scripts/test-ratio.sh [--max RATIO]   # exits 1 when the ratio is above RATIO
set -eu
cd "$(dirname "$0")/.."

max=
if [ "${1:-}" = "--max" ]; then
  max=${2:?--max needs a ratio}
fi

git ls-files --cached --others --exclude-standard | awk -v max="$max" '
  function kind_of(f, base) {
    if (base !~ /\.(c|cc|cpp|h|hpp|py|sh|cmake|lua)$/ && base != "CMakeLists.txt") return ""
    if (f ~ /^(tests|fuzz)\//) return "test"
    if (f ~ /^python\// && (f ~ /\/tests?\// || base ~ /^test_.*\.py$/ || base ~ /_test\.py$/))
      return "test"
    if (f ~ /^(src|include|tools|bench|examples|python)\//) return "code"
    return ""
  }
  {
    f = $0
    n = split(f, part, "/")
    kind = kind_of(f, part[n])
    if (kind == "") next
    # Test lines per folder: tests/operations, fuzz/ (files at the top), python/tests ...
    folder = (n > 2) ? part[1] "/" part[2] : part[1] "/"
    while ((getline line < f) > 0) {
      if (line !~ /[^ \t\r]/) continue
      count[kind]++
      if (kind == "test") per[folder]++
    }
    close(f)
  }
  END {
    printf "%-24s %6s\n", "test folder", "lines"
    cmd = "sort"
    for (d in per) printf "%-24s %6d\n", d, per[d] | cmd
    close(cmd)
    ratio = count["code"] ? count["test"] / count["code"] : 0
    printf "tests %d, code %d, ratio %.3f\n", count["test"], count["code"], ratio
    if (max != "" && ratio > max + 0) {
      printf "ratio %.3f is above %s\n", ratio, max > "/dev/stderr"
      exit 1
    }
  }'
