#!/usr/bin/env bash
# Builds the fuzz targets with clang's libFuzzer into build-fuzz and runs
# each for a while. The growing corpus stays in build-fuzz/corpus/<target>
# (started from the seeds in tests/fuzz/corpus/<target>); a crashing input
# is saved in build-fuzz/crashes/<target>/ and stops that target.
#
#   scripts/fuzz.sh [seconds per target] [target...]    default: 120 s, all six
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-120}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fat_engine registry_file image_header packed_image batch_line chkdsk)
launcher=()
if command -v ccache >/dev/null 2>&1; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_COMPILER=clang -DTERVAN_FUZZ=ON "${launcher[@]}" >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]/%/_fuzz}"
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
# The image targets write an image file of up to 1.1 MB per input into a
# folder under TMPDIR; on a disk file system the writes' flushing stalls
# them (half their rate). Without a TMPDIR of the caller's, a memory file
# system is used when there is one. The targets run with a scratch folder
# of this run's as TMPDIR, removed at the end: a target stopped by a crash
# or by libFuzzer's memory limit cannot remove its own folder.
base=${TMPDIR:-/tmp}
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then base=/dev/shm; fi
scratch=$(mktemp -d "$base/tervan-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
export TMPDIR=$scratch
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
status=0
for t in "${targets[@]}"; do
  mkdir -p "build-fuzz/corpus/$t" "build-fuzz/crashes/$t"
  echo "== $t: $seconds s"
  # Standard input is not a terminal, so DOWNIMAGE's "press any key" never waits.
  # The processor time it had is logged too: on a shared machine the
  # executions per second of processor time say more than per second of wall.
  if ! /usr/bin/time -f 'cpu seconds: %U user, %S system' -a -o "build-fuzz/$t.log" \
      build-fuzz/bin/${t}_fuzz -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="build-fuzz/crashes/$t/" \
      "build-fuzz/corpus/$t" "tests/fuzz/corpus/$t" </dev/null >"build-fuzz/$t.log" 2>&1; then
    status=1
    echo "   crashed: see build-fuzz/$t.log and build-fuzz/crashes/$t/"
  fi
  grep -E '^#[0-9]+ +DONE|^stat::number_of_executed_units|^cpu seconds' "build-fuzz/$t.log" | sed 's/^/   /' || true
done
exit $status
