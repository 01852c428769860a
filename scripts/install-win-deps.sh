#!/usr/bin/env bash
# Installs the Debian 12 packages of the Windows cross build and its test run under
# wine; does nothing when they are all present.
set -euo pipefail

packages=(
  g++-mingw-w64-x86-64-posix  # the POSIX thread model: std::thread and std::mutex
  wine wine64                  # wine64 runs the tests; wine brings the command
  libgtest-dev                 # googletest's sources, built with the cross compiler
  libcli11-dev zip socat
  dpkg-dev unicode-data perl python3  # build-win-libs.sh: unpacking RE2's source, its tables
)

"$(dirname "$0")/apt-install-missing.sh" "${packages[@]}"
