#!/usr/bin/env bash
# Installs the Debian 12 packages Veltra builds, tests and benchmarks with; does
# nothing when they are all present. Needs root (or sudo) only when installing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev libgl-dev fonts-dejavu-core
  libgtest-dev libgmock-dev libcli11-dev liblua5.4-dev
  cups cups-client libcups2-dev
  libudev-dev
  nlohmann-json3-dev libre2-dev
  socat jpnevulator xxd bsdextrautils
  ser2net
  xvfb xauth
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
