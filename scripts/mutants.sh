#!/usr/bin/env bash
# A mutation check: puts small deliberate mistakes into the product one at a
# time, builds, runs the tests that should catch each, and reports the
# mistakes the tests let through. Each file is put back as it was after its
# mutant (also when the script is stopped), and the build is rebuilt from
# the unchanged sources at the end.
#
#   scripts/mutants.sh [--full] [NAME...]
#
# Without names every mutant of the list below runs. Each mutant names the
# tests that should catch it (a ctest -R pattern); --full runs the whole
# suite against each instead (as CI would: several minutes per mutant).
# Needs a configured build/ (scripts/test.sh makes one). Exit status 1 when
# a mutant survives.
set -euo pipefail
cd "$(dirname "$0")/.."
full=0
if [ "${1:-}" = --full ]; then full=1; shift; fi

# name^file^text to replace (exactly once in the file)^replacement^tests (ctest -R)
# \n in the texts stands for a line end.
mutants() {
  cat <<'LIST'
sync-date-only^shell/sync.cc^(stamp.date != find.date || stamp.time != find.time)^(stamp.date != find.date)^DiskSyncTest
fat12-straddle^tervlink/fat_device/fat.cc^    MarkFatDirty(at + 1);\n    MarkFatDirty(at + 2);^    MarkFatDirty(at + 1);^FatTest
page-rmw^zelsim/model/nand_disk.cc^(from % spp != 0 || to % spp != 0)^(from % spp != 0 && to % spp != 0)^NandModel
kept-epipe^tervlink/host/posix/device_socket.cc^if (!c || !c->fresh || !c->reused^if (true || !c->fresh || !c->reused^ZelsimBinary
short-data^tervlink/host/posix/device_socket.cc^ok = dataAnswer[0] == 1 && bytes::Get32(dataAnswer + 1) == length;^ok = dataAnswer[0] == 1;^SocketLink
changed-device^tervlink/fat_device/volume.cc^  if (now == losses_) return true;^  if (now != losses_ + 1000) return true;^DeviceChanged|e2e.changed_device
second-client^zelsim/link/driver_server.cc^if (holder_.Claim(peer_, program, this, pid, who))^if (holder_.Claim(peer_, program, this, pid, who) || true)^e2e.device_busy
zero-byte^shell/command_shell.cc^  else if (zero)^  else if (false)^ZeroByte|StartupTest.DefaultOs
LIST
}

# Replaces text once in file (python: literal, no pattern syntax). False
# when the text is not there exactly once (the list is out of date).
replace() {
  python3 - "$1" "$2" "$3" <<'PY'
import sys
path, old, new = sys.argv[1], sys.argv[2].replace("\\n", "\n"), sys.argv[3].replace("\\n", "\n")
text = open(path, encoding="utf-8").read()
if text.count(old) != 1:
    sys.exit("%s: the text to replace occurs %d times" % (path, text.count(old)))
open(path, "w", encoding="utf-8").write(text.replace(old, new))
PY
}

[ -f build/CMakeCache.txt ] || { echo "configure build/ first (scripts/test.sh)"; exit 2; }
saved=$(mktemp -d "${TMPDIR:-/tmp}/tervan-mutants.XXXXXX")
current=
restore() {
  if [ -n "$current" ]; then cp "$saved/original" "$current"; current=; fi
}
trap 'restore; rm -rf "$saved"' EXIT
trap 'exit 130' INT TERM

missed=()
caught=()
while IFS='^' read -r name file old new tests; do
  if [ $# -gt 0 ] && [[ " $* " != *" $name "* ]]; then continue; fi
  cp "$file" "$saved/original"
  current=$file
  if ! replace "$file" "$old" "$new"; then restore; echo "$name: cannot be applied"; exit 2; fi
  echo "== $name ($file)"
  if ! cmake --build build -j"$(nproc)" >"$saved/build.log" 2>&1; then
    restore
    echo "   does not compile: the list is out of date"; tail -20 "$saved/build.log"; exit 2
  fi
  filter=(-R "$tests")
  [ $full = 1 ] && filter=()
  # A mutant that makes a test wait for ever is caught by the timeout.
  if (cd build && ctest "${filter[@]}" --timeout 120 -j"$(nproc)" >"$saved/$name.log" 2>&1); then
    missed+=("$name")
    echo "   MISSED: every test passed"
  else
    caught+=("$name")
    echo "   caught by: $(grep -E '^[[:space:]]+[0-9]+ - ' "$saved/$name.log" | sed 's/^ *[0-9]* - //; s/ (.*//' | tr '\n' ' ')"
  fi
  restore
done < <(mutants)

echo "== rebuilding the unchanged sources"
cmake --build build -j"$(nproc)" >/dev/null
echo "caught ${#caught[@]} of $(( ${#caught[@]} + ${#missed[@]} ))${missed[*]:+; missed: ${missed[*]}}"
[ ${#missed[@]} = 0 ]
