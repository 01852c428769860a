#!/usr/bin/env bash
# Installs the Debian 12 packages of the Windows cross build and its test run under
# wine; does nothing when they are all present. Needs root (or sudo) only when
# installing.
set -euo pipefail

packages=(
  g++-mingw-w64-x86-64-posix  # the POSIX thread model: std::thread and std::mutex
  wine wine64                  # wine64 runs the tests; wine brings the command
  libgtest-dev                 # googletest's sources, built with the cross compiler
  libcli11-dev zip socat
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
