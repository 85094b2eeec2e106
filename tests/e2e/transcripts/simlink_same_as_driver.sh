#!/usr/bin/env bash
# Used by the simlink_* checks, in the work folder after Tervan -E has run:
# runs the same batch over the driver link against a fresh zelsim started
# with the given options, and fails unless it printed exactly the same (both
# outputs passed through $SED_FILE first when it is set, for clock dates)
# and ended with the same exit status ($TERVAN_RC).
set -u
export TERVAN_RUNDIR=$PWD/run-driver
# shellcheck disable=SC2068
"$BIN/zelsim" --state "$PWD/state-driver" --link driver $@ 2>zelsim-driver.log &
pid=$!
wait_up $pid zelsim_up zelsim-driver.log || { echo "driver zelsim did not start"; cat zelsim-driver.log; exit 1; }
"$BIN/Tervan" -F "-B$PWD/job.bat" </dev/null >driver.out 2>driver.err
rc=$?
kill $pid; wait $pid
[ "$rc" = "${TERVAN_RC:-0}" ] || { echo "driver link: exit status $rc, simulation link ${TERVAN_RC:-0}"; exit 1; }
if [ -n "${SED_FILE:-}" ]; then
  sed -f "$SED_FILE" driver.out >driver.masked && mv driver.masked driver.out
  sed -f "$SED_FILE" actual.out >actual.masked && mv actual.masked actual.out
fi
diff -u driver.out actual.out ||
  { echo "the driver link printed otherwise (-) than the simulation link (+)"; exit 1; }
