#!/usr/bin/env bash
# The Windows build of everything but the window (mingw-w64), and its Qt-free suites
# and veltra-cli.exe run under wine in a private, throw-away wine prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-win-deps.sh
scripts/build-win-libs.sh

start=$(date +%s)
jobs=$(nproc)
cmake --preset win >/dev/null
cmake --build --preset win -j "$jobs"
built=$(date +%s)

prefix=$(mktemp -d /tmp/veltra-wine.XXXXXX)
export WINEPREFIX="$prefix/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
socat_pid=
cleanup() {
  wineserver -k 2>/dev/null || true  # this prefix's server only
  [ -z "$socat_pid" ] || kill "$socat_pid" 2>/dev/null || true
  rm -rf "$prefix"
}
trap cleanup EXIT
# A pty pair for the native comm path: wine opens one end as COM40.
socat pty,raw,echo=0,link="$prefix/com40" pty,raw,echo=0,link="$prefix/far" &
socat_pid=$!
for _ in $(seq 100); do [ -e "$prefix/far" ] && break; sleep 0.1; done
# The first start makes the prefix (a few seconds; once). Wine maps COM1.. to
# /dev/ttyS*, and /dev/ttyS0 can be the console: COM1-COM8 are turned off (wine may
# still give /dev/ttyS0 a higher free number). No test opens a COM port but COM40.
wine wineboot --init >/dev/null 2>&1
for n in 1 2 3 4 5 6 7 8; do
  wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /t REG_SZ /d '' /f >/dev/null 2>&1
done
wine reg add 'HKLM\Software\Wine\Ports' /v COM40 /t REG_SZ /d "$(readlink -f "$prefix/com40")" \
  /f >/dev/null 2>&1
wineserver -w
booted=$(date +%s)

# The native comm path through wine's serial emulation on the pty: data goes
# through; modem lines and comm events wine refuses on a pty (see README).
timeout 10 head -c 6 "$prefix/far" >"$prefix/got" &
reader=$!
wine build/win/cli/veltra-cli.exe send COM40 --text hello --cr --events off
wait "$reader"
[ "$(cat "$prefix/got")" = $'hello\r' ] || { echo "COM40: the pty got '$(cat "$prefix/got")'" >&2; exit 1; }
echo "COM40 (a pty under wine): send passed"

status=0
ctest --preset win -j "$jobs" --timeout 600 || status=$?
ended=$(date +%s)
echo "Windows: build $((built - start)) s, wine prefix $((booted - built)) s," \
  "tests $((ended - booted)) s, in all $((ended - start)) s"
exit "$status"
