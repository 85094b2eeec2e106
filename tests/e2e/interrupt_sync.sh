#!/usr/bin/env bash
# interrupt_sync.sh BIN_DIR: Ctrl-C (SIGINT) sent to a real Tervan in the
# middle of a long SYNC against zelsim stops the command at a safe point:
# the batch ends with the failure line and status 130, and the device's disk
# passes fsck.fat with every file on it whole (the same bytes as on the PC).
#
# The signal goes when Tervan starts on the third file, not after a time;
# should Tervan still finish the whole tree first (a very slow watcher), the
# run must have ended normally with everything copied: both outcomes are
# checked for soundness.
set -u
bin=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../support/wait_up.sh
. "$here/../support/wait_up.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/tervan-interrupt.XXXXXX")
export TERVAN_RUNDIR=$work/run TERVAN_NO_WAIT=1 BIN=$bin
sim_pid=; tervan_pid=
trap '[ -n "$tervan_pid" ] && kill "$tervan_pid" 2>/dev/null; end_work "$sim_pid" "$work"' EXIT
fail() { echo "FAIL: $*"; echo "--- stdout"; cat "$work/out"; echo "--- stderr"; cat "$work/err"; exit 1; }
cd "$work"

"$bin/zelsim" --state state 2>zelsim.log &
sim_pid=$!
wait_up "$sim_pid" test -S run/lexon0 || fail "zelsim did not start"

# Files of several transfers each (a transfer moves at most 1 MB), so the
# signal may land between files or inside one.
mkdir -p sync/Disk0/C
for i in $(seq 10 39); do head -c $((1500000 + i * 1000)) /dev/urandom >sync/Disk0/C/F$i.BIN; done
printf 'PART do -Y\nFORMAT\nSYNC /P%s/sync\nECHO not reached\n' "$work" >job.bat

"$bin/Tervan" -B"$work/job.bat" >out 2>err &
tervan_pid=$!
while kill -0 "$tervan_pid" 2>/dev/null; do
  if grep -q 'F12.BIN' out; then kill -INT "$tervan_pid"; break; fi
  sleep 0.02
done
wait "$tervan_pid"; rc=$?; tervan_pid=

stopped=0
if [ $rc = 130 ]; then
  # Stopped in the middle (the failure line), or, should the signal come only
  # after the last file, at the end of the SYNC.
  grep -q "'SYNC'执行失败, 错误码=-1" out && stopped=1
  grep -q "Ctrl-C" err || fail "no word of the interrupt on standard error"
  [ $stopped = 0 ] || ! grep -q "not reached" out || fail "the batch went on after Ctrl-C"
elif [ $rc = 0 ]; then
  grep -q "not reached" out || fail "a normal end without the whole batch"
else
  fail "exit status $rc"
fi

# The disk is sound, and each file on it is whole.
bash "$here/fsck_disk.sh" state/disk0.nand || fail "fsck of the device's disk"
listed=$(mdir -i part1.img -b :: 2>/dev/null | sed 's|^::/||') || true
copied=0
for name in $listed; do
  mtype -i part1.img "::$name" | cmp -s - "sync/Disk0/C/$name" || fail "$name differs from its PC file"
  copied=$((copied + 1))
done
if [ $stopped = 1 ]; then
  [ $copied -lt 30 ] || fail "SYNC failed, yet all 30 files were copied"
else
  [ $copied = 30 ] || fail "$copied of 30 files copied by a SYNC that ended normally"
fi
# zelsim ends well when stopped (a report of the sanitizer build would not).
kill "$sim_pid"; wait "$sim_pid"; sim_rc=$?; sim_pid=
[ $sim_rc = 0 ] || fail "zelsim ended with exit status $sim_rc"
echo "exit status $rc, $copied files whole on the device"
exit 0
