#!/bin/sh
# Every C example of the README (each ```c block is a whole program; a ```c fragment block is a
# part of one, and is not built) must compile without a warning against an installed prefix and
# run on real files of all four layouts with status 0.
# Where an example shows something readelf also shows, the two must agree: the first example's
# number of sections, the counts under extended numbering (also on an object of 66000 sections
# built here), the symbol counts, and the version definitions with their parents.
set -eu
build=${1:?usage: readme-examples.sh BUILD_DIR README CORPUS_LIST}
readme=${2:?}
corpus=${3:?}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

awk -v dir="$tmp" '
    /^```c$/ { n++; file = dir "/example" n ".c"; next }
    /^```/ && file != "" { close(file); file = ""; next }
    file != "" { print > file }
    END { print n > (dir "/count") }' "$readme"
count=$(cat "$tmp/count")
[ "$count" -ge 4 ] || { echo "expected at least 4 C examples in the README, found $count"; exit 1; }

files="/bin/sh $(grep -E '/(i686|powerpc|s390x)-linux-gnu/lib/libc.so.6$' "$corpus")"
awk 'BEGIN { for (i = 0; i < 66000; i++) printf ".section .s%d,\"a\"\n.byte 1\n", i }' \
    >"$tmp/many.s"
as -o "$tmp/many.o" "$tmp/many.s"

i=0
while [ $i -lt "$count" ]; do
    i=$((i + 1))
    source=$tmp/example$i.c
    program=$tmp/example$i
    cc -std=c99 -Wall -Wextra -Wpedantic -Werror -I"$prefix/include" -o "$program" "$source" \
        "$prefix/lib/libquenza.a" || { echo "README example $i does not compile"; exit 1; }
    for file in $files "$tmp/many.o"; do
        "$program" "$file" >"$tmp/out" || { echo "README example $i failed on $file"; exit 1; }
        checked=yes
        if [ $i -eq 1 ]; then
            # One line per section header that e_shnum counts, up to 64.
            expect=$(readelf -hW "$file" |
                awk '/Number of section headers/ {n = $5 + 0; print (n > 64 ? 64 : n)}')
            got=$(wc -l <"$tmp/out")
        elif grep -q SHN_XINDEX "$source"; then
            expect=$(readelf -hW "$file" | awk -F: '
                # "0 (66005)": the real value is the one in parentheses.
                function real(v) {
                    if (v ~ /\(/) { sub(/.*\(/, "", v); sub(/\).*/, "", v) }
                    return v + 0
                }
                /Number of section headers/ { s = real($2) }
                /Section header string table index/ { x = real($2) }
                /Number of program headers/ { p = real($2) }
                END { printf "%d sections, names in section %d, %d segments\n", s, x, p }')
            got=$(cat "$tmp/out")
        elif grep -q quenza_read_Syms "$source"; then
            expect=$(readelf -sW "$file" | awk '/^Symbol table/ {print $5}' | tr '\n' ' ')
            got=$(awk '{print $3}' "$tmp/out" | tr '\n' ' ')
        elif grep -q quenza_read_Verdef "$source"; then
            expect=$(readelf -VW "$file" | awk '
                /^Version definition section/ { on = 1; next }
                /^Version/ || /^$/ { if (line != "") print line; line = ""; on = 0 }
                on && /Index:/ {
                    if (line != "") print line
                    index_ = $0; sub(/.*Index: */, "", index_); sub(/ .*/, "", index_)
                    name = $0; sub(/.*Name: */, "", name)
                    line = "index " index_ ": " name
                }
                on && /Parent/ {
                    parent = $0; sub(/.*Parent [0-9]+: */, "", parent)
                    line = line " " parent
                }
                END { if (line != "") print line }')
            got=$(cat "$tmp/out")
        else
            checked=no
        fi
        if [ $checked = yes ] && [ "$expect" != "$got" ]; then
            echo "README example $i on $file: readelf shows"
            echo "$expect"
            echo "the example printed"
            echo "$got"
            exit 1
        fi
    done
done
echo "all $count C examples of the README compile with -Werror and agree with readelf"
