#!/usr/bin/env bash
# Installs the Debian 12 packages Veltra builds, tests and benchmarks with; does
# nothing when they are all present. With --fuzz also clang and its libFuzzer, for
# the fuzz preset (the test run does not need them).
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

if [ "${1:-}" = "--fuzz" ]; then
  packages+=(clang libclang-rt-14-dev)
fi

"$(dirname "$0")/apt-install-missing.sh" "${packages[@]}"
