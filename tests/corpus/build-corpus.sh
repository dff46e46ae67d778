#!/bin/sh
# Gathers the real-file corpus into OUTDIR and lists it in OUTDIR/corpus.txt, one path a line:
# native x86-64 executables, shared objects and relocatable objects from this machine, and from
# Debian's cross C-library packages of twelve more architectures (both classes, both byte
# orders) each one's libc, libm and dynamic loader, its crt objects and a few members of its
# static archives (unpacked into OUTDIR/members/ARCH). The cross packages hold no executables,
# so one is linked per architecture whose binutils are installed, from the packages' own crt
# objects and libc.
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

# Members taken from each static archive: small ones (canonicalize.o of sparc64 holds an
# R_SPARC_OLO10 relocation; every MIPS64 object has three types a relocation).
members_nonshared="atexit.oS stack_chk_fail_local.oS"
members_libc="a64l.o abort.o canonicalize.o"
for triplet in i686-linux-gnu powerpc-linux-gnu s390x-linux-gnu arm-linux-gnueabihf \
    aarch64-linux-gnu mips-linux-gnu mips64-linux-gnuabi64 mips64el-linux-gnuabi64 \
    sparc64-linux-gnu hppa-linux-gnu m68k-linux-gnu powerpc64-linux-gnu riscv64-linux-gnu; do
    arch=${triplet%%-*}
    root=/usr/$triplet
    lib=$root/lib
    add "$lib/libc.so.6" "$lib/libm.so.6" "$lib/crt1.o" "$lib/crti.o" "$lib/crtn.o" "$lib/Scrt1.o"
    ldso=
    for candidate in "$lib"/ld-linux*.so.* "$lib"/ld.so.1 "$lib"/ld64.so.1 "$root"/lib64/ld*.so.*; do
        if [ -f "$candidate" ]; then
            add "$candidate"
            [ -n "$ldso" ] || ldso=$candidate
        fi
    done
    members="$out/members/$arch"
    rm -rf "$members"
    mkdir -p "$members"
    (cd "$members" && ar x "$lib/libc_nonshared.a" $members_nonshared &&
        ar x "$lib/libc.a" $members_libc)
    for member in $members_nonshared $members_libc; do
        add "$members/$member"
    done
    # main is any defined function: the program is never run, only read.
    if command -v "$triplet-ld" >/dev/null 2>&1; then
        exe="$out/hello-$arch"
        "$triplet-ld" -o "$exe" "$lib/crt1.o" "$lib/crti.o" -L"$lib" -lc "$lib/crtn.o" \
            --defsym main=_init --hash-style=both -dynamic-linker "/lib/${ldso##*/}"
        add "$exe"
    fi
done

mv "$list.tmp" "$list"
echo "build-corpus: $(wc -l <"$list") files in $list"
