#!/usr/bin/env bash
# Cross-builds the libraries Debian packages for Linux only, from Debian's own source
# packages, as static libraries for the Windows build into build/win-libs: RE2 (regex
# triggers) and Lua 5.4 (scripts). Does nothing when that prefix holds these versions.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
prefix="$root/build/win-libs"
re2_version=20220601+dfsg-1
lua_version=5.4.4-3+deb12u1
stamp="$prefix/.re2-$re2_version.lua-$lua_version"
[ -e "$stamp" ] && exit 0

work=$(mktemp -d /tmp/veltra-win-libs.XXXXXX)
trap 'rm -rf "$work"' EXIT
# The source packages through a private list, so the machine's own stays as it is.
mkdir -p "$work/apt/lists/partial" "$work/src"
cat >"$work/apt/src.sources" <<SOURCES
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
apt_opts=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$work/apt"
          -o "Dir::State::Lists=$work/apt/lists" -o APT::Sandbox::User=root)
apt-get "${apt_opts[@]}" -qq update
(cd "$work/src" && apt-get "${apt_opts[@]}" -qq source --download-only \
  "re2=$re2_version" "lua5.4=$lua_version" >/dev/null)
(cd "$work/src" && dpkg-source -q -x re2_*.dsc re2 >/dev/null 2>&1 &&
  dpkg-source -q -x lua5.4_*.dsc lua >/dev/null 2>&1)
rm -rf "$prefix"
mkdir -p "$prefix/lib" "$prefix/include"

# RE2: Debian's source leaves out the generated tables and makes them anew, as here,
# from the Unicode data of its unicode-data package.
(cd "$work/src/re2" && perl re2/make_perl_groups.pl >re2/perl_groups.cc &&
  python3 re2/make_unicode_casefold.py >re2/unicode_casefold.cc &&
  python3 re2/make_unicode_groups.py >re2/unicode_groups.cc)
cmake -S "$work/src/re2" -B "$work/re2-build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF -DRE2_BUILD_TESTING=OFF >/dev/null
cmake --build "$work/re2-build" -j "$(nproc)" >/dev/null
cmake --install "$work/re2-build" >/dev/null

# Lua: the library's sources (not the lua and luac programs), as Debian builds them.
lua_src="$work/src/lua/src"
objects=()
for c in "$lua_src"/*.c; do
  case "$(basename "$c")" in lua.c | luac.c) continue ;; esac
  o="$work/$(basename "$c" .c).o"
  x86_64-w64-mingw32-gcc-posix -O2 -DLUA_COMPAT_5_3 -c "$c" -o "$o"
  objects+=("$o")
done
x86_64-w64-mingw32-ar rcs "$prefix/lib/liblua5.4.a" "${objects[@]}"
cp "$lua_src"/{lua.h,luaconf.h,lualib.h,lauxlib.h,lua.hpp} "$prefix/include/"

touch "$stamp"
echo "RE2 $re2_version and Lua $lua_version built for Windows into $prefix"
