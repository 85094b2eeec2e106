#!/usr/bin/env bash
# terminal_progress.sh BIN_DIR: at a terminal (a pseudo-terminal made by
# script(1)) COPY and SYNC show the progress segment (bytes of the total,
# and SYNC's file count), FORMAT and PART do ask with one key, start-up
# names its waits; off a terminal, and with TERVAN_PROGRESS=0, the
# described percent output stays.
set -u
bin=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../support/wait_up.sh
. "$here/../support/wait_up.sh"
command -v script >/dev/null || { echo "script(1) is not installed: nothing checked"; exit 0; }
work=$(mktemp -d "${TMPDIR:-/tmp}/tervan-progress.XXXXXX")
export TERVAN_RUNDIR=$work/run TERVAN_NO_WAIT=1
"$bin/zelsim" --state "$work/state" 2>"$work/zelsim.log" &
sim_pid=$!
cleanup() {
  kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  if [ "${TERVAN_KEEP_TEST_DIRS:-0}" != 0 ]; then echo "work folder kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
wait_up "$sim_pid" zelsim_up "$work/zelsim.log" || { echo "zelsim did not start"; exit 1; }
cd "$work" || exit 1
status=0
fail() { echo "FAIL: $*"; status=1; }
head -c 3145728 /dev/zero >big.bin
mkdir -p tree/Disk0/C/sub && echo a >tree/Disk0/C/a.txt && echo b >tree/Disk0/C/sub/b.txt
printf 'PART do -Y\nFORMAT\nCOPY big.bin BIG.BIN\nSYNC /Ptree\n' >job.bat
# At a terminal.
script -qec "$bin/Tervan -B$work/job.bat" /dev/null >tty.out 2>&1 || fail "Tervan at a terminal ended with $?"
grep -qF '3.0 MB/3.0 MB' tty.out || fail "COPY shows no bytes of the total at a terminal"
grep -qF '文件2/2' tty.out || fail "SYNC shows no file count at a terminal"
! grep -qF '%  ' tty.out || fail "the percent output is shown at a terminal too"
# Off a terminal, and at a terminal with TERVAN_PROGRESS=0: the percent output.
"$bin/Tervan" -B"$work/job.bat" </dev/null >pipe.out 2>&1
TERVAN_PROGRESS=0 script -qec "$bin/Tervan -B$work/job.bat" /dev/null >off.out 2>&1
for f in pipe.out off.out; do
  grep -qF $'%  \b\b' $f || fail "$f lacks the percent output"
  ! grep -qF 'MB/' $f || fail "$f shows the progress segment"
done
# Typed at a terminal, FORMAT and PART do ask first, and one key answers:
# N keeps the files.
printf 'FORMAT\nnPART do\nnDIR\nEXIT\n' | script -qec "$bin/Tervan" /dev/null >ask.out 2>&1
grep -qF '格式化命令取消' ask.out || fail "FORMAT at a terminal did not ask, or N did not cancel it"
grep -qF '分区命令取消' ask.out || fail "PART do at a terminal did not take one key"
grep -qF 'BIG.BIN' ask.out || fail "the files are gone after N"
# The start-up waits say what they wait for, at a terminal only.
TERVAN_NO_WAIT=0 script -qec "$bin/Tervan -B/dev/null" /dev/null >wait.out 2>&1
grep -qF '等待4秒' wait.out || fail "start-up's wait does not say what it waits for"
[ $status -eq 0 ] && echo "progress at a terminal and off it: ok"
exit $status
