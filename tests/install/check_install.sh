#!/usr/bin/env bash
# check_install.sh BUILD_DIR SOURCE_DIR: installs the build into a fresh
# prefix and checks what a user of the install gets: the programs run (also
# from a copy of the tree elsewhere: the library is found relative to the
# program), the headers, the docs, and a consumer project that finds the
# library with find_package(tervlink) and links it. Then cpack makes the
# .deb and the .tar.gz: the .deb holds the versioned library in the
# multiarch folder, stripped programs without a run path, the manual pages,
# the copyright file and the changelog, and lintian finds no error in it.
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
# The library folder of the build (lib/<multiarch> on Debian and its kin).
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$build/CMakeCache.txt")
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
for f in bin/Tervan bin/zelsim "$libdir/libtervlink.so" "$libdir/libtervlink.so.$version" \
         include/tervlink/fat_device.h include/tervlink/zel_device_io.h \
         "$libdir/cmake/tervlink/tervlinkConfig.cmake" share/doc/tervan/README.md \
         share/doc/tervan/docs/commands.md share/doc/tervan/copyright share/doc/tervan/changelog.gz \
         share/man/man1/Tervan.1.gz share/man/man1/zelsim.1.gz; do
  [ -e "$p/$f" ] || fail "$f not installed"
done
if [ -e "$build/bin/zelmount" ]; then  # built where libfuse 3 is found
  for f in bin/zelmount share/man/man1/zelmount.1.gz; do [ -e "$p/$f" ] || fail "$f not installed"; done
fi
soname=$(readelf -d "$p/$libdir/libtervlink.so.$version")
grep -qF "Library soname: [libtervlink.so.$version]" <<<"$soname" || fail "the library's soname is not libtervlink.so.$version"
# The manual pages are the programs' --help texts.
zcat "$p/share/man/man1/zelsim.1.gz" >"$work/zelsim.1"
grep -qF -- '--state DIR' "$work/zelsim.1" || fail "zelsim(1) lacks zelsim --help's text"
zcat "$p/share/man/man1/Tervan.1.gz" >"$work/Tervan.1"
grep -qF -- '--stop-on-error' "$work/Tervan.1" || fail "Tervan(1) lacks Tervan --help's text"
[ ! -e "$p/include/tervlink/host" ] || fail "the host layer's headers are not public"
# (Each listing is taken whole before grep -q looks at it: grep stopping at
# the first match would end the lister by SIGPIPE, which pipefail counts as
# a failure when the lister has not finished writing.)
dynamic=$(readelf -d "$p/bin/Tervan")
grep -qiF "path: [\$ORIGIN/../$libdir]" <<<"$dynamic" || fail "Tervan's run path is not \$ORIGIN/../$libdir"
# No run path, built or installed, has an empty entry: the loader would take
# one for the working folder and load a library lying there.
for f in "$p/bin/Tervan" "$p/$libdir/libtervlink.so" "$build/bin/Tervan" "$build/bin/zelsim"; do
  runpath=$(readelf -d "$f" | sed -n 's/.*R[UN]*PATH.*\[\(.*\)\]/\1/p')
  case ":$runpath:" in *::*) fail "$f has an empty run path entry: [$runpath]" ;; esac
done

# A copy of the installed tree finds its library in its own lib/.
cp -a "$p" "$work/moved"
libs=$(ldd "$work/moved/bin/Tervan")
grep -qF "libtervlink.so.$version => $work/moved/bin/../$libdir/libtervlink.so.$version" <<<"$libs" ||
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
grep -qF "./usr/$libdir/libtervlink.so.$version" "$work/deb.list" || fail "the .deb has no /usr/$libdir/libtervlink.so.$version"
for f in usr/share/man/man1/Tervan.1.gz usr/share/man/man1/zelsim.1.gz usr/share/doc/tervan/copyright \
         usr/share/doc/tervan/changelog.gz; do
  grep -qF "./$f" "$work/deb.list" || fail "the .deb has no /$f"
done
# The packaged programs and library: stripped, and without a run path (the
# system's loader finds the library in /usr).
dpkg-deb -x "$deb" "$work/deb"
for f in "$work/deb/usr/bin/Tervan" "$work/deb/usr/bin/zelsim" "$work/deb/usr/$libdir/libtervlink.so.$version"; do
  sections=$(readelf -S "$f")
  ! grep -q '\.debug_info' <<<"$sections" || fail "$f keeps its debug information"
  dynamic=$(readelf -d "$f")
  ! grep -q 'R[UN]*PATH' <<<"$dynamic" || fail "$f has a run path in the .deb"
done
if command -v lintian >/dev/null; then
  # lintian leaves a scratch file in its TMPDIR: give it one inside our folder.
  mkdir -p "$work/lintian-tmp"
  TMPDIR="$work/lintian-tmp" lintian --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 || true
  ! grep -q '^E: ' "$work/lintian.log" || { cat "$work/lintian.log"; fail "lintian finds errors in the .deb"; }
else
  echo "lintian is not installed: the .deb is not checked with it"
fi
tar -tzf "$tgz" >"$work/tgz.list"
grep -q '/bin/zelsim$' "$work/tgz.list" || fail "the .tar.gz has no bin/zelsim"
echo "install, copy, find_package and packages: ok"
