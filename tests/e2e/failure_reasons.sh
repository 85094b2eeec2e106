#!/usr/bin/env bash
# failure_reasons.sh BIN_DIR TABLE: every failing command of TABLE
# (failures.txt) against a real zelsim: Tervan's exit status, and the
# reason on its own line of standard error right after the line of standard
# output it explains, in a log that takes both (2>&1). No run may leave a
# PC file's temporary (*.tervan-tmp) behind.
set -u
bin=$(cd "$1" && pwd)
table=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../support/wait_up.sh
. "$here/../support/wait_up.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/tervan-reasons.XXXXXX")
export TERVAN_RUNDIR=$work/run TERVAN_NO_WAIT=1
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  if [ "${TERVAN_KEEP_TEST_DIRS:-0}" != 0 ]; then echo "work folder kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
start_zelsim() {
  "$bin/zelsim" --state "$work/state" 2>>"$work/zelsim.log" &
  sim_pid=$!
  wait_up "$sim_pid" test -S "$work/run/lexon0" || { echo "zelsim did not start"; cat "$work/zelsim.log"; exit 1; }
}
cd "$work" || exit 1
start_zelsim
echo hello >a.txt
head -c 65536 /dev/urandom >big.bin
printf 'PART do -Y\nFORMAT\nCOPY big.bin BIG.BIN\n' >prepare.bat
"$bin/Tervan" --stop-on-error -B"$work/prepare.bat" >prepare.out 2>&1 || { echo "FAIL: preparing the device"; cat prepare.out; exit 1; }

failures=0 n=0
trim() { local s=$1; s=${s#"${s%%[! ]*}"}; printf '%s' "${s%"${s##*[! ]}"}"; }
while IFS= read -r row; do
  case $row in '#'* | '') continue ;; esac
  row=${row//@WORK@/$work}
  IFS='|' read -r setup command status after reason check <<<"$row"
  check=$(trim "${check:-}")
  setup=$(trim "$setup"); command=$(trim "$command"); status=$(trim "$status")
  after=$(trim "$after"); reason=$(trim "$reason")
  n=$((n + 1))
  log=$work/case$n.log
  printf '%s\n' "${command// ; /$'\n'}" >"case$n.bat"
  if [ "$setup" = @zelsim-stops ]; then
    # Tervan starts against zelsim and reads its batch from a FIFO; zelsim
    # is stopped once Tervan has run the first line, before the command.
    mkfifo "case$n.fifo"
    "$bin/Tervan" --stop-on-error -B"$work/case$n.fifo" >"$log" 2>&1 &
    tervan=$!
    exec 9>"case$n.fifo"
    echo "ECHO started" >&9
    echo "ECHO flushed" >&9
    until grep -q '^started' "$log" || ! kill -0 $tervan 2>/dev/null; do sleep 0.02; done
    kill "$sim_pid"; wait "$sim_pid"; sim_pid=
    cat "case$n.bat" >&9
    exec 9>&-
    wait $tervan; rc=$?
    start_zelsim
  else
    (if [ "$setup" != - ]; then eval "$setup"; fi
     exec "$bin/Tervan" --stop-on-error -B"$work/case$n.bat" </dev/null >"$log" 2>&1)
    rc=$?
  fi
  problem=
  [ "$rc" = "$status" ] || problem="exit status $rc, expected $status"
  # The reason's line, and the line before it.
  line=$(grep -n -a -E -x -m1 "Tervan: $reason" "$log" | cut -d: -f1)
  if [ -z "$problem" ] && [ -z "$line" ]; then
    problem="no reason line matching 'Tervan: $reason'"
  elif [ -z "$problem" ]; then
    before=$(sed -n "$((line - 1))p" "$log")
    case $before in *"$after"*) ;; *) problem="the reason follows '$before', not '$after'" ;; esac
  fi
  if [ -z "$problem" ] && [ -n "$check" ] && ! (eval "$check"); then problem="check failed: $check"; fi
  leftovers=$(find "$work" -name '*.tervan-tmp' -type f)
  [ -z "$leftovers" ] || problem="temporary files left: $leftovers"
  if [ -n "$problem" ]; then
    echo "FAIL: $command: $problem"; echo "--- output"; cat "$log"; failures=$((failures + 1))
  fi
done <"$table"
[ "$n" -gt 0 ] || { echo "FAIL: no case in $table"; exit 1; }
echo "$n cases, $failures failed"
[ "$failures" = 0 ]
