#!/usr/bin/env bash
# The Windows build (mingw-w64) and its tests under Wine: the Win32 host
# layer, the request procedure, the mailslots and the simulation link, and
# the servicing transcripts of Tervan.exe against zelsim.exe (named pipe and
# -E). Needs a Linux build in build/ (scripts/test.sh) for the transcripts'
# checks. Wine gets a fresh prefix and a zh_CN.UTF-8 locale in a temporary
# folder, removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DTERVAN_LINUX_BIN="$root/build/bin" >/dev/null
cmake --build build-win -j"$(nproc)"

work=$(mktemp -d "${TMPDIR:-/tmp}/tervan-wine.XXXXXX")
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEARCH=win64 TERVAN_LOCPATH=$work/locale
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$TERVAN_LOCPATH"
localedef -i zh_CN -f UTF-8 "$TERVAN_LOCPATH/zh_CN.UTF-8" 2>/dev/null || true
wineboot -i >/dev/null 2>&1
# One Wine server for the whole run instead of one per test.
wineserver -p 2>/dev/null || true  # already running after wineboot: fine
cd build-win
ctest --output-on-failure
