#!/bin/sh
# Regenerates the committed seed files in fuzz/seeds: one small shared object per layout (x86-64,
# i686, powerpc, s390x), linked by that architecture's binutils from the C library's own start
# files. Each has symbol tables, relocations, a dynamic section, version definitions and needs,
# and the version symbol table, so every family has a real example to mutate; and one executable
# per layout with an interpreter and a search path, for the editor. Needs the cross C-library and
# binutils packages that scripts/test.sh installs.
set -eu
dir=$(cd "$(dirname "$0")" && pwd)/seeds
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat >"$work/versions.map" <<'MAP'
SEED_1 { global: _start; local: *; };
SEED_2 { global: _init; } SEED_1;
MAP
mkdir -p "$dir"
for arch in x86_64 i686 powerpc s390x; do
    lib=/usr/$arch-linux-gnu/lib
    [ "$arch" = x86_64 ] && lib=/usr/lib/x86_64-linux-gnu
    # main is any defined function: the object is never run, only read.
    "$arch-linux-gnu-ld" -shared -o "$dir/$arch.so" "$lib/crt1.o" "$lib/crti.o" -L"$lib" -lc \
        "$lib/crtn.o" --defsym main=_init --version-script "$work/versions.map" \
        --hash-style=both -z noseparate-code -z max-page-size=4096 -z common-page-size=4096
    # And an executable with an interpreter, a search path and a needed library, for the editor.
    "$arch-linux-gnu-ld" -o "$dir/$arch-exec" "$lib/crt1.o" "$lib/crti.o" -L"$lib" -lc \
        "$lib/crtn.o" --defsym main=_init -dynamic-linker /lib/ld.so.1 -rpath /opt/seed/lib \
        --hash-style=both -z noseparate-code -z max-page-size=4096 -z common-page-size=4096
done

# A static archive (symbol table, long-name table, two members) and an object with COMDAT groups,
# for the archive reader and the section groups.
printf 'template <class T> T twice(T x) { return x + x; }\nint g(int y) { return twice(y); }\n' \
    >"$work/groups.cpp"
g++ -c -Os -o "$dir/groups.o" "$work/groups.cpp"
cp /usr/lib/x86_64-linux-gnu/crti.o "$work/a_member_with_a_long_name.o"
rm -f "$dir/archive.a"
(cd "$work" && ar rc "$dir/archive.a" a_member_with_a_long_name.o && ar rc "$dir/archive.a" \
    /usr/lib/x86_64-linux-gnu/crtn.o)
ls -l "$dir"
