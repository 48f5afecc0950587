#!/usr/bin/env bash
# Installs the library part of a build into a temporary prefix, then builds
# and runs a C11 program against the installed files, once through
# pkg-config and once through find_package(zavo_api). Then installs the whole
# build into a second prefix and runs the installed programs from there with
# no LD_LIBRARY_PATH: they find the library through their RUNPATH.
#   install_test.sh <build dir> <dir of consumer.c> [extra compile/link flags] [tools|notools]
set -euo pipefail
build=$1
src=$2
extra=${3:-}
with_tools=${4:-notools}
tmp=$(mktemp -d /tmp/zavo_install_XXXXXX)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

echo "[install] cmake --install $build/src --prefix $prefix"
cmake --install "$build/src" --prefix "$prefix" >/dev/null
test -f "$prefix/include/zavo_api.h" || { echo "header not installed"; exit 1; }
pc=$(find "$prefix" -name zavo_api.pc | head -n 1)
test -n "$pc" || { echo "zavo_api.pc not installed"; exit 1; }
libdir=$(dirname "$(find "$prefix" -name 'libzavo_api.so' | head -n 1)")
test -f "$libdir/libzavo_api.so" || { echo "libzavo_api.so not installed"; exit 1; }

echo "[install] gcc -std=c11 with pkg-config"
export PKG_CONFIG_PATH=$(dirname "$pc")
# The .pc files name the prefix given to the install, not the configured one.
for name in zavo_api zavo_book zavo_capture; do
  pcprefix=$(pkg-config --variable=prefix $name)
  [ "$pcprefix" = "$prefix" ] || { echo "$name.pc names the prefix '$pcprefix', not $prefix"; exit 1; }
done
pcflags=$(pkg-config --cflags --libs zavo_api)
echo "[install] pkg-config: $pcflags"
# shellcheck disable=SC2046,SC2086
gcc -std=c11 -Wall -Wextra -Wpedantic -Werror $extra "$src/consumer.c" \
  $pcflags -o "$tmp/consumer_pc"
(cd "$tmp" && LD_LIBRARY_PATH=$libdir ./consumer_pc)

# The book builder ships beside the library: its header, zavo_book.pc and
# the zavo_api::zavo_book target of the same CMake package.
echo "[install] gcc -std=c11 against zavo_book, with pkg-config and find_package"
bookflags=$(pkg-config --cflags --libs zavo_book)
# shellcheck disable=SC2046,SC2086
gcc -std=c11 -Wall -Wextra -Wpedantic -Werror $extra "$src/book_consumer.c" \
  $bookflags -o "$tmp/book_consumer_pc"
(cd "$tmp" && LD_LIBRARY_PATH=$libdir ./book_consumer_pc)
mkdir -p "$tmp/bk"
cp "$src/book_consumer.c" "$tmp/bk/"
cat >"$tmp/bk/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.18)
project(book_consumer C)
find_package(zavo_api REQUIRED)
add_executable(book_consumer book_consumer.c)
set_target_properties(book_consumer PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
target_compile_options(book_consumer PRIVATE -Wall -Wextra -Wpedantic -Werror)
target_link_libraries(book_consumer PRIVATE zavo_api::zavo_book)
CM
cmake -S "$tmp/bk" -B "$tmp/bk/build" -DCMAKE_C_COMPILER=gcc -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_FLAGS="$extra" -DCMAKE_EXE_LINKER_FLAGS="$extra" >/dev/null
cmake --build "$tmp/bk/build" >/dev/null
(cd "$tmp" && LD_LIBRARY_PATH=$libdir "$tmp/bk/build/book_consumer")

# The offline decoder too, on its own: zavo_capture.pc links it alone.
echo "[install] gcc -std=c11 against zavo_capture, with pkg-config"
test -f "$prefix/include/zavo_capture.h" || { echo "zavo_capture.h not installed"; exit 1; }
capflags=$(pkg-config --cflags --libs zavo_capture)
# shellcheck disable=SC2046,SC2086
gcc -std=c11 -Wall -Wextra -Wpedantic -Werror $extra "$src/capture_consumer.c" \
  $capflags -o "$tmp/capture_consumer_pc"
(cd "$tmp" && LD_LIBRARY_PATH=$libdir ./capture_consumer_pc "$tmp/junk.txt")

echo "[install] gcc -std=c11 with find_package(zavo_api)"
mkdir -p "$tmp/cm"
cp "$src/consumer.c" "$tmp/cm/"
cat >"$tmp/cm/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.18)
project(consumer C)
find_package(zavo_api REQUIRED)
add_executable(consumer consumer.c)
set_target_properties(consumer PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
target_compile_options(consumer PRIVATE -Wall -Wextra -Wpedantic -Werror)
target_link_libraries(consumer PRIVATE zavo_api::zavo_api)
CM
cmake -S "$tmp/cm" -B "$tmp/cm/build" -DCMAKE_C_COMPILER=gcc -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_FLAGS="$extra" -DCMAKE_EXE_LINKER_FLAGS="$extra" >/dev/null
cmake --build "$tmp/cm/build" >/dev/null
(cd "$tmp" && LD_LIBRARY_PATH=$libdir "$tmp/cm/build/consumer")

if [ "$with_tools" = tools ]; then
  full=$tmp/full
  echo "[install] cmake --install $build --prefix $full"
  cmake --install "$build" --prefix "$full" >/dev/null
  full_lib=$(find "$full" -name "libzavo_api.so.*.*" -type f | head -n 1)
  test -n "$full_lib" || { echo "libzavo_api.so not installed with the programs"; exit 1; }
  for prog in zavo_tail zavo_sim feedtap feedtap_gen; do
    bin=$full/bin/$prog
    test -x "$bin" || { echo "$prog not installed in $full/bin"; exit 1; }
    readelf -d "$bin" | grep -q 'RUNPATH.*\$ORIGIN/' || { echo "$prog has no \$ORIGIN RUNPATH"; exit 1; }
    (cd "$tmp" && env -u LD_LIBRARY_PATH "$bin" --help >"$tmp/$prog.help" 2>&1) ||
      { echo "installed $prog --help failed:"; cat "$tmp/$prog.help"; exit 1; }
    echo "[install] $full/bin/$prog --help: ok"
  done
  # The client is the program that needs the library: it must load the one
  # in the prefix, not one the system happens to have.
  loaded=$(env -u LD_LIBRARY_PATH ldd "$full/bin/zavo_tail" | awk '$1 ~ /^libzavo_api\.so/ {print $3}')
  [ "$(readlink -f "$loaded")" = "$(readlink -f "$full_lib")" ] ||
    { echo "installed zavo_tail loads '$loaded', not $full_lib"; exit 1; }
fi
echo "[install] ok"
