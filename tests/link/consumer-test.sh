#!/bin/sh
# Installs the build into a scratch prefix and builds programs against it as users would: a C
# program with cc through pkg-config, the same program from the unit objects alone, and a C++
# program through find_package. Each must report what readelf reports for the sample files.
set -eu
build=${1:?usage: consumer-test.sh BUILD_DIR SOURCE_DIR CORPUS_LIST}
source=${2:?}
corpus=${3:?}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

for f in quenza.h lib/libquenza.a lib/pkgconfig/quenza.pc lib/cmake/quenza/quenzaConfig.cmake; do
    case $f in quenza.h) f=include/quenza.h ;; esac
    [ -f "$prefix/$f" ] || { echo "install lacks $f"; exit 1; }
done

export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Wpedantic -Werror -o "$tmp/c-pkgconfig" "$source/consumer.c" \
    $(pkg-config --cflags --libs quenza)
cc -std=c99 -Wall -Werror -I"$prefix/include" -o "$tmp/c-objects" "$source/consumer.c" \
    "$prefix"/lib/quenza/*.o
cmake -S "$source/cxx-consumer" -B "$tmp/cxx" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$tmp/cxx" >/dev/null

# One file of each layout from the corpus.
for file in /bin/sh $(grep -E '/(i686|powerpc|s390x)-linux-gnu/lib/libc.so.6$' "$corpus"); do
    shnum=$(readelf -h "$file" | awk '/Number of section headers/ {print $5}')
    for program in "$tmp/c-pkgconfig" "$tmp/c-objects" "$tmp/cxx/consumer"; do
        out=$("$program" "$file")
        case $out in
            *"sections $shnum of $shnum,"*) ;;
            *) echo "$program $file: '$out', readelf says $shnum sections"; exit 1 ;;
        esac
    done
done
echo "C (pkg-config and bare objects) and C++ (find_package) consumers agree with readelf"
