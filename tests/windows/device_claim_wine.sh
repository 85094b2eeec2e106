#!/usr/bin/env bash
# Under Wine: one client per device on Windows as on Linux. zelsim.exe
# serves both links; a Tervan.exe that holds the device over the named pipe
# makes a Tervan.exe -E (the other link, whose lock file is another) fail
# with the holder named, and the other way round; a holder that has ended
# blocks nobody. Windows process ids are not the shell's, so the message
# is checked up to the holder's number.
#
#   device_claim_wine.sh WIN_BIN
set -u
win=$1
. "$(dirname "$0")/../support/wait_up.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/tervan-claim-wine.XXXXXX")
export TERVAN_RUNDIR=$work/run TERVAN_NO_WAIT=1 WINEDEBUG=${WINEDEBUG:--all}
sim_pid=; holder=; writer=
end_holder() {
  [ -n "$writer" ] && kill "$writer" 2>/dev/null
  [ -n "$holder" ] && wait "$holder" 2>/dev/null
  holder=; writer=
}
trap 'end_holder; end_work "$sim_pid" "$work"' EXIT
cd "$work" || exit 1
status=0
fail() { echo "FAIL: $1"; cat "$2" 2>/dev/null; status=1; }
# As on a Chinese Windows (code page 936); the output, GBK, read as UTF-8.
# A simple command, so that a program started in the background is the
# process $! names (and a kill reaches it, not a shell around it).
wine_run=(env LOCPATH="${TERVAN_LOCPATH:-}" LC_ALL=zh_CN.UTF-8 wine)
utf8() { iconv -f GBK -t UTF-8 -c <"$1"; }

"${wine_run[@]}" "$win/zelsim.exe" --state state --link both 2>zelsim.log &
sim_pid=$!
wait_up "$sim_pid" zelsim_up zelsim.log || { echo "zelsim.exe did not start"; cat zelsim.log; exit 1; }

# hold NAME OPTIONS...: a Tervan.exe that reads its commands from a FIFO,
# kept open until end_holder; it holds the device once it has run one.
hold() {
  local name=$1; shift
  rm -f "$name.in"; mkfifo "$name.in"
  { echo 'ECHO holding'; exec sleep 600; } >"$name.in" 2>/dev/null &
  writer=$!
  "${wine_run[@]}" "$win/Tervan.exe" "$@" <"$name.in" >"$name.out" 2>&1 &
  holder=$!
  wait_up "$holder" grep -q holding "$name.out" || { fail "$name did not start" "$name.out"; exit 1; }
}
echo 'ECHO next' >next.bat

hold driver-holder
"${wine_run[@]}" "$win/Tervan.exe" -E -Bnext.bat </dev/null >sim.out; rc=$?
[ "$rc" = 255 ] && utf8 sim.out | grep -qF 'ZEL设备(仿真USB连接)正被Tervan使用 (进程' ||
  fail "-E beside a driver-link session: exit status $rc" sim.out
end_holder

hold sim-holder -E
"${wine_run[@]}" "$win/Tervan.exe" -Bnext.bat </dev/null >driver.out; rc=$?
[ "$rc" = 255 ] && utf8 driver.out | grep -qF '正被Tervan使用 (进程' ||
  fail "driver link beside a -E session: exit status $rc" driver.out
end_holder

"${wine_run[@]}" "$win/Tervan.exe" -Bnext.bat </dev/null >next.out; rc=$?
[ "$rc" = 0 ] && grep -q '^next' next.out || fail "after the holders ended: exit status $rc" next.out
exit $status
