#!/bin/sh
# Edits programs and libraries built here with cc (PIE and non-PIE executables, libraries with and
# without SONAME, with RPATH or RUNPATH, with symbol versions) with every operation, then runs them
# through the real loader: the program must start and print what its libraries return. readelf and
# ldd show exactly the change: every other line of the dynamic section, the dynamic symbols and the
# version records stay the same. Print options are compared with the reference editor's output.
# Operations the editor does not offer (not in its --help) are skipped, and each skip is named.
#
# usage: native-test.sh EDITOR WORKDIR [REFERENCE]
set -u
editor=${1:?usage: native-test.sh EDITOR WORKDIR [REFERENCE]}
work=${2:?}
reference=${3:-/usr/bin/patchelf}
here=$(cd "$(dirname "$0")" && pwd)
# The scripts change folders: a relative path to the editor starts from here.
case $editor in */*) editor=$(cd "$(dirname "$editor")" && pwd)/$(basename "$editor") ;; esac
rm -rf "$work"
mkdir -p "$work/lib" "$work/alt" "$work/extra" "$work/build"
cd "$work" || exit 1
work=$(pwd)
failures=0
checks=0

fail() {
    failures=$((failures + 1))
    echo "FAIL: $*"
}
pass() {
    checks=$((checks + 1))
}

# Runs the editor; a non-zero status is a failure naming the command.
edit() {
    out=$("$editor" "$@" 2>&1)
    edit_status=$?
    if [ "$edit_status" -ne 0 ]; then
        fail "$editor $* -> status $edit_status: $out"
        return 1
    fi
    pass
}

# The editor offers OPTION when its --help names it and it does not refuse it as unsupported.
offers() {
    if ! "$editor" --help 2>&1 | grep -q -- "$1\\b"; then
        echo "SKIP: $(basename "$editor") has no $1"
        return 1
    fi
    if "$editor" "$@" 2>&1 | grep -q 'not supported'; then
        echo "SKIP: $(basename "$editor") does not support $1: $("$editor" "$@" 2>&1)"
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

# Runs a program (with ARGS) and expects exactly OUTPUT on stdout and status 0.
expect_output() {
    run_program=$1
    run_expected=$2
    shift 2
    run_got=$("$run_program" "$@" 2>&1)
    run_status=$?
    if [ "$run_status" -ne 0 ] || [ "$run_got" != "$run_expected" ]; then
        fail "$run_program $*: status $run_status, printed '$run_got', expected '$run_expected'"
    else
        pass
    fi
    expect_sound_layout "$run_program" RW
}

# The dynamic section as readelf shows it, without the line that says where it is.
dynamic() {
    readelf -dW "$1" | grep '^ *0x'
}

# Compares the dynamic sections before and after an edit: the tables an editor may move (their
# addresses and the string table's size) are left out, and what remains must differ exactly by
# the lines in CHANGES ("-TAG value" for a line removed, "+TAG value" for a line added). The
# dynamic symbols (but for their section indexes, which follow the section headers' order) and
# version records must stay the same, after the sed script RENAMES on the earlier ones.
expect_dynamic_change() {
    before=$1
    after=$2
    changes=$3
    renames=${4:-}
    movable='(STRTAB|STRSZ|SYMTAB|HASH|GNU_HASH|VERSYM|VERNEED|VERDEF)'
    dynamic "$before" | grep -vE "\\($movable\\)" | sed 's/^ *0x[0-9a-f]* //' >build/dyn.before
    dynamic "$after" | grep -vE "\\($movable\\)" | sed 's/^ *0x[0-9a-f]* //' >build/dyn.after
    diff build/dyn.before build/dyn.after | grep '^[<>]' | sed 's/^< /-/; s/^> /+/' |
        tr -s ' ' | sort >build/dyn.diff
    printf '%s\n' "$changes" | grep -v '^$' | tr -s ' ' | sort >build/dyn.expected
    if ! cmp -s build/dyn.diff build/dyn.expected; then
        fail "dynamic section of $after: expected changes:
$(cat build/dyn.expected)
actual changes:
$(cat build/dyn.diff)"
    else
        pass
    fi
    # Symbols and their versions do not change.
    for view in --dyn-syms -V; do
        readelf -W $view "$before" | symbols_and_versions | sed "$renames" >build/view.before
        readelf -W $view "$after" | symbols_and_versions >build/view.after
        if ! cmp -s build/view.before build/view.after; then
            fail "readelf $view of $after differs from $before:
$(diff build/view.before build/view.after | head -20)"
        else
            pass
        fi
    done
}

# readelf's dynamic symbols and version records without what moves with their tables: table
# addresses and offsets, symbols' section indexes.
symbols_and_versions() {
    grep -vE 'Addr:|^Dynamic|^Symbol table' | sed 's/Offset: 0x[0-9a-f]*//' |
        awk '$1 ~ /^[0-9]+:$/ && NF >= 8 { $7 = "" } { print }'
}

# Expects FILE and ORIGINAL to differ only inside the named SECTIONs of ORIGINAL.
expect_bytes_only_in() {
    original=$1
    file=$2
    shift 2
    if [ "$(wc -c <"$original")" -ne "$(wc -c <"$file")" ]; then
        fail "$file: size changed from $(wc -c <"$original") to $(wc -c <"$file") for an edit that fits"
        return
    fi
    ranges=
    for section in "$@"; do
        range=$(readelf -SW "$original" | sed 's/^ *\[ *[0-9]*\] //' |
            awk -v s="$section" '$1 == s { print $4, $5 }')
        set -- $range
        ranges="$ranges $((0x$1)) $((0x$2))"
    done
    outside=$(cmp -l "$original" "$file" | awk -v ranges="$ranges" '
        BEGIN { n = split(ranges, r, " ") }
        { inside = 0
          for (i = 1; i < n; i += 2) if ($1 - 1 >= r[i] && $1 - 1 < r[i] + r[i + 1]) inside = 1
          if (!inside) print }' | wc -l)
    if [ "$outside" -ne 0 ]; then
        fail "$file: $outside bytes changed outside $* ($(cmp -l "$original" "$file" | head -3 | tr '\n' ' '))"
    else
        pass
    fi
}

# --- The files: a versioned library with a SONAME, a replacement for it, a library without a
# SONAME that announces itself when loaded, and programs that use them.
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
        /* The files mapped into this process, so a test can see which loader runs it. */
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
cc -shared -fPIC -DGREET=42 -Wl,--version-script=build/greet.map -Wl,-soname,libgreet.so.1 \
    -o lib/libgreet.so.1 build/greet.c || exit 1
ln -s libgreet.so.1 lib/libgreet.so
cc -shared -fPIC -DGREET=7 -Wl,--version-script=build/greet.map -Wl,-soname,libother.so \
    -o alt/libother.so build/greet.c || exit 1
cc -shared -fPIC -o extra/libextra.so build/extra.c || exit 1
# The libraries' own variants: RPATH, RUNPATH, neither.
cc -shared -fPIC -DGREET=1 -Wl,--version-script=build/greet.map -Wl,-soname,libgreet.so.1 \
    -Wl,--disable-new-dtags,-rpath,/opt/old/rpath -o build/librpath.so build/greet.c || exit 1
cc -shared -fPIC -DGREET=1 -Wl,--enable-new-dtags,-rpath,/opt/old/runpath \
    -o build/librunpath.so build/greet.c || exit 1
# Programs: PIE and not, without a search path, with a long RUNPATH, with an RPATH.
long_dir=/opt/a-long-directory-that-does-not-exist/$(printf 'x%.0s' $(seq 1 120))
cc -fPIE -pie -o build/pie build/main.c -Llib -lgreet || exit 1
cc -fno-PIE -no-pie -o build/nopie build/main.c -Llib -lgreet || exit 1
cc -fPIE -pie -o build/pie-runpath build/main.c -Llib -lgreet \
    -Wl,--enable-new-dtags,-rpath,"$long_dir" || exit 1
cc -fno-PIE -no-pie -o build/nopie-rpath build/main.c -Llib -lgreet \
    -Wl,--disable-new-dtags,-rpath,"$long_dir" || exit 1
programs="pie nopie pie-runpath nopie-rpath"
libraries="lib/libgreet.so.1 extra/libextra.so build/librpath.so build/librunpath.so"

# A search path over 300 characters that ends with the library's folder: the string table grows.
grow_path=$(printf "$work/%s:" $(seq -f 'missing-directory-%03g' 1 12))$work/lib
# The same folder reached through a path of the same length as the old RUNPATH, so it fits.
pad=$(printf '/.%.0s' $(seq 1 $(((${#long_dir} - ${#work} - 4) / 2))))
fit_path=$work$pad/lib
[ ${#fit_path} -le ${#long_dir} ] || { echo "fit path too long"; exit 1; }

# --- Printing: the same output and status as the reference editor, on every file.
if [ -x "$reference" ]; then
    for file in $programs $libraries /bin/sh /usr/lib/x86_64-linux-gnu/libc.so.6; do
        case $file in */*) ;; *) file=build/$file ;; esac
        for option in --print-rpath --print-needed --print-soname --print-interpreter; do
            expected=$("$reference" $option "$file" 2>/dev/null)
            expected_status=$?
            got=$("$editor" $option "$file" 2>/dev/null)
            got_status=$?
            if [ "$got" != "$expected" ] || [ $((got_status == 0)) -ne $((expected_status == 0)) ]
            then
                fail "$editor $option $file: status $got_status, printed '$got';" \
                    "reference: status $expected_status, '$expected'"
            else
                pass
            fi
        done
    done
    # Several print options and several files in one call.
    expected=$("$reference" --print-soname --print-needed lib/libgreet.so.1 build/librpath.so 2>&1)
    got=$("$editor" --print-soname --print-needed lib/libgreet.so.1 build/librpath.so 2>&1)
    [ "$got" = "$expected" ] && pass || fail "several options and files: '$got', reference '$expected'"
fi

# --- Search paths, on every program: without one the program does not start; a path that needs
# growth (a DT_RPATH becomes DT_RUNPATH, as the reference does), then one that fits, then
# DT_RPATH on request; the program runs after each.
for program in $programs; do
    file=build/$program-edited
    cp "build/$program" "$file"
    if "$file" >/dev/null 2>&1; then
        fail "$file starts before its library is on its search path"
    fi
    old=$(readelf -dW "$file" | grep -E '\((RPATH|RUNPATH)\)' | sed 's/^ *0x[0-9a-f]* //')
    cp "$file" build/before
    edit --set-rpath "$grow_path" "$file" || continue
    expect_output "$file" "greet 42"
    expect_dynamic_change build/before "$file" "${old:+-$old}
+(RUNPATH) Library runpath: [$grow_path]"
    ldd "$file" | grep -q "libgreet.so.1 => $work/lib/libgreet.so.1" && pass ||
        fail "ldd $file does not find libgreet.so.1 in $work/lib: $(ldd "$file")"
    got=$("$editor" --print-rpath "$file")
    [ "$got" = "$grow_path" ] && pass || fail "$editor --print-rpath $file: '$got'"

    # A path that fits where the old one was changes only string-table bytes.
    if [ -n "$old" ]; then
        cp "build/$program" build/original
        cp build/original "$file"
        edit --set-rpath "$fit_path" "$file" || continue
        expect_output "$file" "greet 42"
        # (.dynamic too when a DT_RPATH becomes DT_RUNPATH.)
        expect_bytes_only_in build/original "$file" .dynstr .dynamic
    fi

    # --force-rpath writes DT_RPATH (and no DT_RUNPATH).
    cp "build/$program" "$file"
    edit --force-rpath --set-rpath "$work/lib" "$file" || continue
    expect_output "$file" "greet 42"
    tags=$(readelf -dW "$file" | grep -oE '\((RPATH|RUNPATH)\)' | tr '\n' ' ')
    [ "$tags" = "(RPATH) " ] && pass || fail "--force-rpath on $file left tags: $tags"

    # --remove-rpath: the program no longer finds its library.
    edit --remove-rpath "$file" || continue
    readelf -dW "$file" | grep -qE '\((RPATH|RUNPATH)\)' &&
        fail "--remove-rpath left a search path in $file" || pass
    "$file" >/dev/null 2>&1 && fail "$file starts after --remove-rpath" || pass
done

# --add-rpath appends to the existing path; --shrink-rpath keeps only the folders that hold a
# needed library, and --allowed-rpath-prefixes drops the others.
cp build/pie-runpath build/shrink
edit --add-rpath "$work/alt:$work/lib" build/shrink
got=$("$editor" --print-rpath build/shrink)
[ "$got" = "$long_dir:$work/alt:$work/lib" ] && pass || fail "--add-rpath: rpath is '$got'"
expect_output build/shrink "greet 42"
edit --shrink-rpath build/shrink
got=$("$editor" --print-rpath build/shrink)
[ "$got" = "$work/lib" ] && pass || fail "--shrink-rpath: rpath is '$got', expected $work/lib"
expect_output build/shrink "greet 42"
edit --set-rpath "$work/alt:$work/lib:/usr/lib" build/shrink
edit --shrink-rpath --allowed-rpath-prefixes "/usr:$work/al" build/shrink
got=$("$editor" --print-rpath build/shrink)
[ "$got" = "" ] && pass || fail "--shrink-rpath with prefixes: rpath is '$got', expected ''"

# --- Interpreter: a copy of the loader at a long path is the one that runs the program.
interpreter_dir=$work/$(printf 'interpreter-folder-%02d/' $(seq 1 8) | sed 's,/$,,')
mkdir -p "$interpreter_dir"
cp "$(readlink -f /lib64/ld-linux-x86-64.so.2)" "$interpreter_dir/ld-copy.so.2"
for program in pie nopie; do
    file=build/$program-interp
    cp "build/$program" "$file"
    cp "$file" build/before
    edit --set-interpreter "$interpreter_dir/ld-copy.so.2" --set-rpath "$work/lib" "$file" ||
        continue
    expect_output "$file" "greet 42"
    "$file" maps | grep -q "^$interpreter_dir/ld-copy.so.2\$" && pass ||
        fail "$file is not run by $interpreter_dir/ld-copy.so.2: $("$file" maps | sort -u)"
    readelf -lW "$file" | grep -qF "[Requesting program interpreter: $interpreter_dir/ld-copy.so.2]" &&
        pass || fail "readelf -l $file does not show the new interpreter"
    got=$("$editor" --print-interpreter "$file")
    [ "$got" = "$interpreter_dir/ld-copy.so.2" ] && pass || fail "--print-interpreter: '$got'"
    # Back to a shorter interpreter: it fits, only .interp changes.
    cp "$file" build/long
    edit --set-interpreter /lib64/ld-linux-x86-64.so.2 "$file"
    expect_output "$file" "greet 42"
    expect_bytes_only_in build/long "$file" .interp
done

# --- Needed entries: add (the added library's constructor runs), replace, remove.
for program in pie nopie-rpath; do
    file=build/$program-needed
    cp "build/$program" "$file"
    cp "$file" build/before
    edit --add-needed libextra.so --set-rpath "$work/lib:$work/extra:$work/alt" "$file" || continue
    expect_output "$file" "extra loaded
greet 42"
    got=$("$editor" --print-needed "$file" | tr '\n' ' ')
    case $got in *libextra.so*) pass ;; *) fail "--print-needed after --add-needed: $got" ;; esac
    old=$(readelf -dW build/before | grep -E '\((RPATH|RUNPATH)\)' | sed 's/^ *0x[0-9a-f]* //')
    expect_dynamic_change build/before "$file" "+(NEEDED) Shared library: [libextra.so]
${old:+-$old}
+(RUNPATH) Library runpath: [$work/lib:$work/extra:$work/alt]"
    ldd "$file" | grep -q "libextra.so => $work/extra/libextra.so" && pass ||
        fail "ldd $file does not show libextra.so: $(ldd "$file")"

    cp "$file" build/before
    edit --replace-needed libgreet.so.1 libother.so "$file"
    expect_output "$file" "extra loaded
greet 7"
    expect_dynamic_change build/before "$file" "-(NEEDED) Shared library: [libgreet.so.1]
+(NEEDED) Shared library: [libother.so]" 's/File: libgreet.so.1 /File: libother.so /' 

    cp "$file" build/before
    edit --remove-needed libextra.so "$file"
    expect_output "$file" "greet 7"
    expect_dynamic_change build/before "$file" "-(NEEDED) Shared library: [libextra.so]"
done

# Several edits and several files in one call, and --output leaving the input alone.
cp build/pie build/multi-1
cp build/nopie build/multi-2
edit --set-rpath "$grow_path:$work/extra" --add-needed libextra.so build/multi-1 build/multi-2
for file in build/multi-1 build/multi-2; do
    expect_output "$file" "extra loaded
greet 42"
done
cp build/pie build/pristine
edit --set-rpath "$work/lib" --output build/output build/pie
cmp -s build/pie build/pristine && pass || fail "--output changed its input build/pie"
expect_output build/output "greet 42"
# The file keeps its permissions.
cp build/pie build/mode && chmod 751 build/mode
edit --set-rpath "$grow_path" build/mode
[ "$(stat -c %a build/mode)" = 751 ] && pass || fail "mode after edit: $(stat -c %a build/mode)"

# --- Libraries: SONAME set (growing, with one and without), then loaded by a program.
for library in lib/libgreet.so.1 build/librpath.so build/librunpath.so; do
    copy=build/soname-$(basename "$library")
    cp "$library" "$copy"
    cp "$copy" build/before
    soname=libgreet-$(printf 'renamed%.0s' $(seq 1 20)).so.1
    old=$(readelf -dW "$copy" | grep '(SONAME)' | sed 's/^ *0x[0-9a-f]* //')
    edit --set-soname "$soname" "$copy" || continue
    got=$("$editor" --print-soname "$copy")
    [ "$got" = "$soname" ] && pass || fail "--print-soname after --set-soname: '$got'"
    expect_dynamic_change build/before "$copy" "${old:+-$old}
+(SONAME) Library soname: [$soname]"
    # A program linked against the renamed library needs it by its new name, and runs.
    mkdir -p build/renamed && cp "$copy" "build/renamed/$soname"
    ln -sf "$soname" build/renamed/libgreet.so
    cc -o build/renamed-user build/main.c -Lbuild/renamed -lgreet -Wl,-rpath,"$work/build/renamed"
    expected=$( [ "$library" = lib/libgreet.so.1 ] && echo "greet 42" || echo "greet 1")
    expect_output build/renamed-user "$expected"
    # The library's own search path grows too and it still loads.
    edit --set-rpath "$grow_path" "build/renamed/$soname"
    expect_output build/renamed-user "$expected"
    expect_sound_layout "build/renamed/$soname" RW
done

# --- Edits that fit change only the bytes they must: a shorter SONAME and needed name that no
# version record shares (the string table), a removed needed entry (the dynamic table).
cc -shared -fPIC -DGREET=5 -Wl,-soname,libplain-greeting.so.1 -o build/plain.so build/greet.c
cp build/plain.so build/short-soname.so
edit --set-soname libp.so.1 build/short-soname.so
expect_bytes_only_in build/plain.so build/short-soname.so .dynstr
got=$("$editor" --print-soname build/short-soname.so)
[ "$got" = libp.so.1 ] && pass || fail "--set-soname libp.so.1: prints '$got'"
cp build/multi-1 build/short-needed
edit --replace-needed libextra.so libx.so build/short-needed
expect_bytes_only_in build/multi-1 build/short-needed .dynstr
mkdir -p build/short-lib && cp extra/libextra.so build/short-lib/libx.so
edit --set-rpath "$work/lib:$work/build/short-lib" build/short-needed
expect_output build/short-needed "extra loaded
greet 42"
cp build/multi-1 build/fewer
edit --remove-needed libextra.so build/fewer
expect_bytes_only_in build/multi-1 build/fewer .dynamic
expect_output build/fewer "greet 42"

# --- Flags and tags.
cp build/pie build/flags
# Without the default folders, the C library must be on the search path too.
edit --no-default-lib --set-rpath "$work/lib:/lib/x86_64-linux-gnu" build/flags
readelf -dW build/flags | grep -E '\(FLAGS_1\)' | grep -q NODEFLIB && pass ||
    fail "--no-default-lib: no NODEFLIB in FLAGS_1: $(readelf -dW build/flags | grep FLAGS)"
expect_output build/flags "greet 42"

# --clear-symbol-version: the reference to greet_value loses its version, the program still runs.
cp build/pie build/unversioned
edit --clear-symbol-version greet_value --set-rpath "$work/lib" build/unversioned
readelf -W --dyn-syms build/unversioned | grep -q 'greet_value@GREET_1.0' &&
    fail "--clear-symbol-version: greet_value keeps GREET_1.0" || pass
readelf -W --dyn-syms build/pie | grep -q 'greet_value@GREET_1.0' && pass ||
    fail "the original lacks greet_value@GREET_1.0"
expect_output build/unversioned "greet 42"

if offers --add-debug-tag; then
    cp lib/libgreet.so.1 build/debug.so
    cp build/debug.so build/before
    edit --add-debug-tag build/debug.so
    expect_dynamic_change build/before build/debug.so "+(DEBUG) 0x0"
fi

if offers --set-execstack; then
    cp build/pie build/stack
    edit --set-execstack --set-rpath "$work/lib" build/stack
    readelf -lW build/stack | grep GNU_STACK | grep -q 'RWE' && pass ||
        fail "--set-execstack: $(readelf -lW build/stack | grep GNU_STACK)"
    set_view=$("$editor" --print-execstack build/stack)
    expect_output build/stack "greet 42"
    edit --clear-execstack build/stack
    readelf -lW build/stack | grep GNU_STACK | grep -q 'RW ' && pass ||
        fail "--clear-execstack: $(readelf -lW build/stack | grep GNU_STACK)"
    clear_view=$("$editor" --print-execstack build/stack)
    [ "$set_view" != "$clear_view" ] && pass ||
        fail "--print-execstack prints '$set_view' for both states"
fi

if offers --set-os-abi; then
    cp build/pie build/abi
    edit --set-os-abi FreeBSD build/abi
    readelf -h build/abi | grep -q 'UNIX - FreeBSD' && pass ||
        fail "--set-os-abi FreeBSD: $(readelf -h build/abi | grep OS/ABI)"
    "$editor" --print-os-abi build/abi | grep -qi freebsd && pass ||
        fail "--print-os-abi: $("$editor" --print-os-abi build/abi)"
    edit --set-os-abi "System V" build/abi
    cmp -s build/pie build/abi && pass || fail "--set-os-abi back to System V: not the original"
fi

# Renamed in the library and in the program alike: the program still binds and runs.
printf 'greet_value greet_value_renamed_%s\n' "$(printf 'x%.0s' $(seq 1 60))" >build/rename.map
mkdir -p build/renamed-syms
cp lib/libgreet.so.1 build/renamed-syms/
cp build/pie build/renamed-syms/pie
cp build/pie build/rename-probe
if offers --rename-dynamic-symbols build/rename.map build/rename-probe; then
    edit --rename-dynamic-symbols build/rename.map build/renamed-syms/libgreet.so.1 \
        build/renamed-syms/pie
    edit --set-rpath "$work/build/renamed-syms" build/renamed-syms/pie
    readelf -W --dyn-syms build/renamed-syms/pie | grep -q greet_value_renamed_ && pass ||
        fail "--rename-dynamic-symbols: no renamed symbol in the program"
    expect_output build/renamed-syms/pie "greet 42"
fi

# --- Without section headers: the editor works from the program headers alone.
for program in pie nopie-rpath; do
    file=build/$program-nosections
    cp "build/$program" "$file"
    # e_shoff, e_shnum and e_shstrndx to zero.
    printf '\000\000\000\000\000\000\000\000' | dd of="$file" bs=1 seek=40 conv=notrunc 2>/dev/null
    printf '\000\000\000\000' | dd of="$file" bs=1 seek=60 conv=notrunc 2>/dev/null
    readelf -hW "$file" | grep -q 'Number of section headers: *0$' || fail "$file keeps its sections"
    edit --set-rpath "$grow_path:$work/extra" --add-needed libextra.so "$file" || continue
    expect_output "$file" "extra loaded
greet 42"
    edit --set-interpreter "$interpreter_dir/ld-copy.so.2" "$file"
    expect_output "$file" "extra loaded
greet 42"
    "$file" maps | grep -q "^$interpreter_dir/ld-copy.so.2\$" && pass ||
        fail "$file (no section headers) is not run by its new interpreter"
done

# --- --page-size: every segment the editor adds has its offset and address congruent modulo the
# page size given (the program's own are only modulo 4 KiB).
cp build/pie build/page
readelf -lW build/pie | grep '^ *LOAD' >build/page.before
if edit --page-size 65536 --set-rpath "$grow_path:$work/extra" --add-needed libextra.so \
    --set-interpreter "$interpreter_dir/ld-copy.so.2" build/page; then
    expect_output build/page "extra loaded
greet 42"
    readelf -lW build/page | grep '^ *LOAD' | grep -vxFf build/page.before |
        awk '{ print $2, $3 }' >build/page.new
    [ -s build/page.new ] || fail "--page-size: no new loadable segment in build/page"
    while read -r offset address; do
        [ $(((offset - address) % 65536)) -eq 0 ] && pass ||
            fail "--page-size 65536: new segment at offset $offset, address $address"
    done <build/page.new
fi

# --- The machine's own programs (C and C++, large and small), given a long search path, a long
# interpreter and one more needed library, say the same as the originals.
mkdir -p build/programs
for name in ls bash readelf ld.gold make g++; do
    original=$(command -v "$name") || { fail "$name is not installed"; continue; }
    original=$(readlink -f "$original")
    copy=build/programs/$(basename "$original")
    cp "$original" "$copy"
    edit --set-rpath "$grow_path:/usr/lib/x86_64-linux-gnu" --add-needed libm.so.6 \
        --set-interpreter "$interpreter_dir/ld-copy.so.2" "$copy" || continue
    expected=$("$original" --version 2>&1 | head -n 1)
    got=$("$copy" --version 2>&1 | head -n 1)
    [ "$got" = "$expected" ] && pass || fail "$copy --version: '$got', expected '$expected'"
    expect_sound_layout "$copy" RW
done

# --- A long chain of edits on one program, running it after each.
cp build/nopie-rpath build/chain
edit --set-rpath "$grow_path" build/chain
expect_output build/chain "greet 42"
edit --set-interpreter "$interpreter_dir/ld-copy.so.2" build/chain
expect_output build/chain "greet 42"
edit --add-needed libextra.so --add-rpath "$work/extra:$work/alt" build/chain
expect_output build/chain "extra loaded
greet 42"
edit --replace-needed libgreet.so.1 libother.so build/chain
expect_output build/chain "extra loaded
greet 7"
edit --set-rpath "$work/alt:$work/extra" build/chain
expect_output build/chain "extra loaded
greet 7"
edit --remove-needed libextra.so --set-interpreter /lib64/ld-linux-x86-64.so.2 build/chain
expect_output build/chain "greet 7"
edit --add-needed "$(printf 'libextra.so%.0s' 1)" --set-rpath "$grow_path:$work/extra:$work/alt" \
    build/chain
expect_output build/chain "extra loaded
greet 7"

echo "native-test: $checks checks passed, $failures failed"
[ "$failures" -eq 0 ]
