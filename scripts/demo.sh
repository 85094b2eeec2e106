#!/usr/bin/env bash
# The main job: builds Tervan and zelsim (only those two), starts zelsim
# with a fresh device in a temporary folder, runs a Tervan batch that
# services it, stops zelsim again and says what happened.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=../tests/support/wait_up.sh
. "$top/tests/support/wait_up.sh"

echo "== building Tervan and zelsim in $top/build"
cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo --log-level=WARNING
cmake --build "$top/build" -j"$(nproc)" --target Tervan zelsim

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
wait_up "$sim_pid" test -S "$work/run/lexon0" || { echo "zelsim did not start" >&2; exit 1; }

# The PC side: two files to copy and a tree to synchronise (pc/Disk0/C, E).
cp "$top/scripts/demo.bat" "$work/demo.bat"
printf 'Tervan demo\n' >"$work/readme.txt"
printf 'notes of the demo\n' >"$work/notes.txt"
mkdir -p "$work/got"
mkdir -p "$work/pc/Disk0/C/dict/words" "$work/pc/Disk0/E"
printf 'apple\nbanana\n' >"$work/pc/Disk0/C/dict/index.txt"
printf 'cherry\n' >"$work/pc/Disk0/C/dict/words/c.txt"
printf 'settings\n' >"$work/pc/Disk0/E/user.cfg"

echo "== Tervan -B demo.bat"
status=0
(cd "$work" && "$top/build/bin/Tervan" "-B$work/demo.bat") | tee "$work/tervan.out" || status=$?
echo
echo "== Tervan ended with exit status $status"
echo "== the tree SYNC wrote back to the PC:"
(cd "$work/back" && find . -type f | sort)

# What happened, in plain words. Tervan prints "'COMMAND'执行失败" for each
# command that failed.
failed=$(grep -c "执行失败" "$work/tervan.out" || true)
back=$(find "$work/back" -type f 2>/dev/null | wc -l)
sent=$(find "$work/pc" -type f | wc -l)
same=yes
for f in $(cd "$work/pc" && find . -type f); do
  # The device keeps upper-case 8.3 names: find the file back in any case.
  b=$(cd "$work/back" && find . -type f -ipath "$f" | head -n 1)
  [ -n "$b" ] && cmp -s "$work/pc/$f" "$work/back/$b" || same=no
done
echo
echo "== Summary"
echo "zelsim played a fresh ZEL device with one 128 MB NAND disk; Tervan ran"
echo "scripts/demo.bat against it. Tervan partitioned disk 0 (C, reserved D, E) and"
echo "formatted it, copied 2 PC files onto partition C, made the directory DOCS and"
echo "copied a file into it, listed the directories, synchronised the PC tree pc/"
echo "($sent files) onto partitions C and E, and wrote the device's partitions back"
echo "into a new PC tree, back/: $back files came back. GET brought NOTES.TXT back"
echo "into got/ on its own."
cmp -s "$work/notes.txt" "$work/got/NOTES.TXT" || same=no
if [ "$same" = yes ]; then
  echo "Every file sent with SYNC came back byte for byte, and so did NOTES.TXT with GET."
else
  echo "Some files sent with SYNC did not come back unchanged (see the listing above)."
fi
if [ "$status" = 0 ] && [ "$failed" = 0 ]; then
  echo "Every command succeeded; the device's state was thrown away at the end."
else
  echo "$failed command(s) failed and Tervan ended with exit status $status."
  exit 1
fi
