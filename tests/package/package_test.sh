#!/usr/bin/env bash
# Builds the Debian packages of a build tree into a temporary directory,
# unpacks each one into a temporary root and checks it:
#  - metadata: package names, version, the dependency of every package on
#    the packages that provide each shared library its binaries need, the
#    library package's shlibs entry;
#  - contents: the soname and its links in the multiarch directory, the
#    ldconfig trigger instead of maintainer scripts, copyright and changelog,
#    the development files, one manual page per program, programs that find
#    the library through their RUNPATH;
#  - lintian, when it is installed: no error on any package;
#  - use: examples/minimal.c compiled through pkg-config against the unpacked
#    files alone, and run where no server can be reached.
#   package_test.sh <build dir> <source dir> <cpack> <version> <soversion> tools|notools <cc>
set -euo pipefail
build=$1 src=$2 cpack=$3 version=$4 so=$5 with_tools=$6 cc=$7
tmp=$(mktemp -d /tmp/zavo_package_XXXXXX)
trap 'rm -rf "$tmp"' EXIT
arch=$(dpkg --print-architecture)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

echo "[package] cpack -G DEB from $build"
if ! (cd "$build" && "$cpack" -G DEB -B "$tmp/out" >"$tmp/cpack.log" 2>&1); then
  cat "$tmp/cpack.log"; echo "FAIL: cpack"; exit 1
fi

runtime=libzavo-api$so
capture=libzavo-capture$so
packages=("$runtime" "$capture" libzavo-api-dev)
[ "$with_tools" = tools ] && packages+=(zavo-tools)
root=$tmp/root
for p in "${packages[@]}"; do
  deb=$tmp/out/${p}_${version}_${arch}.deb
  if [ ! -f "$deb" ]; then
    fail "$p: no ${p}_${version}_${arch}.deb"; ls "$tmp/out"; exit 1
  fi
  dpkg-deb -I "$deb" >"$tmp/$p.info"
  [ "$(dpkg-deb -f "$deb" Package)" = "$p" ] || fail "$p: Package field"
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$p: Version $(dpkg-deb -f "$deb" Version)"
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$p: Architecture"
  dpkg-deb -f "$deb" Depends >"$tmp/$p.depends"
  echo "[package] $p $version: Depends: $(cat "$tmp/$p.depends")"
  twice=$(tr ',' '\n' <"$tmp/$p.depends" | sed 's/^ *//; s/ .*//' | grep . | sort | uniq -d)
  [ -z "$twice" ] || fail "$p: Depends names $(echo $twice) more than once"
  dpkg-deb -c "$deb" | awk '{print $6 ($7 ? " " $7 " " $8 : "")}' >"$tmp/$p.files"
  mkdir -p "$tmp/$p.root" "$root"
  dpkg-deb -x "$deb" "$tmp/$p.root"
  dpkg-deb -x "$deb" "$root"
done

# depends_on <package> <dependency>: the Depends field names it.
depends_on() { tr ',' '\n' <"$tmp/$1.depends" | sed 's/^ *//; s/ .*//' | grep -qx "$2"; }

# Every shared library a package's binaries need must come from a package it
# depends on: computed from the binaries, not from a list kept by hand.
declare -A owners=(["libzavo_api.so.$so"]=$runtime ["libzavo_book.so.$so"]=$runtime
  ["libzavo_capture.so.$so"]=$capture)
# owner_of <path>: the installed package that holds a library (paths may be
# recorded with or without /usr, or as the link's target).
owner_of() {
  local c
  for c in "$1" "$(readlink -f "$1")" "/usr$1"; do
    dpkg -S "$c" 2>/dev/null | head -n 1 | cut -d: -f1 && return 0
  done
  return 1
}
check_needed() {
  local p=$1 f lib path owner
  while IFS= read -r -d '' f; do
    file -b "$f" | grep -q '^ELF' || continue
    local resolved
    resolved=$(LD_LIBRARY_PATH=$libdir ldd "$f")
    for lib in $(readelf -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
      owner=${owners[$lib]:-}
      if [ -z "$owner" ]; then
        # "name => path (address)", or "path (address)" for the loader itself.
        path=$(awk -v l="$lib" '$1 == l && $2 == "=>" {print $3; exit}
          substr($1, length($1) - length(l)) == "/" l {print $1; exit}' <<<"$resolved")
        [ -n "$path" ] && [ "$path" != "not" ] ||
          { fail "$p: $(basename "$f") needs $lib, not on this system"; continue; }
        owner=$(owner_of "$path") || { fail "$p: no package owns $path"; continue; }
        owners[$lib]=$owner
      fi
      [ "$owner" = "$p" ] && continue
      depends_on "$p" "$owner" || fail "$p: $(basename "$f") needs $lib from $owner, not in Depends"
    done
  done < <(find "$tmp/$p.root" -type f -print0)
}
lib=$(find "$root" -name "libzavo_api.so.$version" -type f | head -n 1)
[ -n "$lib" ] || { fail "libzavo_api.so.$version not in $runtime"; exit 1; }
libdir=$(dirname "$lib")
for p in "${packages[@]}"; do check_needed "$p"; done

echo "[package] $runtime: the library and its soname"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
[ "$libdir" = "$root/usr/lib/$multiarch" ] || fail "the library is in ${libdir#"$root"}, not /usr/lib/$multiarch"
# dpkg's trigger refreshes the linker cache once per run; maintainer scripts
# calling ldconfig would do it per package, and only for their own.
dpkg-deb -e "$tmp/out/${runtime}_${version}_${arch}.deb" "$tmp/$runtime.control"
grep -qx "activate-noawait ldconfig" "$tmp/$runtime.control/triggers" 2>/dev/null ||
  fail "$runtime has no ldconfig trigger"
for script in preinst postinst prerm postrm; do
  [ ! -e "$tmp/$runtime.control/$script" ] || ! grep -q ldconfig "$tmp/$runtime.control/$script" ||
    fail "$runtime: $script calls ldconfig"
done
soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libzavo_api.so.$so" ] || fail "soname is '$soname'"
[ "$(readlink "$libdir/libzavo_api.so.$so")" = "libzavo_api.so.$version" ] || fail "libzavo_api.so.$so link"
grep -q "libzavo_api.so.$so -> libzavo_api.so.$version" "$tmp/$runtime.files" ||
  fail "the soname link is not in $runtime"
if grep -q "libzavo_api.so -> " "$tmp/$runtime.files"; then fail "the development link is in $runtime"; fi
depends_on "$runtime" libuv1 || fail "$runtime does not depend on libuv1"
shlibs=$(dpkg-deb -I "$tmp/out/${runtime}_${version}_${arch}.deb" shlibs 2>/dev/null || true)
# One line per shared object of the package: the client library and the
# order-book builder that ships beside it.
expected_shlibs="libzavo_api $so $runtime (>= $version)
libzavo_book $so $runtime (>= $version)"
[ "$(sort <<<"$shlibs")" = "$(sort <<<"$expected_shlibs")" ] || fail "$runtime: shlibs entry is '$shlibs'"
# Only the C interface leaves the shared object.
if nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRW]$/ {print $3}' | grep -v '^ZAVO_' | grep -q .; then
  fail "symbols other than ZAVO_ exported: $(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRW]$/ {print $3}' | grep -v '^ZAVO_' | head -5)"
fi

echo "[package] $capture: the offline decoder, apart from the client library"
caplib=$libdir/libzavo_capture.so.$version
[ -f "$caplib" ] || fail "libzavo_capture.so.$version not in ${libdir#"$root"}"
grep -q "libzavo_capture.so.$so -> libzavo_capture.so.$version" "$tmp/$capture.files" ||
  fail "the capture soname link is not in $capture"
dpkg-deb -e "$tmp/out/${capture}_${version}_${arch}.deb" "$tmp/$capture.control"
grep -qx "activate-noawait ldconfig" "$tmp/$capture.control/triggers" 2>/dev/null ||
  fail "$capture has no ldconfig trigger"
[ "$(dpkg-deb -I "$tmp/out/${capture}_${version}_${arch}.deb" shlibs 2>/dev/null)" = \
  "libzavo_capture $so $capture (>= $version)" ] || fail "$capture: shlibs entry"
depends_on "$capture" libpcap0.8 || fail "$capture does not depend on libpcap0.8"
# What the capture library needs stays out of the client library's package.
for dep in libpcap0.8 libzstd1; do
  if depends_on "$runtime" "$dep"; then fail "$runtime depends on $dep"; fi
done
if nm -D --defined-only "$caplib" | awk '$2 ~ /^[TDBRW]$/ {print $3}' | grep -v '^ZAVO_Capture' | grep -q .; then
  fail "libzavo_capture exports more than ZAVO_Capture*"
fi

echo "[package] copyright and changelog of every package"
for p in "${packages[@]}"; do
  doc=$tmp/$p.root/usr/share/doc/$p
  [ -s "$doc/copyright" ] || fail "$p has no copyright file"
  if [ -f "$doc/changelog.gz" ]; then
    top=$(zcat "$doc/changelog.gz" | sed -n '1s/^[^ ]* (\([^)]*\)).*/\1/p')
    [ "$top" = "$version" ] || fail "$p: the changelog's last entry is '$top', not $version"
  else
    fail "$p has no changelog.gz"
  fi
done

if command -v lintian >/dev/null; then
  echo "[package] lintian"
  for p in "${packages[@]}"; do
    lintian --tag-display-limit 0 "$tmp/out/${p}_${version}_${arch}.deb" >"$tmp/$p.lintian" 2>&1 || true
    grep -E '^[EW]: ' "$tmp/$p.lintian" | sed 's/^/[package]   /' || true
    if grep -q '^E: ' "$tmp/$p.lintian"; then fail "lintian reports errors on $p"; fi
  done
else
  echo "[package] lintian is not installed: its checks are skipped"
fi

echo "[package] libzavo-api-dev: header, CMake package, pkg-config file"
grep -q "libzavo_api.so -> libzavo_api.so.$so" "$tmp/libzavo-api-dev.files" || fail "libzavo_api.so link not in libzavo-api-dev"
grep -q "libzavo_capture.so -> libzavo_capture.so.$so" "$tmp/libzavo-api-dev.files" || fail "libzavo_capture.so link not in libzavo-api-dev"
for f in usr/include/zavo_api.h usr/include/zavo_capture.h zavo_capture.pc zavo_api.pc zavo_apiConfig.cmake zavo_apiConfigVersion.cmake zavo_apiTargets.cmake; do
  grep -q "$f\$" "$tmp/libzavo-api-dev.files" || fail "libzavo-api-dev lacks $f"
done
grep -q "^ *Depends:.*$runtime (= $version)" "$tmp/libzavo-api-dev.info" || fail "libzavo-api-dev: no exact dependency on $runtime"

if [ "$with_tools" = tools ]; then
  echo "[package] zavo-tools: programs, manual pages, RUNPATH"
  grep -q "^ *Depends:.*$runtime (= $version)" "$tmp/zavo-tools.info" || fail "zavo-tools: no exact dependency on $runtime"
  grep -q "^ *Depends:.*$capture (= $version)" "$tmp/zavo-tools.info" || fail "zavo-tools: no exact dependency on $capture"
  for prog in zavo_sim zavo_tail feedtap feedtap_gen; do
    [ -x "$root/usr/bin/$prog" ] || fail "zavo-tools lacks $prog"
  done
  cmp -s "$src/tools/feedtap/config.ini" "$root/usr/share/doc/zavo-tools/examples/feedtap.config.ini" ||
    fail "zavo-tools lacks the sample examples/feedtap.config.ini"
  for f in "$root"/usr/bin/*; do
    prog=$(basename "$f")
    page=$root/usr/share/man/man1/$prog.1.gz
    if [ ! -f "$page" ]; then fail "no manual page for $prog"; continue; fi
    zcat "$page" | grep -q "^\.SH NAME" || fail "$prog.1.gz is not a manual page"
    zcat "$page" | grep -q -- '\\-\\-help' || fail "$prog.1.gz does not describe its options"
  done
  for page in "$root"/usr/share/man/man1/*.1.gz; do
    prog=$(basename "$page" .1.gz)
    [ -x "$root/usr/bin/$prog" ] || fail "manual page $prog.1.gz for a program that is not packaged"
  done
  # The client needs the shared library: unpacked anywhere, it finds the one
  # beside it, with no help from the environment.
  tail_bin=$root/usr/bin/zavo_tail
  readelf -d "$tail_bin" | grep -q 'RUNPATH.*\$ORIGIN/\.\./' || fail "zavo_tail has no \$ORIGIN RUNPATH"
  resolved=$(env -u LD_LIBRARY_PATH ldd "$tail_bin" | awk '$1 == "libzavo_api.so.'"$so"'" {print $3}')
  [ "$(readlink -f "$resolved")" = "$(readlink -f "$lib")" ] || fail "zavo_tail loads '$resolved', not the unpacked library"
  (cd "$tmp" && env -u LD_LIBRARY_PATH "$tail_bin" --help >"$tmp/tail_help.txt" 2>&1) ||
    { fail "zavo_tail --help"; cat "$tmp/tail_help.txt"; }
fi

echo "[package] examples/minimal.c through pkg-config against the unpacked files"
pc=$(find "$root" -name zavo_api.pc | head -n 1)
export PKG_CONFIG_PATH=$(dirname "$pc")
# Installed, the files name /usr itself: pkg-config then prints no path at
# all (the system's own), never one through the .pc file's directory.
for name in zavo_api zavo_book zavo_capture; do
  [ "$(pkg-config --variable=prefix $name)" = /usr ] || fail "$name.pc: prefix $(pkg-config --variable=prefix $name)"
  [ "$(pkg-config --variable=libdir $name)" = "/usr/lib/$multiarch" ] || fail "$name.pc: libdir $(pkg-config --variable=libdir $name)"
done
case " $(pkg-config --libs zavo_book) " in *" -lzavo_api "*) ;; *) fail "pkg-config --libs zavo_book lacks -lzavo_api" ;; esac
# Here they are unpacked elsewhere: the system root is the unpacked one.
export PKG_CONFIG_SYSROOT_DIR=$root
flags=$(pkg-config --cflags --libs zavo_api)
echo "[package] pkg-config: $flags"
case "$flags" in *"-I$root/"*"-L$root/"*) ;; *) fail "pkg-config does not point into the unpacked root" ;; esac
# Plain C11, no feature-test macro: the example asks for what it needs.
# shellcheck disable=SC2086
"$cc" -std=c11 -Wall -Wextra -Wpedantic -Werror \
  "$src/examples/minimal.c" $flags -o "$tmp/minimal" || { fail "minimal.c does not build"; exit 1; }
resolved=$(LD_LIBRARY_PATH=$libdir ldd "$tmp/minimal" | awk '$1 == "libzavo_api.so.'"$so"'" {print $3}')
[ "$(readlink -f "$resolved")" = "$(readlink -f "$lib")" ] || fail "minimal loads '$resolved', not the unpacked library"

# No server can answer inside a private network namespace: the example must
# report the failed open as a network error and exit with status 1.
if unshare -n true 2>/dev/null; then isolate=(unshare -n)
elif unshare -rn true 2>/dev/null; then isolate=(unshare -rn)
else echo "FAIL: cannot make a private network namespace (needs root or user namespaces)"; exit 1
fi
rc=0
(cd "$tmp" && LD_LIBRARY_PATH=$libdir timeout 60 "${isolate[@]}" sh -c \
  'ip link set lo up 2>/dev/null; exec "$0"' "$tmp/minimal" >"$tmp/minimal.out" 2>&1) || rc=$?
sed 's/^/[package]   /' "$tmp/minimal.out"
[ $rc = 1 ] || fail "minimal exited with status $rc after a failed open, not 1"
grep -q "library version v1\.1\." "$tmp/minimal.out" || fail "minimal did not print the library version"
grep -q -- "-99" "$tmp/minimal.out" || fail "minimal did not report the network error (-99)"

if [ $failures -gt 0 ]; then
  echo "[package] $failures check(s) failed"; exit 1
fi
echo "[package] ok"
