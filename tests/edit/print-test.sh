#!/bin/sh
# The print options against Debian's patchelf on every ELF file of this machine's program and
# library folders: --print-interpreter, --print-soname, --print-rpath and --print-needed must
# print the same text and succeed or fail alike, file by file and for twenty files in one call
# (where the editor goes on past a file it cannot print, as its manual says, and the reference
# stops).
#
# usage: print-test.sh EDITOR WORKDIR [JOBS] [REFERENCE]
set -u
editor=${1:?usage: print-test.sh EDITOR WORKDIR [JOBS] [REFERENCE]}
work=${2:?}
jobs=${3:-2}
reference=${4:-/usr/bin/patchelf}
case $editor in */*) editor=$(cd "$(dirname "$editor")" && pwd)/$(basename "$editor") ;; esac
rm -rf "$work"
mkdir -p "$work/results"

# A batch of files: one line "ok" or "FAIL ..." per check in results/<pid>.
cat >"$work/batch.sh" <<'EOF'
editor=$1 reference=$2 work=$3
shift 3
out=$work/results/$$
elf=
for file in "$@"; do
    [ "$(head -c 4 "$file" | od -An -c | tr -d ' ')" = '177ELF' ] && elf="$elf $file"
done
[ -n "$elf" ] || exit 0
for option in --print-interpreter --print-soname --print-rpath --print-needed; do
    for file in $elf; do
        expected=$("$reference" $option "$file" 2>/dev/null)
        expected_status=$?
        [ "$expected_status" -gt 1 ] && continue # the reference crashed: nothing to compare
        got=$("$editor" $option "$file" 2>/dev/null)
        got_status=$?
        if [ "$got" != "$expected" ] || [ "$got_status" -ne "$expected_status" ]; then
            echo "FAIL $editor $option $file: status $got_status, printed '$got';" \
                "$(basename "$reference"): status $expected_status, '$expected'" >>"$out"
        else
            echo "ok" >>"$out"
        fi
    done
    # All at once: the same lines in the same order. The reference stops at the first file it
    # cannot print; the editor goes on with the others, so its output then starts with the
    # reference's.
    expected=$("$reference" $option $elf 2>/dev/null)
    expected_status=$?
    [ "$expected_status" -gt 1 ] && continue
    got=$("$editor" $option $elf 2>/dev/null)
    got_status=$?
    agree=no
    if [ "$expected_status" -eq 0 ]; then
        [ "$got_status" -eq 0 ] && [ "$got" = "$expected" ] && agree=yes
    else
        [ "$got_status" -eq 1 ] && case $got in "$expected"*) agree=yes ;; esac
    fi
    if [ "$agree" = no ]; then
        printf '%s\n' "$got" >"$work/got.$$"
        echo "FAIL $editor $option on $(echo $elf | wc -w) files at once: status $got_status," \
            "$(basename "$reference") $expected_status; output: $(printf '%s\n' "$expected" |
                diff - "$work/got.$$" | head -4 | tr '\n' ' ')" >>"$out"
    else
        echo "ok" >>"$out"
    fi
done
EOF

find /usr/bin /usr/sbin /usr/lib/x86_64-linux-gnu -maxdepth 1 -type f \
    \( -perm -u+x -o -name '*.so*' \) | sort |
    xargs -P "$jobs" -n 20 sh "$work/batch.sh" "$editor" "$reference" "$work"
cat "$work"/results/* >"$work/all" 2>/dev/null
passed=$(grep -c '^ok' "$work/all")
failed=$(grep -c '^FAIL ' "$work/all")
grep '^FAIL ' "$work/all" | head -50
echo "print-test: $passed comparisons agree, $failed differ"
[ "$failed" -eq 0 ] && [ "$passed" -gt 1000 ]
