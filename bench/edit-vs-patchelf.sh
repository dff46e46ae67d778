#!/bin/sh
# quenza-edit against Debian's patchelf on the same edit of the same file: a --set-rpath of 353
# characters, which does not fit in the string table and makes both grow the file, written with
# --output to a new file next to the others (the input is never changed). The two alternate, RUNS
# times each, taking turns to go first; the script reports each median wall time and largest peak
# resident memory, the ratios, and checks that both outputs carry the new search path.
#
# Usage: sh bench/edit-vs-patchelf.sh [QUENZA_EDIT] [FILE] [RUNS]
#   QUENZA_EDIT  default build/release/tools/quenza-edit (scripts/build.sh builds it)
#   FILE         default /usr/lib/x86_64-linux-gnu/libLLVM-14.so.1 (package libllvm14)
#   RUNS         default 7
# Needs GNU time as /usr/bin/time (Debian package "time"), patchelf and readelf.
set -eu
edit=${1:-build/release/tools/quenza-edit}
file=${2:-/usr/lib/x86_64-linux-gnu/libLLVM-14.so.1}
runs=${3:-7}
for need in "$edit" /usr/bin/patchelf /usr/bin/time /usr/bin/readelf "$file"; do
    if [ ! -e "$need" ]; then
        echo "edit-vs-patchelf: missing $need" >&2
        exit 1
    fi
done
work=$(mktemp -d "${TMPDIR:-/tmp}/edit-vs-patchelf.XXXXXX")
trap 'rm -rf "$work"' EXIT
rpath=$(printf '/opt/edit-benchmark/search-path-entry-%02d:' $(seq 1 8))/usr/lib/x86_64-linux-gnu

# run NAME EDITOR: one "seconds kilobytes" line in $work/NAME; the output is $work/NAME.out.
# The previous output is removed and written back to disk first, so no run pays for another's.
run() {
    rm -f "$work/$1.out"
    sync
    /usr/bin/time -f "%e %M" -o "$work/time" "$2" --set-rpath "$rpath" --output "$work/$1.out" \
        "$file" >/dev/null
    cat "$work/time" >>"$work/$1"
}
median() { cut -d' ' -f1 "$work/$1" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
peak() { cut -d' ' -f2 "$work/$1" | sort -n | tail -n 1; }

# A first run of each warms the page cache.
run warm "$edit"
run warm /usr/bin/patchelf
: >"$work/quenza-edit"
: >"$work/patchelf"
i=0
while [ "$i" -lt "$runs" ]; do
    if [ $((i % 2)) -eq 0 ]; then
        run quenza-edit "$edit"
        run patchelf /usr/bin/patchelf
    else
        run patchelf /usr/bin/patchelf
        run quenza-edit "$edit"
    fi
    i=$((i + 1))
done
for name in quenza-edit patchelf; do
    if ! readelf -dW "$work/$name.out" | grep -qF "[$rpath]"; then
        echo "edit-vs-patchelf: $name's output lacks the new search path" >&2
        exit 1
    fi
done

echo "file: $file ($(wc -c <"$file") bytes), --set-rpath of ${#rpath} characters," \
    "$runs runs each, output to a new file"
printf '%-12s %10s %12s %14s\n' "" "median s" "peak RSS KB" "output bytes"
for name in quenza-edit patchelf; do
    printf '%-12s %10s %12s %14s\n' "$name" "$(median "$name")" "$(peak "$name")" \
        "$(wc -c <"$work/$name.out")"
done
awk -v q="$(median quenza-edit)" -v p="$(median patchelf)" -v qm="$(peak quenza-edit)" \
    -v pm="$(peak patchelf)" \
    'BEGIN { printf "quenza-edit takes %.2f of patchelf'"'"'s time and %.2f of its peak memory\n",
             (p > 0 ? q / p : 0), (pm > 0 ? qm / pm : 0) }'
