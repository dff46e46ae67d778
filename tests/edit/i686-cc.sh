#!/bin/sh
# A C compiler for 32-bit x86 programs that run on this machine's kernel, from clang and the i686
# binutils and C library packages (there is no i686 gcc package): accepts the few gcc options the
# edit tests use (-shared, -pie, -no-pie, -fPIC, -fPIE, -fno-PIE, -D, -L, -l, -o, -Wl,...),
# compiles with clang and links with i686-linux-gnu-ld against the C library in /usr/i686-linux-gnu,
# with that library's loader as the interpreter.
set -eu
root=/usr/i686-linux-gnu/lib
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cflags="-target i686-linux-gnu -isystem /usr/i686-linux-gnu/include -O1"
kind=pie
output=a.out
objects=
libraries=
linker=
for arg in "$@"; do
    case $arg in
    -shared) kind=shared ;;
    -pie) kind=pie ;;
    -no-pie) kind=exec ;;
    -fPIC | -fPIE | -fno-PIE | -D*) cflags="$cflags $arg" ;;
    -L* | -l*) libraries="$libraries $arg" ;;
    -Wl,*) linker="$linker $(echo "${arg#-Wl,}" | tr ',' ' ')" ;;
    -o) output=next ;;
    *.c)
        object=$work/$(basename "$arg" .c).o
        # shellcheck disable=SC2086
        clang-14 $cflags -c "$arg" -o "$object"
        objects="$objects $object"
        ;;
    *)
        if [ "$output" = next ]; then
            output=$arg
        else
            echo "i686-cc: unsupported option $arg" >&2
            exit 1
        fi
        ;;
    esac
done
case $kind in
shared) start="-shared" end="" ;;
pie) start="-pie $root/Scrt1.o $root/crti.o" end="$root/crtn.o" ;;
*) start="$root/crt1.o $root/crti.o" end="$root/crtn.o" ;;
esac
# The options gcc passes: a new-style search path tag, hash tables of both kinds.
# shellcheck disable=SC2086
i686-linux-gnu-ld --eh-frame-hdr --hash-style=gnu --enable-new-dtags -z relro -o "$output" \
    -dynamic-linker "$root/ld-linux.so.2" $start $objects $linker $libraries -L"$root" -lc $end
