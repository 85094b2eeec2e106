#!/usr/bin/env bash
# interrupt_sync.sh BIN_DIR: Ctrl-C (SIGINT) sent to a real Tervan in the
# middle of a long SYNC against zelsim stops the command at a safe point:
# the batch ends with the failure line and status 130, and the device's disk
# passes fsck.fat with every file on it whole (the same bytes as on the PC).
# Then a kill (SIGKILL) inside a group of many small files (below).
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

# ---- A kill inside a group of files -----------------------------------------
# SYNC stores small files in groups of at most 64 (data, then one FAT commit,
# then the entries). Tervan is killed (SIGKILL, by strace, at the moment it
# opens the last of 200 PC files, wherever the clock stands) in the middle of
# such a group. SYNC reads PC files up to 64 ahead of the one it stores, so
# the walk is then at the 136th file at least, and the groups committed
# before the open one (64 files at most) hold at least the first 71: each of
# them must be whole on the device, no file of the open group may show up
# damaged, and fsck.fat must pass the disk.
if ! strace -f -qq -o /dev/null true 2>/dev/null; then
  echo "strace cannot trace here: the kill inside a group was not checked"
  exit 0
fi
rm -rf state run
"$bin/zelsim" --state state 2>zelsim.log &
sim_pid=$!
wait_up "$sim_pid" test -S run/lexon0 || fail "zelsim did not start"
many=$work/many/Disk0/C/MANY
mkdir -p "$many"
for i in $(seq 100 299); do head -c $((1000 + i * 7)) /dev/urandom >"$many/F$i.BIN"; done
printf 'PART do -Y\nFORMAT\nSYNC /P%s/many\n' "$work" >job.bat
# SYNC names a file from its folder (the current directory), or by its
# whole path: either open is the one killed.
strace -f -qq -o /dev/null -e trace=openat -P "$many/F299.BIN" -P F299.BIN \
  -e inject=openat:signal=KILL \
  "$bin/Tervan" -B"$work/job.bat" >out 2>err
rc=$?
[ $rc = 137 ] || fail "Tervan was not killed at F299.BIN (exit status $rc)"
bash "$here/fsck_disk.sh" state/disk0.nand || fail "fsck of the disk after the kill"
listed=$(mdir -i part1.img -b ::MANY 2>/dev/null | sed 's|^::/MANY/||') || true
whole=0
for name in $listed; do
  case $name in .|..) continue ;; F1[0-9][0-9].BIN|F2[0-9][0-9].BIN) ;; *) fail "$name on the device" ;; esac
  mtype -i part1.img "::MANY/$name" | cmp -s - "$many/$name" || fail "$name differs from its PC file"
  whole=$((whole + 1))
done
for i in $(seq 100 170); do
  case " $(echo $listed) " in *" F$i.BIN "*) ;; *) fail "F$i.BIN of a committed group is missing" ;; esac
done
kill "$sim_pid"; wait "$sim_pid"; sim_rc=$?; sim_pid=
[ $sim_rc = 0 ] || fail "zelsim ended with exit status $sim_rc"
echo "killed inside a group: $whole of the files stored before are whole on the device"
exit 0
