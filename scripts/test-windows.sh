#!/usr/bin/env bash
# The Windows build (mingw-w64) and its tests under Wine: the Win32 host
# layer, the request procedure, the mailslots and the simulation link, and
# the servicing transcripts of Tervan.exe against zelsim.exe (named pipe and
# -E). Needs a Linux build in build/ (scripts/test.sh) for the transcripts'
# checks. Wine gets a fresh prefix and a zh_CN.UTF-8 locale in a temporary
# folder under $TMPDIR, removed at the end.
#
#   scripts/test-windows.sh              every Windows test (what .ci/run does)
#   scripts/test-windows.sh -L e2e       only some of them (any ctest arguments)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
[ -x build/bin/nand_disk ] || { echo "build/bin/nand_disk missing: run scripts/test.sh first" >&2; exit 1; }
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake "${launcher[@]}" \
  -DTERVAN_LINUX_BIN="$root/build/bin" >/dev/null
cmake --build build-win -j"$(nproc)"

work=$(mktemp -d "${TMPDIR:-/tmp}/tervan-wine.XXXXXX")
# No Mono or Gecko for the prefix: nothing here needs them, and their
# installer would only ask.
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEARCH=win64 TERVAN_LOCPATH=$work/locale \
  WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  # Debian's Wine keeps its server's sockets in a folder of its own under
  # $TMPDIR, named in the prefix's file "wineserver", and leaves it behind.
  local sockets
  sockets=$(cat "$WINEPREFIX/wineserver" 2>/dev/null || true)
  case $sockets in wine-??????) rm -rf "${TMPDIR:-/tmp}/$sockets" ;; esac
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$TERVAN_LOCPATH" "$WINEPREFIX"
localedef -i zh_CN -f UTF-8 "$TERVAN_LOCPATH/zh_CN.UTF-8" 2>/dev/null || true
[ -d "$TERVAN_LOCPATH/zh_CN.UTF-8" ] || { echo "localedef cannot make zh_CN.UTF-8 (Debian: locales)" >&2; exit 1; }
# One Wine server for the whole run, started before the prefix is made: the
# prefix's services (started by wineboot) then stay up, and no test starts
# them with its own output, which CTest would wait on until they end.
wineserver -p
wineboot -i >/dev/null 2>&1
cd build-win
ctest --output-on-failure -j"$(nproc)" "$@"
