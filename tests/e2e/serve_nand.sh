#!/usr/bin/env bash
# serve_nand.sh NAND_FILE "ZELSIM OPTIONS" BATCH OUT: serves a NAND file with
# a second zelsim (its own run and state folders under the work folder) and
# runs Tervan's batch file against it, its output to OUT. Needs $BIN. Used
# by the checks of the simu_* transcripts: what BUILDSIMUBIN wrote must be
# what the served device holds.
set -euo pipefail
nand=$1; opts=$2; batch=$3; out=$4
export TERVAN_RUNDIR=$PWD/run-served
# shellcheck disable=SC2086
"$BIN/zelsim" --state "$PWD/state-served" --nand0 "$nand" $opts 2>zelsim-served.log &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null || true' EXIT
wait_up $pid test -S "$TERVAN_RUNDIR/lexon0" || { echo "served zelsim did not start:"; cat zelsim-served.log; exit 1; }
"$BIN/Tervan" -S"$PWD/back" -B"$PWD/$batch" </dev/null >"$out" 2>&1
