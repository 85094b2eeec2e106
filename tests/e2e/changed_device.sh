#!/usr/bin/env bash
# changed_device.sh BIN_DIR: a session whose device went away and came back
# changed writes nothing from what it held before.
#
# An idle Tervan (its commands come from a FIFO) has read the disk; its
# zelsim stops; another zelsim and Tervan, in a run folder of their own,
# write B.BIN into the same state; the first zelsim starts again and the
# idle session copies C.BIN. B.BIN must still be there, whole, the disk
# must pass fsck.fat, and the session must say that the disk changed. Once
# with kept connections and once with TERVAN_LINK_KEEP=0.
set -u
bin=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../support/wait_up.sh
. "$here/../support/wait_up.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/tervan-changed.XXXXXX")
export TERVAN_NO_WAIT=1 BIN=$bin
sim_pid=; tervan_pid=
trap 'exec 3>&-; [ -n "$tervan_pid" ] && kill "$tervan_pid" 2>/dev/null; end_work "$sim_pid" "$work"' EXIT
fail() { echo "FAIL ($1): $2"; for f in out err zelsim.log; do echo "--- $f"; cat "$f"; done; exit 1; }
cd "$work"

# start_sim RUNDIR: a zelsim on the state, serving RUNDIR.
start_sim() {
  TERVAN_RUNDIR=$1 "$bin/zelsim" --state state 2>>zelsim.log 3>&- &
  sim_pid=$!
  wait_up "$sim_pid" test -S "$1/lexon0" || fail "$keep" "zelsim did not start"
}
stop_sim() {
  kill "$sim_pid"; wait "$sim_pid" || fail "$keep" "zelsim ended with status $?"; sim_pid=
}
# say LINE: one command for the idle session, then a mark that shows it ran.
say() {
  echo "$1" >&3; echo "ECHO mark$2" >&3
  until grep -q "mark$2 " out; do
    kill -0 "$tervan_pid" 2>/dev/null || fail "$keep" "the session ended"
    sleep 0.05
  done
}

printf 'PART do -Y\nFORMAT\nMD SUB\n' >format.bat
printf 'RD SUB\nCOPY b.bin B.BIN\n' >other.bat
head -c 30000 /dev/urandom >a.bin; head -c 50000 /dev/urandom >b.bin; head -c 70000 /dev/urandom >c.bin
for keep in 1 0; do
  export TERVAN_LINK_KEEP=$keep
  rm -rf state run run2 out err; mkfifo in 2>/dev/null
  start_sim run
  TERVAN_RUNDIR=run "$bin/Tervan" -B"$work/format.bat" >out 2>err ||
    fail "$keep" "partitioning"
  TERVAN_RUNDIR=run "$bin/Tervan" <in >out 2>err &
  tervan_pid=$!
  exec 3>in
  say "COPY a.bin A.BIN" 1
  say "CD SUB" 2
  stop_sim

  start_sim run2
  TERVAN_RUNDIR=run2 "$bin/Tervan" -B"$work/other.bat" >>err 2>&1 ||
    fail "$keep" "the other session"
  stop_sim

  start_sim run
  say "COPY c.bin C.BIN" 3
  exec 3>&-
  wait "$tervan_pid" || fail "$keep" "the idle session ended with status $?"; tervan_pid=
  stop_sim
  grep -q '磁盘0在连接中断期间被改变' err || fail "$keep" "no word of the changed disk"
  ! grep -q '执行失败' out err || fail "$keep" "a command failed"
  bash "$here/fsck_disk.sh" state/disk0.nand >>err 2>&1 || fail "$keep" "fsck of the device's disk"
  for f in a b c; do
    mtype -i part1.img "::${f^^}.BIN" | cmp -s - $f.bin || fail "$keep" "${f^^}.BIN is not whole"
  done
done
echo "a changed device was read again before any write, with and without kept connections"
exit 0
