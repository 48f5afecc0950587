#!/usr/bin/env bash
# Cross-builds libuv as a static MinGW-w64 library from Debian's own source
# package, once, and prints the install prefix (the last line of output).
#
#   scripts/win_libuv.sh            -> $ZAVO_WIN_CACHE/libuv-<version>/
#
# The source comes through a private apt configuration that lives in the
# cache directory: a deb-src entry for each archive and suite the system's
# own apt sources name, its own package lists and download cache. The
# system's apt setup is only read, never changed. The result is keyed by the
# source package's version, so a new Debian revision is built once more and
# an unchanged one never again.
set -euo pipefail

cache=${ZAVO_WIN_CACHE:-$HOME/.cache/zavo-windows}
triplet=x86_64-w64-mingw32
here=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)

apt_dir=$cache/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/sources.d" \
         "$apt_dir/src"

# deb-src lines for the archives of the system's "deb" entries, one-line and
# deb822 styles both; the keyring each names is kept.
write_sources() {
  local out=$apt_dir/sources.list
  : >"$out.new"
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    sed -n 's/^[[:space:]]*deb[[:space:]]\+/deb-src /p' "$f" >>"$out.new"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk '
      function flush() {
        if (types ~ /(^|[ \t])deb([ \t]|$)/ && uris != "" && suites != "") {
          n = split(uris, u, /[ \t]+/); m = split(suites, s, /[ \t]+/)
          opt = (key != "") ? "[signed-by=" key "] " : ""
          for (i = 1; i <= n; i++) for (j = 1; j <= m; j++)
            if (u[i] != "" && s[j] != "") print "deb-src " opt u[i] " " s[j] " " comps
        }
        types = uris = suites = comps = key = ""
      }
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { flush(); next }
      { line = $0; sub(/^[^:]*:[ \t]*/, "", line) }
      /^Types:/ { types = line }
      /^URIs:/ { uris = line }
      /^Suites:/ { suites = line }
      /^Components:/ { comps = line }
      /^Signed-By:/ { key = line }
      END { flush() }
    ' "$f" >>"$out.new"
  done
  if [ ! -s "$out.new" ]; then
    echo "[win-libuv] no Debian archive found in the system's apt sources" >&2
    exit 1
  fi
  mv "$out.new" "$out"
}

apt_private() {
  apt-get -q \
    -o Dir::Etc::SourceList="$apt_dir/sources.list" \
    -o Dir::Etc::SourceParts="$apt_dir/sources.d" \
    -o Dir::State::Lists="$apt_dir/lists" \
    -o Dir::Cache="$apt_dir/cache" \
    -o APT::Sandbox::User=root \
    "$@"
}

# The version apt would fetch; lists are refreshed at most once a day.
source_version() {
  apt-cache \
    -o Dir::Etc::SourceList="$apt_dir/sources.list" \
    -o Dir::Etc::SourceParts="$apt_dir/sources.d" \
    -o Dir::State::Lists="$apt_dir/lists" \
    -o Dir::Cache="$apt_dir/cache" \
    showsrc libuv1 2>/dev/null | sed -n 's/^Version: //p' | sort -V | tail -1
}

# The newest build already in the cache, if any.
cached_prefix() {
  local d best=
  for d in "$cache"/libuv-*/; do
    [ -f "$d/.complete" ] && best=${d%/}
  done
  echo "$best"
}

write_sources
stamp=$apt_dir/lists/.updated
if [ ! -f "$stamp" ] || [ -n "$(find "$stamp" -mmin +1440 2>/dev/null)" ] || [ -z "$(source_version)" ]; then
  echo "[win-libuv] refreshing the private source lists" >&2
  if apt_private update >/dev/null 2>&1; then
    touch "$stamp"
  elif [ -n "$(cached_prefix)" ]; then
    # No archive reachable: the build from the cache still serves.
    echo "[win-libuv] archive not reachable; using $(cached_prefix)" >&2
    cached_prefix
    exit 0
  else
    echo "[win-libuv] apt-get update of the private source lists failed" >&2
    exit 1
  fi
fi
version=$(source_version)
if [ -z "$version" ]; then
  echo "[win-libuv] libuv1 has no source package in the configured archives" >&2
  exit 1
fi
prefix=$cache/libuv-$version
if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi

echo "[win-libuv] fetching the libuv1 $version source package" >&2
work=$apt_dir/src/$version
rm -rf "$work"
mkdir -p "$work"
(cd "$work" && apt_private source "libuv1=$version" >/dev/null 2>&1) || {
  echo "[win-libuv] apt-get source libuv1=$version failed" >&2
  exit 1
}
srcdir=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'libuv1-*' | head -1)
[ -n "$srcdir" ] || { echo "[win-libuv] unpacked source not found" >&2; exit 1; }

echo "[win-libuv] cross-building libuv $version (static, MinGW-w64)" >&2
bdir=$work/build
cmake -S "$srcdir" -B "$bdir" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-mingw64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DLIBUV_BUILD_TESTS=OFF -DLIBUV_BUILD_BENCH=OFF \
  -DCMAKE_POSITION_INDEPENDENT_CODE=OFF >/dev/null
cmake --build "$bdir" --target uv_a >/dev/null
lib=$(find "$bdir" -maxdepth 1 -name 'libuv*.a' | head -1)
[ -n "$lib" ] || { echo "[win-libuv] static library not built" >&2; exit 1; }

rm -rf "$prefix"
mkdir -p "$prefix/lib" "$prefix/include"
cp "$lib" "$prefix/lib/libuv.a"
cp -r "$srcdir/include/." "$prefix/include/"
cp "$srcdir/LICENSE" "$prefix/LICENSE.libuv"
echo "$version" >"$prefix/VERSION"
touch "$prefix/.complete"
rm -rf "$work"
echo "$prefix"
