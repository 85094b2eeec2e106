#!/usr/bin/env bash
# Runs the table of failing commands (failures.table): each row is one run
# of the real Tervan against a real zelsim, with the exit status it must end
# with and the text its standard error (and standard output) must hold.
#
#   failure_table.sh BIN_DIR TABLE
#
# Table lines (blank lines and lines starting with # are skipped):
#   = ZELSIM OPTIONS      start a fresh zelsim (and device) for the rows below
#   ! SHELL COMMAND       run in the work folder before the next row
#   @ SHELL COMMAND       run in the shell that then runs the next row's
#                         Tervan (so that "ulimit" applies to Tervan)
#   STATUS | TERVAN OPTIONS | BATCH LINES | STDERR TEXT | STDOUT TEXT | CHECK
#   ^ the same fields     a row whose zelsim stops after Tervan's start-up,
#                         before the batch lines run (it is started again
#                         on the same state afterwards)
# BATCH LINES are separated by " ; "; the texts are fixed strings (either
# may be empty); CHECK (optional) is a shell command run in the work folder
# afterwards that must succeed; @WORK@ stands for the work folder. Rows run
# in order on the same device, so later rows build on earlier ones. Without
# -B among the options the lines run as a batch file. No row may leave a PC
# file's temporary (NAME.tervan-tmp) behind.
set -u
bin=$1; table=$2
export BIN=$bin
# shellcheck source=../support/wait_up.sh
. "$(dirname "$0")/../support/wait_up.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/tervan-failures.XXXXXX")
export TERVAN_RUNDIR=$work/run TERVAN_NO_WAIT=1
sim_pid=
stop_zelsim() {
  [ -n "$sim_pid" ] || return 0
  kill "$sim_pid" 2>/dev/null; wait "$sim_pid"; local rc=$?; sim_pid=
  case $rc in 0|143) ;; *) echo "FAIL: zelsim ended with exit status $rc"; status=1 ;; esac
}
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  if [ "${TERVAN_KEEP_TEST_DIRS:-0}" != 0 ]; then echo "work folder kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
sim_opts=
start_zelsim() {
  # The log is emptied here, before zelsim starts: were the redirection to
  # empty it, the wait below could still read the last zelsim's "serving"
  # line before the new one had started, and run the next row too early.
  : >"$work/zelsim.log"
  # shellcheck disable=SC2086
  "$bin/zelsim" --state "$work/state" $sim_opts 2>>"$work/zelsim.log" &
  sim_pid=$!
  wait_up "$sim_pid" zelsim_up "$work/zelsim.log" || { echo "zelsim did not start:"; cat "$work/zelsim.log"; exit 1; }
}
status=0
prefix=
trim() { local s=$1; s=${s#"${s%%[![:space:]]*}"}; printf '%s' "${s%"${s##*[![:space:]]}"}"; }

row=0
while IFS= read -r line || [ -n "$line" ]; do
  line=${line//@WORK@/$work}
  case $line in
    ''|'#'*) continue ;;
    '= '*)
      stop_zelsim
      rm -rf "$work/state" "$work/run"
      sim_opts=${line#= }
      start_zelsim
      continue ;;
    '! '*) (cd "$work" && bash -c "${line#! }") || { echo "FAIL: setup '${line#! }'"; status=1; }; continue ;;
    '@ '*) prefix=${line#@ }; continue ;;
  esac
  row=$((row + 1))
  stops=0
  case $line in '^ '*) stops=1; line=${line#^ } ;; esac
  IFS='|' read -r want opts lines err out check <<<"$line"
  want=$(trim "$want"); opts=$(trim "$opts"); lines=$(trim "$lines"); err=$(trim "${err:-}"); out=$(trim "${out:-}")
  check=$(trim "${check:-}")
  printf '%s\n' "${lines// ; /$'\n'}" >"$work/job.bat"
  batch="-B$work/job.bat"
  case " $opts" in *" -B"*) batch="" ;; esac
  if [ $stops = 1 ]; then
    # The batch comes through a FIFO: one line to show that start-up is
    # over, then zelsim stops, then the row's lines.
    rm -f "$work/job.fifo"; mkfifo "$work/job.fifo"
    # shellcheck disable=SC2086
    (cd "$work" && exec "$bin/Tervan" $opts -B"$work/job.fifo" </dev/null >"$work/out" 2>"$work/err") &
    tervan=$!
    exec 9>"$work/job.fifo"
    printf 'ECHO started\nECHO flushed\n' >&9
    until grep -q '^started' "$work/out" || ! kill -0 $tervan 2>/dev/null; do sleep 0.02; done
    stop_zelsim
    cat "$work/job.bat" >&9
    exec 9>&-
    wait $tervan
    rc=$?
    start_zelsim
  else
    # shellcheck disable=SC2086
    (cd "$work" && eval "${prefix:-}" && exec "$bin/Tervan" $opts $batch </dev/null >"$work/out" 2>"$work/err")
    rc=$?
  fi
  prefix=
  what="row $row ($lines)"
  [ "$rc" = "$want" ] || { echo "FAIL: $what: exit status $rc, expected $want"; status=1; }
  if [ -n "$err" ] && ! grep -qF -- "$err" "$work/err"; then
    echo "FAIL: $what: standard error lacks: $err"; echo "--- it was:"; cat "$work/err"; status=1
  fi
  if [ -n "$out" ] && ! grep -qF -- "$out" "$work/out"; then
    echo "FAIL: $what: standard output lacks: $out"; echo "--- it was:"; cat "$work/out"; status=1
  fi
  if [ -n "$check" ] && ! (cd "$work" && bash -c "$check"); then
    echo "FAIL: $what: check failed: $check"; status=1
  fi
  leftovers=$(find "$work" -name '*.tervan-tmp' -type f)
  [ -z "$leftovers" ] || { echo "FAIL: $what: temporary files left: $leftovers"; status=1; }
  if grep -l -a -e 'ERROR: [A-Za-z]*Sanitizer' -e ': runtime error: ' "$work/err" >/dev/null; then
    echo "FAIL: $what: sanitizer report"; cat "$work/err"; status=1
  fi
done <"$table"
stop_zelsim
[ $status -eq 0 ] && echo "$row rows passed"
exit $status
