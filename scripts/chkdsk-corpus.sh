#!/usr/bin/env bash
# CHKDSK against fsck.fat over a larger corpus than the suite's: the interop
# test's damaged disks with N mutants per family of the corrupt-disk
# generator (default 40: 342 disks, a few minutes). Prints the figures, then
# every disagreement, every disk not repaired and every file fsck.fat keeps
# that CHKDSK reads differently (docs/testing.md explains them).
#
#   scripts/chkdsk-corpus.sh [mutants per family]    after scripts/test.sh's build
set -euo pipefail
cd "$(dirname "$0")/.."
n=${1:-40}
cmake --build build -j"$(nproc)" --target interop_tests >/dev/null
TERVAN_CHKDSK_MUTANTS=$n build/bin/interop_tests --gtest_filter='InteropTest.Chkdsk*' |
  grep -a -E '^(CHKDSK and fsck|disagreement|not repaired|read differently|\[  )'
