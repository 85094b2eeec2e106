#!/usr/bin/env bash
# The main job: builds Tervan and zelsim, starts zelsim with a fresh device
# in a temporary folder, runs a Tervan batch that services it, and stops
# zelsim again.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$top/build" -j"$(nproc)" >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/tervan-demo.XXXXXX")
export TERVAN_RUNDIR=$work/run
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

echo "== zelsim: a fresh device in $work/state"
"$top/build/bin/zelsim" --state "$work/state" --disks 1 &
sim_pid=$!
for _ in $(seq 1 100); do [ -S "$work/run/lexon0" ] && break; sleep 0.05; done

# The PC side: two files to copy and a tree to synchronise (pc/Disk0/C, E).
cp "$top/scripts/demo.bat" "$work/demo.bat"
printf 'Tervan demo\n' >"$work/readme.txt"
printf 'notes of the demo\n' >"$work/notes.txt"
mkdir -p "$work/pc/Disk0/C/dict/words" "$work/pc/Disk0/E"
printf 'apple\nbanana\n' >"$work/pc/Disk0/C/dict/index.txt"
printf 'cherry\n' >"$work/pc/Disk0/C/dict/words/c.txt"
printf 'settings\n' >"$work/pc/Disk0/E/user.cfg"

echo "== Tervan -B demo.bat"
status=0
(cd "$work" && "$top/build/bin/Tervan" "-B$work/demo.bat") || status=$?
echo
echo "== Tervan ended with exit status $status"
echo "== the tree SYNC wrote back to the PC:"
(cd "$work/back" && find . -type f | sort)
