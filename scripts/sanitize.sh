#!/usr/bin/env bash
# Builds with AddressSanitizer and UndefinedBehaviorSanitizer into
# build-asan and runs the tests there. The first report stops the program
# that made it, so its test fails.
#
#   scripts/sanitize.sh              everything built, the whole suite run
#   scripts/sanitize.sh -L unit      only some tests (any ctest arguments)
#   scripts/sanitize.sh --corpora    what CI runs: only the six fuzz targets
#                                    built, their seed corpora run (ctest -L fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
targets=(all)
if [ "${1:-}" = --corpora ]; then
  shift
  targets=(fat_engine_fuzz registry_file_fuzz image_header_fuzz packed_image_fuzz batch_line_fuzz chkdsk_fuzz)
  set -- -L fuzz "$@"
fi
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" \
  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
  >/dev/null
cmake --build build-asan -j"$(nproc)" --target "${targets[@]}"
# Exit status 86 after a report: no program here ends so otherwise, so a
# report never passes for a failure a test expects (status 1, say).
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:exitcode=86
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=86
cd build-asan
ctest --output-on-failure -j"$(nproc)" "$@"
