#!/bin/sh
# Installs the build into a scratch prefix and builds programs against it as users would: a C
# program with cc through pkg-config, the same program from the unit objects alone, the same
# program through find_package in a C-only CMake project and in a C++ one, and a shared object
# (a plugin) linked from the archive that a program loads with dlopen. Each must report what
# readelf reports for the sample files.
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
# A C project links with the C driver: no C++ compiler on its command lines, no C++ run-time in
# the program.
cmake -S "$source/c-consumer" -B "$tmp/c" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$tmp/c" -v >"$tmp/c-build.log"
if grep -E 'stdc\+\+|(^|[ /])(c\+\+|g\+\+)( |$)' "$tmp/c-build.log"; then
    echo "the C consumer was built or linked as C++ (lines above)"
    exit 1
fi
if readelf -d "$tmp/c/consumer" | grep -E 'NEEDED.*lib(stdc\+\+|gcc_s)'; then
    echo "the C consumer needs the C++ run-time"
    exit 1
fi

# The archive into a shared object with the plain command a plugin's build uses, then a program
# that loads it. The shared object must need no text relocations and no C++ run-time.
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Wpedantic -Werror -fPIC -shared -o "$tmp/plugin.so" \
    "$source/plugin.c" $(pkg-config --cflags --libs quenza)
if readelf -d "$tmp/plugin.so" | grep -E 'TEXTREL|NEEDED.*lib(stdc\+\+|gcc_s)'; then
    echo "plugin.so needs text relocations or the C++ run-time"
    exit 1
fi
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Wpedantic -Werror -o "$tmp/plugin-host" "$source/plugin-host.c" \
    $(pkg-config --cflags --libs quenza) -ldl

# One file of each layout from the corpus.
files="/bin/sh $(grep -E '/(i686|powerpc|s390x)-linux-gnu/lib/libc.so.6$' "$corpus")"
for file in $files; do
    shnum=$(readelf -h "$file" | awk '/Number of section headers/ {print $5}')
    for program in "$tmp/c-pkgconfig" "$tmp/c-objects" "$tmp/c/consumer" "$tmp/cxx/consumer"; do
        out=$("$program" "$file")
        case $out in
            *"sections $shnum of $shnum,"*) ;;
            *) echo "$program $file: '$out', readelf says $shnum sections"; exit 1 ;;
        esac
    done
    readelf -h "$file" | awk '
        /^  Class:/ { class = $2 }
        /^  Data:/ { data = $4 == "little" ? "little" : "big" }
        /^  Entry point address:/ { entry = $4 }
        /^  Number of section headers:/ { n = $5 }
        END { printf "%s %s entry %s sections %d of %d\n", class, data, entry, n, n }'
done >"$tmp/readelf.out"

# The plugin, on every layout in one process.
# shellcheck disable=SC2086
"$tmp/plugin-host" "$tmp/plugin.so" $files >"$tmp/plugin.out"
if ! cmp -s "$tmp/readelf.out" "$tmp/plugin.out"; then
    echo "the plugin disagrees with readelf (< readelf, > plugin):"
    diff "$tmp/readelf.out" "$tmp/plugin.out" || true
    exit 1
fi
echo "C (pkg-config, bare objects, find_package), C++ (find_package) and a shared object built"
echo "from the archive, loaded with dlopen, agree with readelf on $(echo "$files" | wc -w) files"
