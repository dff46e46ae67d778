#!/bin/sh
# Assembles one small relocatable object per corpus layout with values the system libraries lack:
# negative relocation addends, and a symbol whose value and size have the top bit set. Lists them
# in OUTDIR/objects.txt, one path a line.
set -eu
out=${1:?usage: make-objects.sh OUTDIR}
mkdir -p "$out"
: >"$out/objects.txt.tmp"
for target in x86_64:quad i686:long powerpc:long s390x:quad; do
    arch=${target%%:*}
    printf '\t.globl\tlow\n\t.set\tlow, -16\n\t.size\tlow, 0x90000000\n\t.data\n\t.%s\text - 16\n\t.long\text - 16\n' \
        "${target#*:}" >"$out/values-$arch.s"
    "$arch-linux-gnu-as" -o "$out/values-$arch.o" "$out/values-$arch.s"
    echo "$out/values-$arch.o" >>"$out/objects.txt.tmp"
done
mv "$out/objects.txt.tmp" "$out/objects.txt"
