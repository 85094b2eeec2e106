#!/usr/bin/env bash
# check_install.sh BUILD_DIR SOURCE_DIR: installs the build into a fresh
# prefix and checks what a user of the install gets: the programs run (also
# from a copy of the tree elsewhere: the library is found relative to the
# program), the headers, the docs, and a consumer project that finds the
# library with find_package(tervlink) and links it. Then cpack makes the
# .deb and the .tar.gz.
set -euo pipefail
build=$1; src=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/tervan-install.XXXXXX")
cleanup() {
  if [ "${TERVAN_KEEP_TEST_DIRS:-0}" != 0 ]; then echo "test folder kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$work/prefix" >"$work/install.log"
p=$work/prefix
for f in bin/Tervan bin/zelsim lib/libtervlink.so include/tervlink/fat_device.h \
         include/tervlink/zel_device_io.h lib/cmake/tervlink/tervlinkConfig.cmake \
         share/doc/tervan/README.md share/doc/tervan/docs/commands.md; do
  [ -e "$p/$f" ] || fail "$f not installed"
done
[ ! -e "$p/include/tervlink/host" ] || fail "the host layer's headers are not public"
# (Each listing is taken whole before grep -q looks at it: grep stopping at
# the first match would end the lister by SIGPIPE, which pipefail counts as
# a failure when the lister has not finished writing.)
dynamic=$(readelf -d "$p/bin/Tervan")
grep -q 'R.*PATH.*\$ORIGIN/\.\./lib' <<<"$dynamic" || fail "Tervan's run path is not \$ORIGIN/../lib"
# No run path, built or installed, has an empty entry: the loader would take
# one for the working folder and load a library lying there.
for f in "$p/bin/Tervan" "$p/lib/libtervlink.so" "$build/bin/Tervan" "$build/bin/zelsim"; do
  runpath=$(readelf -d "$f" | sed -n 's/.*R[UN]*PATH.*\[\(.*\)\]/\1/p')
  case ":$runpath:" in *::*) fail "$f has an empty run path entry: [$runpath]" ;; esac
done

# A copy of the installed tree finds its library in its own lib/.
cp -a "$p" "$work/moved"
libs=$(ldd "$work/moved/bin/Tervan")
grep -qF "libtervlink.so => $work/moved/bin/../lib/libtervlink.so" <<<"$libs" ||
  { echo "$libs"; fail "a copied Tervan does not find its own library"; }
"$work/moved/bin/zelsim" --help >/dev/null || fail "a copied zelsim does not run"
"$work/moved/bin/Tervan" --version >"$work/tervan.out" 2>&1 || { cat "$work/tervan.out"; fail "a copied Tervan does not run"; }

# Another project finds, links and runs the library.
export TERVAN_RUNDIR=$work/run
# Built as the library was (the sanitizer build's flags: its runtime must
# come first in a program that loads the library).
flags=$(sed -n 's/^CMAKE_CXX_FLAGS:STRING=//p' "$build/CMakeCache.txt")
cmake -S "$src/tests/install/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$p" \
  -DCMAKE_CXX_FLAGS="$flags" >"$work/consumer.log" 2>&1 ||
  { cat "$work/consumer.log"; fail "the consumer project does not configure"; }
cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1 ||
  { cat "$work/consumer.log"; fail "the consumer project does not build"; }
"$work/consumer/consumer" || fail "the consumer program failed"

# The packages.
(cd "$build" && cpack -B "$work/packages" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack failed"; }
deb=$(ls "$work"/packages/*.deb) && tgz=$(ls "$work"/packages/*.tar.gz) || fail "no .deb or no .tar.gz"
dpkg-deb -c "$deb" >"$work/deb.list"
grep -q '\./usr/bin/Tervan$' "$work/deb.list" || fail "the .deb has no /usr/bin/Tervan"
grep -q '\./usr/lib/libtervlink.so$' "$work/deb.list" || fail "the .deb has no /usr/lib/libtervlink.so"
tar -tzf "$tgz" >"$work/tgz.list"
grep -q '/bin/zelsim$' "$work/tgz.list" || fail "the .tar.gz has no bin/zelsim"
echo "install, copy, find_package and packages: ok"
