#!/usr/bin/env bash
# Runs one transcript test: the real Tervan against a real zelsim.
#
#   run_transcript.sh BIN_DIR CASE_DIR NAME
#
# CASE_DIR/NAME.bat   the batch file Tervan runs (-B)
# CASE_DIR/NAME.out   what Tervan must print (standard output, exactly)
# CASE_DIR/NAME.rc    the exit status Tervan must end with (default 0)
# CASE_DIR/NAME.sim   zelsim's options (one line; "none" runs no zelsim)
# CASE_DIR/NAME.args  Tervan's options before -B (one line; may use @WORK@)
# CASE_DIR/NAME.setup a bash snippet run in the work folder before Tervan
# CASE_DIR/NAME.check a bash snippet run in the work folder afterwards
#                     (exit status nonzero fails the test; $TERVAN_RC is
#                     Tervan's exit status)
# CASE_DIR/NAME.sed   a sed script applied to what Tervan printed before it
#                     is compared or recorded (to mask the clock's dates)
#
# The batch file is copied to a fresh work folder, so relative PC paths in
# it resolve there; @WORK@ in .bat, .args and .out stands for that folder.
# $TRANSCRIPT_FILTER, when set, is a command both the expected and the
# actual output pass through before they are compared (the Windows runs
# make their path separators '/' with it).
set -u
bin=$1; cases=$2; name=$3
# shellcheck source=../support/wait_up.sh
. "$(dirname "$0")/../support/wait_up.sh"
export -f wait_up zelsim_up  # for the .setup and .check snippets
work=$(mktemp -d "${TMPDIR:-/tmp}/tervan-e2e.XXXXXX")
export TERVAN_RUNDIR=$work/run TERVAN_NO_WAIT=1 BIN=$bin
sim_pid=
trap 'end_work "$sim_pid" "$work"' EXIT

subst() { sed "s|@WORK@|$work|g" "$1"; }

sim_opts=""
[ -f "$cases/$name.sim" ] && sim_opts=$(subst "$cases/$name.sim")
if [ "$sim_opts" != "none" ]; then
  # shellcheck disable=SC2086
  "$bin/zelsim" --state "$work/state" $sim_opts 2>"$work/zelsim.log" &
  sim_pid=$!
  link=driver
  case " $sim_opts " in *" --link usb "*) link=usb ;; esac
  wait_up "$sim_pid" zelsim_up "$work/zelsim.log" $link || { echo "zelsim did not start:"; cat "$work/zelsim.log"; exit 1; }
fi

subst "$cases/$name.bat" >"$work/job.bat"
( cd "$work" && [ -f "$cases/$name.setup" ] && bash "$cases/$name.setup" ) || true
args=""
[ -f "$cases/$name.args" ] && args=$(subst "$cases/$name.args")
# shellcheck disable=SC2086
batch="-B$work/job.bat"
case " $args" in *" -B"*) batch="" ;; esac
# shellcheck disable=SC2086
(cd "$work" && "$bin/Tervan" $args $batch </dev/null >"$work/actual.out" 2>"$work/tervan.err")
rc=$?
if [ -f "$cases/$name.sed" ]; then
  sed -f "$cases/$name.sed" "$work/actual.out" >"$work/actual.sed" && mv "$work/actual.sed" "$work/actual.out"
fi
want_rc=0
[ -f "$cases/$name.rc" ] && want_rc=$(cat "$cases/$name.rc")
if [ "${REGEN:-0}" = 1 ]; then  # record what Tervan printed as the expected output
  sed "s|$work|@WORK@|g" "$work/actual.out" >"$cases/$name.out"
  [ "$rc" != 0 ] && echo "$rc" >"$cases/$name.rc"
fi
subst "$cases/$name.out" >"$work/expected.out"
if [ -n "${TRANSCRIPT_FILTER:-}" ]; then
  for f in expected actual; do
    $TRANSCRIPT_FILTER <"$work/$f.out" >"$work/$f.filtered" && mv "$work/$f.filtered" "$work/$f.out"
  done
fi
status=0
if ! diff -u "$work/expected.out" "$work/actual.out"; then
  echo "FAIL: output of $name differs (expected -, actual +)"; status=1
fi
if [ "$rc" != "$want_rc" ]; then echo "FAIL: exit status $rc, expected $want_rc"; status=1; fi
if [ -f "$cases/$name.check" ]; then
  (cd "$work" && TERVAN_RC=$rc bash "$cases/$name.check") || { echo "FAIL: check of $name"; status=1; }
fi
# zelsim ends well when stopped: status 0 (or the signal's own 143, as
# zelsim.exe under Wine does). So does every program the case ran: no report
# of the sanitizer build (scripts/sanitize.sh) in any log, whether or not the
# snippet that ran the program looked at its status.
if [ -n "$sim_pid" ]; then
  kill "$sim_pid" 2>/dev/null; wait "$sim_pid"; sim_rc=$?; sim_pid=
  case $sim_rc in 0|143) ;; *) echo "FAIL: zelsim ended with exit status $sim_rc"; status=1 ;; esac
fi
reports=$(find "$work" \( -name '*.log' -o -name '*.err' -o -name '*.out' \) -type f \
            -exec grep -l -a -e 'ERROR: [A-Za-z]*Sanitizer' -e ': runtime error: ' {} +)
[ -z "$reports" ] || { echo "FAIL: sanitizer report in" $reports; cat $reports; status=1; }
[ $status -ne 0 ] && { echo "--- zelsim log"; cat "$work/zelsim.log" 2>/dev/null; echo "--- stderr"; cat "$work/tervan.err"; }
exit $status
