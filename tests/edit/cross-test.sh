#!/bin/sh
# Builds a program (PIE and not) and two shared libraries for another architecture with its cross
# compiler, edits them (a search path that forces growth, a longer interpreter, an added and a
# replaced needed library, a longer SONAME) and starts them under qemu-user with the cross C
# library as its root: each must print what its libraries return.
#
# QEMU "native" starts them on this machine's kernel instead, with the cross C library found
# through LD_LIBRARY_PATH; CC replaces TRIPLET-gcc.
#
# usage: cross-test.sh EDITOR WORKDIR TRIPLET QEMU [CC]
set -u
editor=${1:?usage: cross-test.sh EDITOR WORKDIR TRIPLET QEMU [CC]}
work=${2:?}
triplet=${3:?}
qemu=${4:?}
sysroot=/usr/$triplet
cc=${5:-$triplet-gcc}
[ "$qemu" = native ] || command -v "$qemu" >/dev/null || { echo "cross-test: no $qemu"; exit 1; }
for tool in "${cc%% *}"; do
    command -v "$tool" >/dev/null || { echo "cross-test: $tool is not installed"; exit 1; }
done
here=$(cd "$(dirname "$0")" && pwd)
# The scripts change folders: a relative path to the editor starts from here.
case $editor in */*) editor=$(cd "$(dirname "$editor")" && pwd)/$(basename "$editor") ;; esac
rm -rf "$work"
mkdir -p "$work/lib" "$work/extra" "$work/alt" "$work/build"
cd "$work" || exit 1
work=$(pwd)
failures=0
checks=0

fail() {
    failures=$((failures + 1))
    echo "FAIL ($triplet): $*"
}
edit() {
    if ! out=$("$editor" "$@" 2>&1); then
        fail "$editor $* -> status $?: $out"
        return 1
    fi
}
# FILE keeps what a loader relies on (tests/edit/layout-check.awk): loadable segments ordered,
# apart and inside the file; program headers, interpreter name and dynamic section loaded where
# they lie; and the dynamic section in a segment with the permissions FLAGS (RW: the loader writes
# DT_DEBUG there), when given.
expect_sound_layout() {
    layout=$(readelf -lW "$1" 2>/dev/null | awk -v size="$(wc -c <"$1")" -f "$here/layout-check.awk")
    problems=$(printf '%s\n' "$layout" | grep -v '^dynamic ')
    dynamic_flags=$(printf '%s\n' "$layout" | sed -n 's/^dynamic //p')
    if [ -n "$problems" ]; then
        fail "$1: $problems"
    elif [ -n "${2:-}" ] && [ "$dynamic_flags" != "$2" ]; then
        fail "$1: the dynamic section is in a segment with flags '$dynamic_flags', not '$2'"
    fi
}

# Starts a program under qemu (or natively) with the cross C library.
start() {
    if [ "$qemu" = native ]; then
        LD_LIBRARY_PATH=$sysroot/lib "$@"
    else
        QEMU_LD_PREFIX=$sysroot "$qemu" "$@"
    fi
}

# Starts a program and expects exactly OUTPUT and status 0.
expect_output() {
    run_program=$1
    run_expected=$2
    shift 2
    run_got=$(start "$run_program" "$@" 2>&1)
    run_status=$?
    if [ "$run_status" -ne 0 ] || [ "$run_got" != "$run_expected" ]; then
        fail "$qemu -L $sysroot $run_program $*: status $run_status, printed '$run_got'," \
            "expected '$run_expected'"
    else
        checks=$((checks + 1))
    fi
    expect_sound_layout "$run_program" "$original_dynamic_flags"
}

# Every loadable segment of FILE has its file offset and address equal modulo the page size the
# linker used for ORIGINAL (its largest LOAD alignment), so a kernel with pages that large maps it.
# qemu-user maps with the host's 4 KiB pages and would not notice.
expect_page_aligned() {
    page=$(readelf -lW "$2" | awk '$1 == "LOAD" { print $NF }' | sort -u | tail -n 1)
    readelf -lW "$1" | awk '$1 == "LOAD" { print $2, $3 }' >build/loads
    while read -r offset address; do
        if [ $(((offset - address) % page)) -ne 0 ]; then
            fail "$1: segment at offset $offset and address $address is not congruent modulo $page"
            return
        fi
    done <build/loads
    checks=$((checks + 1))
}

cat >build/greet.c <<'EOF'
int greet_value(void) { return GREET; }
EOF
cat >build/greet.map <<'EOF'
GREET_1.0 { global: greet_value; local: *; };
EOF
cat >build/extra.c <<'EOF'
#include <stdio.h>
__attribute__((constructor)) static void loaded(void) { puts("extra loaded"); fflush(stdout); }
EOF
cat >build/main.c <<'EOF'
#include <stdio.h>
#include <string.h>
int greet_value(void);
int main(int argc, char **argv) {
    if (argc > 1 && strcmp(argv[1], "maps") == 0) {
        char line[4096];
        FILE *maps = fopen("/proc/self/maps", "r");
        while (maps != NULL && fgets(line, sizeof line, maps) != NULL) {
            char *path = strchr(line, '/');
            if (path != NULL) fputs(path, stdout);
        }
        return 0;
    }
    printf("greet %d\n", greet_value());
    return 0;
}
EOF
$cc -shared -fPIC -DGREET=42 -Wl,--version-script=build/greet.map -Wl,-soname,libgreet.so.1 \
    -o lib/libgreet.so.1 build/greet.c || exit 1
ln -s libgreet.so.1 lib/libgreet.so
$cc -shared -fPIC -DGREET=7 -Wl,--version-script=build/greet.map -Wl,-soname,libother.so \
    -o alt/libother.so build/greet.c || exit 1
$cc -shared -fPIC -o extra/libextra.so build/extra.c || exit 1
$cc -fPIE -pie -o build/pie build/main.c -Llib -lgreet || exit 1
$cc -fno-PIE -no-pie -o build/nopie build/main.c -Llib -lgreet || exit 1

original_dynamic_flags=$(readelf -lW build/pie | awk -v size="$(wc -c <build/pie)" \
    -f "$here/layout-check.awk" | sed -n 's/^dynamic //p')
interpreter=$(readelf -lW build/pie | sed -n 's/.*Requesting program interpreter: \(.*\)]$/\1/p')
long_interpreter=$work/$(printf 'interpreter-folder-%02d/' $(seq 1 8))ld-copy.so
mkdir -p "$(dirname "$long_interpreter")"
# Under qemu the interpreter's path is inside the root; natively it is a path of this machine.
if [ -f "$sysroot$interpreter" ]; then
    cp "$(readlink -f "$sysroot$interpreter")" "$long_interpreter"
else
    cp "$(readlink -f "$interpreter")" "$long_interpreter"
fi
grow_path=$(printf "$work/%s:" $(seq -f 'missing-directory-%03g' 1 12))$work/lib

for program in pie nopie; do
    file=build/$program-edited
    cp "build/$program" "$file"
    edit --set-rpath "$grow_path" "$file" && expect_output "$file" "greet 42"
    # qemu looks the interpreter up under its root first, then at the path itself.
    if edit --set-interpreter "$long_interpreter" "$file"; then
        expect_output "$file" "greet 42"
        start "$file" maps | grep -qxF "$long_interpreter" &&
            checks=$((checks + 1)) ||
            fail "$file is not run by $long_interpreter: $(start "$file" maps | sort -u)"
    fi
    edit --add-needed libextra.so --add-rpath "$work/extra:$work/alt" "$file" &&
        expect_output "$file" "extra loaded
greet 42"
    edit --replace-needed libgreet.so.1 libother.so "$file" && expect_output "$file" "extra loaded
greet 7"
    edit --remove-needed libextra.so --set-interpreter "$interpreter" "$file" &&
        expect_output "$file" "greet 7"
    expect_page_aligned "$file" "build/$program"
    got=$("$editor" --print-needed "$file" | tr '\n' ' ')
    case $got in
    "libother.so libc.so.6 "|"libc.so.6 libother.so ") checks=$((checks + 1)) ;;
    *) fail "$editor --print-needed $file: '$got'" ;;
    esac
done

# A library renamed to a longer SONAME, with a long search path of its own, still loads for a
# program linked against the new name.
soname=libgreet-$(printf 'renamed%.0s' $(seq 1 20)).so.1
mkdir -p build/renamed
cp lib/libgreet.so.1 "build/renamed/$soname"
if edit --set-soname "$soname" --set-rpath "$grow_path" "build/renamed/$soname"; then
    got=$("$editor" --print-soname "build/renamed/$soname")
    [ "$got" = "$soname" ] && checks=$((checks + 1)) || fail "--print-soname: '$got'"
    ln -s "$soname" build/renamed/libgreet.so
    $cc -o build/renamed-user build/main.c -Lbuild/renamed -lgreet \
        -Wl,-rpath,"$work/build/renamed" || exit 1
    expect_output build/renamed-user "greet 42"
    expect_page_aligned "build/renamed/$soname" lib/libgreet.so.1
    expect_sound_layout "build/renamed/$soname" "$original_dynamic_flags"
fi

# A defined function renamed into another bucket of the GNU hash table: the library's symbols are
# reordered and its relocations (REL or RELA, its own PLT and GOT entries among them), versions and
# hash tables follow; a program calling the new name runs. On MIPS, where the order of the dynamic
# symbols is part of the GOT, the GNU style gives a MIPS hash table (DT_MIPS_XHASH): a rename is
# refused there.
gnu_hash() {
    printf %s "$1" | od -An -tu1 -v |
        awk '{for (i = 1; i <= NF; i++) h = (h * 33 + $i) % 4294967296} END {printf "%d\n", h}' h=5381
}
mkdir -p build/across build/across-stub
{
    echo 'int counter = 40;'
    for i in $(seq 0 23); do echo "int f$i(void) { return $i; }"; done
    echo 'int answer(void) { return counter + f2(); }'
} >build/across.c
$cc -shared -fPIC -Wl,--hash-style=gnu -Wl,-soname,libacross.so -o build/across/libacross.so \
    build/across.c || exit 1
buckets=$(readelf -IW build/across/libacross.so |
    sed -n "s/.*hash' bucket list.*total of \([0-9]*\) buckets.*/\1/p")
n=0
while [ -n "$buckets" ] &&
    [ $(($(gnu_hash other$n) % buckets)) = $(($(gnu_hash answer) % buckets)) ]; do n=$((n + 1)); done
echo "int other$n(void) { return 0; }" >build/across-stub.c
$cc -shared -fPIC -Wl,-soname,libacross.so -o build/across-stub/libacross.so build/across-stub.c ||
    exit 1
printf '#include <stdio.h>\nint %s(void);\nint main(void) { printf("answer %%d\\n", %s()); return 0; }\n' \
    other$n other$n >build/across-main.c
$cc -o build/across-main build/across-main.c -Lbuild/across-stub -lacross \
    -Wl,-rpath,"$work/build/across" || exit 1
echo "answer other$n" >build/across.map
if readelf -dW build/across/libacross.so | grep -q MIPS_XHASH; then
    if "$editor" --rename-dynamic-symbols build/across.map build/across/libacross.so 2>build/err; then
        fail "a rename in a file with a MIPS hash table was accepted"
    else
        grep -q MIPS build/err && checks=$((checks + 1)) || fail "no reason given: $(cat build/err)"
    fi
elif edit --rename-dynamic-symbols build/across.map build/across/libacross.so; then
    expect_output build/across-main "answer 42"
fi

echo "cross-test ($triplet): $checks checks passed, $failures failed"
[ "$failures" -eq 0 ]
