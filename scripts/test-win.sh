#!/usr/bin/env bash
# The Windows build of everything but the window (mingw-w64), and its Qt-free suites
# and veltra-cli.exe run under wine in a private, throw-away wine prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-win-deps.sh

start=$(date +%s)
jobs=$(nproc)
cmake --preset win >/dev/null
cmake --build --preset win -j "$jobs"
built=$(date +%s)

prefix=$(mktemp -d /tmp/veltra-wine.XXXXXX)
export WINEPREFIX="$prefix/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  wineserver -k 2>/dev/null || true  # this prefix's server only
  rm -rf "$prefix"
}
trap cleanup EXIT
# The first start makes the prefix (a few seconds; once). No COM port may lead to a
# real device: wine maps COM1.. to /dev/ttyS*, and /dev/ttyS0 can be the console.
wine wineboot --init >/dev/null 2>&1
for n in 1 2 3 4 5 6 7 8; do
  wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /t REG_SZ /d '' /f >/dev/null 2>&1
done
wineserver -w
rm -f "$WINEPREFIX"/dosdevices/com*
booted=$(date +%s)

ctest --preset win --timeout 600
ended=$(date +%s)
echo "Windows: build $((built - start)) s, wine prefix $((booted - built)) s," \
  "tests $((ended - booted)) s, in all $((ended - start)) s"
