#!/usr/bin/env bash
# Builds veltra-cli.exe for 64-bit Windows (mingw-w64, -O2 as the release preset: GCC 12
# gives a false -Wrestrict in std::string at -O3; stripped) and puts
# it in build/veltra-cli-VERSION-win64.zip. The program carries its C++ runtime, so
# it needs nothing beside it but Windows 10 or later.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-win-deps.sh
scripts/build-win-libs.sh

dir=build/win-release
cmake --preset win -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRA_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir" --target veltra-cli -j "$(nproc)"

version=$(sed -n 's/^project(Veltra VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
name=veltra-cli-$version-win64
mkdir "$stage/$name"
x86_64-w64-mingw32-strip -o "$stage/$name/veltra-cli.exe" "$dir/cli/veltra-cli.exe"
# Only system DLLs may be left to load.
if x86_64-w64-mingw32-objdump -p "$stage/$name/veltra-cli.exe" | sed -n 's/.*DLL Name: //p' |
    grep -viE '^(kernel32|msvcrt|advapi32|setupapi|winspool\.drv|user32|ws2_32|ole32|shell32)(\.dll)?$'; then
  echo "veltra-cli.exe needs a DLL that Windows does not have (above)" >&2
  exit 1
fi
cat > "$stage/$name/README.txt" <<TEXT
veltra-cli $version for 64-bit Windows 10 and later

Run it from a command prompt; it needs no installation and no other file.

  veltra-cli list
  veltra-cli monitor COM3 --baud 9600
  veltra-cli spy COM3 COM4 --flow rtscts --log till.log
  veltra-cli monitor SIM-SCANNER          (a built-in simulated scanner)

"veltra-cli --help" lists the commands; COM10 and above may be written as
COM10 or \\\\.\\COM10. Settings saved by the window (--settings ComTest1) are read
from HKEY_CURRENT_USER\\Software\\Orvane\\Veltra.
TEXT
out=$PWD/build/$name.zip
rm -f "$out"
(cd "$stage" && zip -qr "$out" "$name")
echo "$out"
