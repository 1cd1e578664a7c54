#!/usr/bin/env bash
# Installs the Debian packages only the benchmarks use (the peer library of
# the comparison rows), besides those of install-deps.sh. The benchmarks
# build without them; those rows are then left out. As root it installs what
# is missing; otherwise it prints the command.
set -euo pipefail

exec "$(dirname "$0")/install-deps.sh" libmodbus-dev
