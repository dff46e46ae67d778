#!/bin/sh
# Gathers the real-file corpus into OUTDIR and lists it in OUTDIR/corpus.txt, one path a line:
# native x86-64 executables, shared objects and relocatable objects from this machine, and the
# 32-bit little-endian (i686), 32-bit big-endian (powerpc) and 64-bit big-endian (s390x) shared
# objects and crt objects of Debian's cross C-library packages. The cross packages hold no
# executables, so one is linked per architecture with that architecture's binutils from the
# packages' own crt objects and libc.
set -eu
out=${1:?usage: build-corpus.sh OUTDIR}
mkdir -p "$out"
list="$out/corpus.txt"
: >"$list.tmp"

add() {
    for f in "$@"; do
        if [ ! -f "$f" ]; then
            echo "build-corpus: missing $f (are the test packages installed?)" >&2
            exit 1
        fi
        echo "$f" >>"$list.tmp"
    done
}

native=/usr/lib/x86_64-linux-gnu
add /bin/sh /usr/bin/ls /usr/bin/cmake "$native/libc.so.6" "$native/libm.so.6" \
    "$native/libstdc++.so.6" "$native/libelf.so.1" "$native/crt1.o" "$native/crti.o" \
    "$native/Scrt1.o"

# PIE is the default, so a classic fixed-address executable is linked here.
printf 'int main(void) { return 0; }\n' | cc -x c -no-pie -o "$out/hello-x86_64" -
add "$out/hello-x86_64"

for arch in i686 powerpc s390x; do
    lib=/usr/$arch-linux-gnu/lib
    add "$lib/libc.so.6" "$lib/libm.so.6" "$lib/crt1.o" "$lib/crti.o" "$lib/crtn.o" "$lib/Scrt1.o"
    for ldso in "$lib"/ld-linux.so.2 "$lib"/ld.so.1 "$lib"/ld64.so.1; do
        [ -f "$ldso" ] && add "$ldso"
    done
    exe="$out/hello-$arch"
    # main is any defined function: the program is never run, only read.
    "$arch-linux-gnu-ld" -o "$exe" "$lib/crt1.o" "$lib/crti.o" -L"$lib" -lc "$lib/crtn.o" \
        --defsym main=_init --hash-style=both -dynamic-linker /lib/ld.so.1
    add "$exe"
done

mv "$list.tmp" "$list"
echo "build-corpus: $(wc -l <"$list") files in $list"
