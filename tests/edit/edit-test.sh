#!/bin/sh
# quenza-edit on small programs and libraries built here with cc: every edit, short values
# (written in place: every other byte must stay) and long ones (growth), several edits in a row;
# the results are run, read with readelf, and compared with Debian's patchelf where both print.
# Usage: edit-test.sh TOOL WORKDIR CASE
set -eu
tool=$1
work=$2
case_name=$3
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work/$case_name"
mkdir -p "$work/$case_name"
cd "$work/$case_name"
W=$PWD

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The pieces: a library with a SONAME and one without, a PIE and a non-PIE program using the
# first, with a RUNPATH and with an RPATH, and a versioned library and its user.
build() {
    cat >answer.c <<'EOF'
int answer(void) { return 42; }
EOF
    cat >main.c <<'EOF'
#include <stdio.h>
int answer(void);
int main(void) { printf("answer %d\n", answer()); return 0; }
EOF
    cat >versioned.c <<'EOF'
int versioned(void) { return 7; }
EOF
    echo 'V1 { global: versioned; local: *; };' >versioned.map
    cat >user.c <<'EOF'
#include <stdio.h>
int versioned(void);
int main(void) { printf("versioned %d\n", versioned()); return 0; }
EOF
    mkdir -p lib long-directory-name-so-that-a-new-rpath-cannot-fit-where-the-old-one-was
    cc -shared -fPIC -Wl,-soname,libanswer.so -o lib/libanswer.so answer.c
    cc -shared -fPIC -o lib/libnosoname.so answer.c
    cp lib/libanswer.so long-directory-name-so-that-a-new-rpath-cannot-fit-where-the-old-one-was/
    cc -shared -fPIC -Wl,-soname,libversioned.so -Wl,--version-script=versioned.map \
        -o lib/libversioned.so versioned.c
    cc -fPIE -pie -o pie main.c -Llib -lanswer -Wl,--enable-new-dtags \
        -Wl,-rpath,/an/old/runpath/of/some/length
    cc -fno-PIE -no-pie -o nopie main.c -Llib -lanswer -Wl,--disable-new-dtags \
        -Wl,-rpath,/an/old/rpath/of/some/length
    cc -o user user.c -Llib -lversioned -Wl,-rpath,"$W/lib"
    LONG=$W/long-directory-name-so-that-a-new-rpath-cannot-fit-where-the-old-one-was
}

# Runs a program and checks what it prints.
runs() {
    out=$("./$1" 2>&1) || fail "$1 did not run: $out"
    [ "$out" = "$2" ] || fail "$1 printed '$out', not '$2'"
}

# The differing bytes of two files lie in one window of at most $3 bytes.
differ_within() {
    cmp -l "$1" "$2" >diff.txt || true
    [ -s diff.txt ] || fail "$2 did not change"
    first=$(head -n1 diff.txt | awk '{print $1}')
    last=$(tail -n1 diff.txt | awk '{print $1}')
    [ $((last - first)) -lt "$3" ] || fail "$2: bytes $first..$last changed, more than $3"
    [ "$(stat -c %s "$1")" = "$(stat -c %s "$2")" ] || fail "$2 changed size"
}

dynamic_line() { readelf -dW "$1" | grep "($2)" || true; }

case $case_name in
in_place)
    build
    cp pie pie.1
    "$tool" --set-rpath '$ORIGIN/lib' pie.1
    differ_within pie pie.1 31
    runs pie.1 "answer 42"
    dynamic_line pie.1 RUNPATH | grep -qF '[$ORIGIN/lib]' || fail "RUNPATH not set"
    # RPATH stays RPATH with --force-rpath, in place too.
    cp nopie nopie.1
    "$tool" --force-rpath --set-rpath '$ORIGIN/lib' nopie.1
    differ_within nopie nopie.1 28
    runs nopie.1 "answer 42"
    dynamic_line nopie.1 RPATH | grep -qF '[$ORIGIN/lib]' || fail "RPATH not set"
    # A shorter SONAME, a shorter needed name.
    cp lib/libanswer.so libshort.so
    "$tool" --set-soname libans.so libshort.so
    differ_within lib/libanswer.so libshort.so 13
    [ "$("$tool" --print-soname libshort.so)" = libans.so ] || fail "SONAME not set"
    cp lib/libanswer.so lib/libans.so
    cp pie.1 pie.2
    "$tool" --replace-needed libanswer.so libans.so pie.2
    differ_within pie.1 pie.2 13
    runs pie.2 "answer 42"
    # An interpreter path that fits: the kernel must start that one.
    ln -s "$("$tool" --print-interpreter pie)" ld.so
    cp pie.1 pie.3
    "$tool" --set-interpreter ./ld.so pie.3
    differ_within pie.1 pie.3 28
    runs pie.3 "answer 42"
    [ "$(readelf -lW pie.3 | grep -o 'interpreter: [^]]*')" = "interpreter: ./ld.so" ] ||
        fail "interpreter not set"
    # Removing needed entries and the rpath shrinks the table where it is.
    cp pie.1 pie.4
    "$tool" --remove-rpath pie.4
    [ -z "$(dynamic_line pie.4 RUNPATH)" ] || fail "RUNPATH not removed"
    [ "$(stat -c %s pie.4)" = "$(stat -c %s pie.1)" ] || fail "removal changed the size"
    # An edit that changes nothing leaves the file alone.
    cp pie.1 pie.5
    "$tool" --set-rpath '$ORIGIN/lib' pie.5
    cmp pie.1 pie.5 || fail "a no-op edit changed bytes"
    ;;
growth)
    build
    for program in pie nopie; do
        cp $program $program.1
        "$tool" --set-rpath "$LONG" $program.1
        runs $program.1 "answer 42"
        readelf -dW $program.1 | grep -q "path: \[$LONG\]" || fail "$program: rpath not set"
        # Only the rpath, the string table's address and size changed in the dynamic table.
        readelf -dW $program | grep -vE 'PATH|STRTAB|STRSZ|^Dynamic' >before.txt
        readelf -dW $program.1 | grep -vE 'PATH|STRTAB|STRSZ|^Dynamic' >after.txt
        cmp before.txt after.txt || fail "$program: other dynamic entries changed"
        # PT_PHDR first, loadable segments ascending, the new one last.
        readelf -lW $program.1 | awk '/^  [A-Z]/ && $1 != "Type" {print $1, $3}' >segments.txt
        [ "$(head -n1 segments.txt | cut -d' ' -f1)" = PHDR ] || fail "PHDR is not first"
        grep '^LOAD' segments.txt | cut -d' ' -f2 >loads.txt
        sort -c loads.txt || fail "$program: loadable segments out of order"
        # The program header table grew where it was: binutils can still rewrite the file.
        [ "$(readelf -hW $program.1 | awk '/Start of program headers/ {print $5}')" = 64 ] ||
            fail "$program: the program header table moved"
        strip -o $program.stripped $program.1
        runs $program.stripped "answer 42"
        # Without section headers the table moves into the new segment, with PT_PHDR.
        cp $program $program.bare
        printf '\0\0\0\0\0\0\0\0' | dd of=$program.bare bs=1 seek=40 conv=notrunc 2>/dev/null
        printf '\0\0\0\0' | dd of=$program.bare bs=1 seek=60 conv=notrunc 2>/dev/null
        "$tool" --set-rpath "$LONG" $program.bare
        runs $program.bare "answer 42"
        [ "$(readelf -hW $program.bare | awk '/Start of program headers/ {print $5}')" != 64 ] ||
            fail "$program: no room, yet the table stayed"
        # Several edits in a row, each growing.
        cp $program.1 $program.2
        "$tool" --add-needed libm.so.6 $program.2
        "$tool" --add-rpath /another/directory/name/that/makes/it/longer $program.2
        [ -e "$LONG/ld.so" ] || ln -s "$("$tool" --print-interpreter $program)" "$LONG/ld.so"
        "$tool" --set-interpreter "$LONG/ld.so" $program.2
        [ "$("$tool" --print-interpreter $program.2)" = "$LONG/ld.so" ] || fail "interpreter"
        runs $program.2 "answer 42"
        # Later growth extends the segment the first one added, which ends the file.
        [ "$(readelf -lW $program.1 | grep -c LOAD)" = "$(readelf -lW $program.2 | grep -c LOAD)" ] ||
            fail "$program: a second read-only segment was added"
        [ "$("$tool" --print-needed $program.2 | head -n1)" = libm.so.6 ] ||
            fail "$program: added needed entry is not first"
        [ "$("$tool" --print-rpath $program.2)" = "$LONG:/another/directory/name/that/makes/it/longer" ] ||
            fail "$program: --add-rpath"
    done
    # A large .bss costs no padding: the new segment follows the file's end (the program header
    # table grows where it is), its address after the last segment's memory, both congruent
    # modulo the page size.
    cat >big.c <<'EOF'
#include <stdio.h>
static char big[32 << 20];
int main(void) { big[sizeof big - 1] = 42; printf("answer %d\n", big[sizeof big - 1]); return 0; }
EOF
    cc -fPIE -pie -o big big.c
    cp big big.1
    "$tool" --set-rpath "/$(printf '%0400d' 0)" big.1
    runs big.1 "answer 42"
    [ "$(stat -c %s big.1)" -le $(($(stat -c %s big) + 3 * 4096 + 4096)) ] ||
        fail "a program with a large .bss grew from $(stat -c %s big) to $(stat -c %s big.1) bytes"
    layout=$(readelf -lW big.1 | awk -v size="$(stat -c %s big.1)" -f "$here/layout-check.awk" |
        grep -v '^dynamic ' || true)
    [ -z "$layout" ] || fail "big.1: $layout"
    readelf -lW big.1 | awk '$1 == "LOAD" { o = $2; v = $3; a = $NF } END { print o, v, a }' >new.txt
    read -r offset address align <new.txt
    [ $(((offset - address) % align)) = 0 ] ||
        fail "big.1: the new segment's offset and address disagree modulo its alignment"
    # A long interpreter name: the kernel starts it from its new place.
    long_ld=$W/a-long-directory-for-the-dynamic-loader-of-this-test-with-padding
    mkdir -p "$long_ld"
    ln -s "$("$tool" --print-interpreter pie)" "$long_ld/ld.so"
    cp pie pie.3
    "$tool" --set-interpreter "$long_ld/ld.so" --set-rpath "$W/lib" pie.3
    runs pie.3 "answer 42"
    [ "$("$tool" --print-interpreter pie.3)" = "$long_ld/ld.so" ] || fail "interpreter not set"
    # So many new entries that the dynamic table moves: it stays writable (DT_DEBUG).
    cp nopie nopie.4
    "$tool" --set-rpath "$W/lib" $(for l in libm.so.6 libdl.so.2 librt.so.1 libutil.so.1 \
        libresolv.so.2 libanl.so.1 libpthread.so.0 libBrokenLocale.so.1 libm.so.6; do
        echo --add-needed $l; done) nopie.4
    runs nopie.4 "answer 42"
    dyn_at=$(readelf -lW nopie.4 | awk '$1 == "DYNAMIC" {print $3}')
    readelf -lW nopie.4 | awk -v at="$dyn_at" '$1 == "LOAD" && $3 == at - 0 {print}' >/dev/null
    readelf -lW nopie.4 | awk '$1 == "DYNAMIC" {print $(NF-1)}' | grep -q RW ||
        fail "the moved dynamic table lost its write permission"
    [ "$("$tool" --print-needed nopie.4 | wc -l)" = 11 ] || fail "needed entries lost"
    ;;
library)
    build
    # A library without a SONAME gets one (a new entry and a new string).
    cp lib/libnosoname.so libnew.so
    "$tool" --set-soname libanswer.so libnew.so
    [ "$("$tool" --print-soname libnew.so)" = libanswer.so ] || fail "SONAME not added"
    # A long SONAME, then the program finds the library through a long RUNPATH.
    mkdir -p edited
    cp lib/libanswer.so edited/libanswer-with-a-much-longer-name.so.1
    "$tool" --set-soname libanswer-with-a-much-longer-name.so.1 \
        --set-rpath "$LONG" edited/libanswer-with-a-much-longer-name.so.1
    readelf -dW edited/libanswer-with-a-much-longer-name.so.1 |
        grep -q 'soname: \[libanswer-with-a-much-longer-name.so.1\]' || fail "long SONAME"
    cp pie pie.1
    "$tool" --replace-needed libanswer.so libanswer-with-a-much-longer-name.so.1 \
        --set-rpath "$W/edited" pie.1
    runs pie.1 "answer 42"
    # Versioned symbols: their names stay readable after the string table moves, and the
    # program still binds to V1.
    cp lib/libversioned.so lib/libversioned.so.orig
    "$tool" --set-rpath "$LONG" --add-needed libm.so.6 lib/libversioned.so
    runs user "versioned 7"
    readelf -VW lib/libversioned.so | grep -q 'Name: V1' || fail "version names lost"
    readelf --dyn-syms -W lib/libversioned.so | grep -q 'versioned@@V1' || fail "symbol version"
    # Replacing a needed library renames it in the version needs too: the loader looks the
    # library of a version up by that name.
    cp lib/libversioned.so.orig lib/libversioned-renamed.so
    cp user user.2
    "$tool" --replace-needed libversioned.so libversioned-renamed.so user.2
    readelf -VW user.2 | grep -q 'File: libversioned-renamed.so' || fail "version need file"
    runs user.2 "versioned 7"
    # --clear-symbol-version drops the requirement in the user.
    cp user user.1
    "$tool" --clear-symbol-version versioned user.1
    readelf --dyn-syms -W user.1 | grep -q 'versioned@V1' && fail "version not cleared"
    runs user.1 "versioned 7"
    # --no-default-lib, --add-debug-tag, execstack, OS ABI.
    cp lib/libanswer.so libflags.so
    "$tool" --no-default-lib --add-debug-tag libflags.so
    dynamic_line libflags.so FLAGS_1 | grep -q NODEFLIB || fail "NODEFLIB not set"
    [ -n "$(dynamic_line libflags.so DEBUG)" ] || fail "DT_DEBUG not added"
    "$tool" --set-execstack libflags.so
    [ "$("$tool" --print-execstack libflags.so)" = "execstack: X" ] || fail "set-execstack"
    "$tool" --clear-execstack libflags.so
    [ "$("$tool" --print-execstack libflags.so)" = "execstack: -" ] || fail "clear-execstack"
    "$tool" --set-os-abi freebsd libflags.so
    [ "$("$tool" --print-os-abi libflags.so)" = FreeBSD ] || fail "set-os-abi"
    readelf -h libflags.so | grep -q 'FreeBSD' || fail "OS/ABI in the header"
    ;;
print)
    build
    cp lib/libversioned.so libv.so
    patchelf --set-rpath "$LONG" libv.so
    # A statically linked program has no dynamic section: no SONAME (printed as nothing, and
    # success), and no rpath or needed list (an error).
    cc -static -o static main.c answer.c
    [ -z "$("$tool" --print-soname static)" ] || fail "--print-soname of a static program"
    for file in pie nopie user lib/libanswer.so lib/libnosoname.so libv.so /bin/sh static; do
        for option in --print-interpreter --print-soname --print-rpath --print-needed; do
            set +e
            ours=$("$tool" $option "$file" 2>/dev/null)
            our_status=$?
            theirs=$(patchelf $option "$file" 2>/dev/null)
            their_status=$?
            set -e
            [ "$our_status" = "$their_status" ] || fail "$option $file: status $our_status, patchelf $their_status"
            [ "$ours" = "$theirs" ] || fail "$option $file: '$ours', patchelf '$theirs'"
        done
    done
    # Several prints and several files in one call, as patchelf orders them.
    [ "$("$tool" --print-needed --print-rpath --print-interpreter pie nopie)" = \
        "$(patchelf --print-needed --print-rpath --print-interpreter pie nopie)" ] ||
        fail "several options and files"
    for options in "--print-soname --print-needed" "--print-interpreter --print-soname"; do
        set +e
        # shellcheck disable=SC2086 # several options
        ours=$("$tool" $options static 2>/dev/null)
        our_status=$?
        # shellcheck disable=SC2086
        theirs=$(patchelf $options static 2>/dev/null)
        their_status=$?
        set -e
        [ "$ours:$our_status" = "$theirs:$their_status" ] ||
            fail "$options static: '$ours' $our_status, patchelf '$theirs' $their_status"
    done
    # --shrink-rpath, with and without allowed prefixes, keeps what patchelf keeps.
    mkdir -p empty
    for prefixes in "" "$LONG:/nowhere"; do
        cp pie ours.bin
        cp pie theirs.bin
        for program in "$tool" patchelf; do
            file=ours.bin
            [ "$program" = patchelf ] && file=theirs.bin
            "$program" --set-rpath "\$ORIGIN/x:/nonexistent:$W/empty:$W/lib:$LONG:relative" $file
            if [ -n "$prefixes" ]; then
                "$program" --shrink-rpath --allowed-rpath-prefixes "$prefixes" $file
            else
                "$program" --shrink-rpath $file
            fi
        done
        [ "$("$tool" --print-rpath ours.bin)" = "$(patchelf --print-rpath theirs.bin)" ] ||
            fail "--shrink-rpath '$prefixes': $("$tool" --print-rpath ours.bin)"
    done
    # Prints show the file as it was before the edits of the same call.
    cp lib/libanswer.so libp.so
    [ "$("$tool" --set-soname libother.so --print-soname libp.so)" = libanswer.so ] ||
        fail "print after edit"
    ;;
damaged)
    build
    size=$(stat -c %s pie)
    # Every modifying option checks the whole input, not only what it changes.
    check_refused() {
        cp "$1" before.bin
        for edit in "--set-rpath $LONG" "--set-interpreter /lib/$LONG/ld.so" "--set-os-abi gnu" \
            --set-execstack "--add-needed libx.so" "--set-soname x" --no-default-lib \
            --add-debug-tag --remove-rpath; do
            # shellcheck disable=SC2086 # the option and its value are two words
            if "$tool" $edit "$1" 2>err.txt; then fail "$1 accepted by $edit"; fi
            [ -s err.txt ] || fail "$1: no message from $edit"
            cmp before.bin "$1" || fail "$1 changed by $edit"
            [ -z "$(ls -A | grep '^\.')" ] || fail "$1: temporary file left behind by $edit"
        done
    }
    head -c 40 pie >cut-header
    check_refused cut-header
    head -c $((size / 2)) pie >cut-half
    check_refused cut-half
    # Program header table offset past the end (e_phoff is at 32 in ELF64).
    cp pie bad-phoff
    printf '\377\377\377\377' | dd of=bad-phoff bs=1 seek=32 conv=notrunc 2>/dev/null
    check_refused bad-phoff
    # Absurd program header count.
    cp pie bad-phnum
    printf '\377\177' | dd of=bad-phnum bs=1 seek=56 conv=notrunc 2>/dev/null
    check_refused bad-phnum
    # DT_STRTAB pointing outside every segment.
    cp pie bad-strtab
    dyn=$(readelf -lW pie | awk '$1 == "DYNAMIC" {print $2}')
    idx=$(readelf -dW pie | awk '/^ 0x/ {n++} /\(STRTAB\)/ {print n - 1; exit}')
    printf '\377\377\377\177' | dd of=bad-strtab bs=1 seek=$((dyn + idx * 16 + 8)) \
        conv=notrunc 2>/dev/null
    check_refused bad-strtab
    # No string table at all: the first dynamic entry becomes DT_NULL.
    cp pie empty-dynamic
    printf '\0\0\0\0\0\0\0\0' | dd of=empty-dynamic bs=1 seek=$((dyn)) conv=notrunc 2>/dev/null
    check_refused empty-dynamic
    # DT_RELA's table reaching past the file: DT_RELASZ made huge.
    cp pie bad-relasz
    idx=$(readelf -dW pie | awk '/^ 0x/ {n++} /\(RELASZ\)/ {print n - 1; exit}')
    printf '\377\377\377\177' | dd of=bad-relasz bs=1 seek=$((dyn + idx * 16 + 8)) \
        conv=notrunc 2>/dev/null
    check_refused bad-relasz
    # Two loadable segments overlapping in memory: the second starts at the first's address.
    cp pie overlap
    phoff=$(readelf -hW pie | awk '/Start of program headers/ {print $5}')
    index=$(readelf -lW pie | awk '/^  [A-Z]/ && $1 != "Type" {n++} $1 == "LOAD" {l++; if (l == 2) {print n - 1; exit}}')
    printf '\0\0\0\0\0\0\0\0' | dd of=overlap bs=1 seek=$((phoff + index * 56 + 16)) \
        conv=notrunc 2>/dev/null
    check_refused overlap
    echo 'not an ELF file at all' >text
    check_refused text
    # A missing file: a message and status 1.
    if "$tool" --print-rpath missing 2>err.txt; then fail "missing file accepted"; fi
    grep -q missing err.txt || fail "missing file not named"
    ;;
files)
    build
    # --output: the original stays, the copy runs.
    "$tool" --set-rpath "$LONG" --output out.bin pie
    cmp pie out.bin >/dev/null 2>&1 && fail "--output did not edit"
    runs out.bin "answer 42"
    # --output to a device and to a pipe writes the bytes and replaces nothing.
    "$tool" --set-rpath "$LONG" --output /dev/null pie
    [ -c /dev/null ] || fail "/dev/null replaced"
    "$tool" --set-rpath "$LONG" --output /dev/stdout pie | cat >piped.bin
    cmp out.bin piped.bin || fail "the piped result differs"
    # Permissions stay.
    cp pie mode.bin
    chmod 750 mode.bin
    "$tool" --set-rpath "$LONG" mode.bin
    [ "$(stat -c %a mode.bin)" = 750 ] || fail "permissions changed"
    # A symbolic link: the file it points to is edited, the link stays a link.
    cp pie target.bin
    ln -s target.bin link.bin
    "$tool" --set-rpath "$LONG" link.bin
    [ -L link.bin ] || fail "the link was replaced"
    runs target.bin "answer 42"
    [ "$("$tool" --print-rpath target.bin)" = "$LONG" ] || fail "link target not edited"
    # A hard link keeps the old contents (the edited name gets a new file).
    cp pie hard.bin
    ln hard.bin hard2.bin
    "$tool" --set-rpath "$LONG" hard.bin
    cmp pie hard2.bin || fail "the other hard link changed"
    # @FILE takes a value from a file.
    printf '%s' "$W/lib" >rpath.txt
    cp pie at.bin
    "$tool" --set-rpath @rpath.txt at.bin
    [ "$("$tool" --print-rpath at.bin)" = "$W/lib" ] || fail "@FILE"
    # Usage and version name the program as invoked.
    ln -s "$tool" patchelf
    ./patchelf --version | grep -q '^patchelf ' || fail "--version does not say patchelf"
    ./patchelf --help | head -n1 | grep -q '^syntax: patchelf$' || fail "--help"
    if ./patchelf 2>err.txt; then fail "no arguments accepted"; fi
    grep -q '^syntax: patchelf' err.txt || fail "usage without arguments"
    if ./patchelf --set-rpath 2>err.txt; then fail "missing argument accepted"; fi
    grep -q 'missing argument' err.txt || fail "missing argument message"
    if ./patchelf --print-rpath 2>err.txt; then fail "missing file accepted"; fi
    grep -q 'missing filename' err.txt || fail "missing filename message"
    # Several files in one call.
    cp pie many1.bin
    cp nopie many2.bin
    "$tool" --set-rpath "$W/lib" many1.bin many2.bin
    runs many1.bin "answer 42"
    runs many2.bin "answer 42"
    ;;
extended)
    build
    # Writes the little-endian value $2 in $3 bytes at offset $4 of file $1.
    put() {
        value=$2
        i=0
        while [ $i -lt "$3" ]; do
            printf "\\$(printf %03o $((value % 256)))"
            value=$((value / 256))
            i=$((i + 1))
        done | dd of="$1" bs=1 seek="$4" conv=notrunc 2>/dev/null
    }
    # Extended numbering: the section count, name table index and program header count moved
    # into section 0 (e_shnum 0, SHN_XINDEX, PN_XNUM) read as the plain ones.
    cp pie extended
    shoff=$(readelf -hW pie | awk '/Start of section headers/ {print $5}')
    shnum=$(readelf -hW pie | awk '/Number of section headers/ {print $5}')
    shstrndx=$(readelf -hW pie | awk '/Section header string table index/ {print $6}')
    phnum=$(readelf -hW pie | awk '/Number of program headers/ {print $5}')
    put extended "$shnum" 8 $((shoff + 32))
    put extended "$shstrndx" 4 $((shoff + 40))
    put extended "$phnum" 4 $((shoff + 44))
    put extended 0 2 60
    put extended 65535 2 62
    put extended 65535 2 56
    for option in --print-interpreter --print-rpath --print-needed; do
        [ "$("$tool" $option extended)" = "$("$tool" $option pie)" ] ||
            fail "extended numbering: $option differs"
    done
    "$tool" --set-rpath "$LONG" extended
    runs extended "answer 42"
    [ "$("$tool" --print-rpath extended)" = "$LONG" ] || fail "extended numbering: edit"
    readelf -hW extended | grep -q "Number of program headers: *$((phnum + 1))\$" ||
        fail "extended numbering: the program header count is not in the header"
    ;;
rename)
    build
    gnu_hash() {
        printf %s "$1" | od -An -tu1 -v |
            awk '{for (i = 1; i <= NF; i++) h = (h * 33 + $i) % 4294967296} END {printf "%d\n", h}' h=5381
    }
    # The program calls a name the library does not define until renamed. With a SysV hash table
    # any new name works; with a GNU one, a name in the old name's bucket.
    for style in sysv gnu; do
        mkdir -p $style/stub
        cc -shared -fPIC -Wl,--hash-style=$style -Wl,-soname,libanswer.so -o $style/libanswer.so \
            answer.c
        buckets=$(readelf -IW $style/libanswer.so | sed -n 's/.*total of \([0-9]*\) buckets.*/\1/p' |
            head -n1)
        new=renamed_answer
        if [ $style = gnu ]; then
            want=$(($(gnu_hash answer) % buckets))
            n=0
            while [ $(($(gnu_hash renamed_answer$n) % buckets)) != "$want" ]; do n=$((n + 1)); done
            new=renamed_answer$n
        fi
        echo "int $new(void) { return 0; }" >$style/stub.c
        cc -shared -fPIC -Wl,-soname,libanswer.so -o $style/stub/libanswer.so $style/stub.c
        printf '#include <stdio.h>\nint %s(void);\nint main(void) { printf("answer %%d\\n", %s()); return 0; }\n' \
            $new $new >$style/main.c
        cc -o $style/main $style/main.c -L$style/stub -lanswer -Wl,-rpath,"$W/$style"
        echo "answer $new" >$style/map.txt
        "$tool" --rename-dynamic-symbols $style/map.txt $style/libanswer.so
        runs $style/main "answer 42"
        readelf --dyn-syms -W $style/libanswer.so | grep -q " $new\$" || fail "$style: not renamed"
    done
    # A defined symbol renamed into another bucket of the GNU hash table: the symbols are sorted
    # by bucket again, and what indexes them follows (PLT and GOT relocations naming the library's
    # own functions and variable, versions, both hash tables). The program calls the new name; a
    # lookup of every name then finds the right definition and the old name no longer.
    for style in gnu both; do
        mkdir -p across-$style/stub
        cd across-$style
        {
            echo 'int counter = 40;'
            i=0
            while [ $i -lt 24 ]; do echo "int f$i(void) { return $i; }"; i=$((i + 1)); done
            echo 'int answer(void) { return counter + f2(); }'
        } >lib.c
        # Odd functions in version V1, the rest in V2: each symbol must keep its version.
        echo 'V1 { global: f1; f3; f5; f7; f9; f11; f13; f15; f17; f19; f21; f23; };
V2 { global: *; } V1;' >versions.map
        cc -shared -fPIC -Wl,--hash-style=$style -Wl,-soname,libacross.so \
            -Wl,--version-script=versions.map -o libacross.so lib.c
        versions() { readelf --dyn-syms -W "$1" | awk '$8 ~ /@/ {print $8}' | sort; }
        versions libacross.so | sed "s/^answer@/RENAMED@/" >versions.before
        buckets=$(readelf -IW libacross.so |
            sed -n 's/.*gnu\.hash.*total of \([0-9]*\) buckets.*/\1/p')
        n=0
        while [ $(($(gnu_hash other$n) % buckets)) = $(($(gnu_hash answer) % buckets)) ]; do
            n=$((n + 1))
        done
        echo "int other$n(void) { return 0; }" >stub.c
        cc -shared -fPIC -Wl,-soname,libacross.so -o stub/libacross.so stub.c
        printf '#include <stdio.h>\nint %s(void);\nint main(void) { printf("answer %%d\\n", %s()); return 0; }\n' \
            other$n other$n >main.c
        cc -o main main.c -Lstub -lacross -Wl,-rpath,"$W/across-$style"
        cat >lookup.c <<'EOF'
#include <dlfcn.h>
#include <stdio.h>
int main(int argc, char **argv) {
    void *library = dlopen(argv[1], RTLD_NOW);
    if (library == NULL) return printf("%s\n", dlerror()), 1;
    for (int i = 2; i < argc; i++) {
        int (*function)(void) = (int (*)(void))dlsym(library, argv[i]);
        printf("%s=%d\n", argv[i], function == NULL ? -1 : function());
    }
    return 0;
}
EOF
        cc -o lookup lookup.c -ldl
        echo "answer other$n" >map.txt
        "$tool" --rename-dynamic-symbols map.txt libacross.so
        runs main "answer 42"
        versions libacross.so | sed "s/^other$n@/RENAMED@/" | sort >versions.after
        cmp versions.before versions.after || fail "$style: versions changed"
        expected="answer=-1 other$n=42"
        names="answer other$n"
        i=0
        while [ $i -lt 24 ]; do
            expected="$expected f$i=$i"
            names="$names f$i"
            i=$((i + 1))
        done
        # shellcheck disable=SC2086 # one name a word
        got=$(./lookup ./libacross.so $names | tr '\n' ' ')
        [ "$got" = "$expected " ] || fail "$style: lookups give '$got'"
        readelf -lW libacross.so >/dev/null 2>err.txt
        readelf -aW libacross.so >/dev/null 2>>err.txt
        [ ! -s err.txt ] || fail "$style: readelf complains: $(cat err.txt)"
        cd "$W"
    done
    ;;
*)
    fail "unknown case $case_name"
    ;;
esac
echo "ok: $case_name"
