#!/usr/bin/env bash
# Installs the Debian packages the build, the tools and the tests need, and
# the packages named as arguments. As root it installs what is missing;
# otherwise it prints the command.
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config
  libpugixml-dev libssl-dev libcli11-dev
  nlohmann-json3-dev
  qt6-base-dev qt6-qpa-plugins
  libxkbcommon-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev clang-format
  iproute2
  help2man dpkg-dev file
  pybind11-dev python3-dev python3-pytest
  libpcap-dev tshark tcpdump
  nlohmann-json3-dev
  libxml2-utils
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Run as root: apt-get update && apt-get install -y ${missing[*]}" >&2
  exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# tshark's package asks whether non-root users may capture: they may not.
echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
