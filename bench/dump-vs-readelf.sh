#!/bin/sh
# quenza-dump against binutils readelf -hlSsrdVW and elfutils eu-readelf with the same options on
# the same file: each shows the file header, section and program headers, dynamic entries,
# relocations, symbols and symbol versions. Each runs RUNS times with its output going to
# /dev/null; the script reports the median wall time, the median CPU time (user and system, the
# steadier figure on a shared machine), the largest peak resident memory and the output size of
# each, and the ratios.
#
# Usage: sh bench/dump-vs-readelf.sh [QUENZA_DUMP] [FILE] [RUNS]
#   QUENZA_DUMP  default build/release/tools/quenza-dump (scripts/build.sh builds it)
#   FILE         default /usr/lib/x86_64-linux-gnu/libLLVM-14.so.1 (package libllvm14)
#   RUNS         default 7 (each of 10 runs in a row)
# Needs GNU time as /usr/bin/time (Debian package "time"), readelf (package binutils) and
# eu-readelf (package elfutils).
set -eu
dump=${1:-build/release/tools/quenza-dump}
file=${2:-/usr/lib/x86_64-linux-gnu/libLLVM-14.so.1}
runs=${3:-7}
for need in "$dump" /usr/bin/time /usr/bin/readelf /usr/bin/eu-readelf "$file"; do
    if [ ! -e "$need" ]; then
        echo "dump-vs-readelf: missing $need" >&2
        exit 1
    fi
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# measure NAME COMMAND...: one "seconds kilobytes cpu-seconds" line per run in $work/NAME. A run
# times the command `batch` times in a row and divides, since time(1) counts in 10 ms steps.
batch=10
measure() {
    name=$1
    shift
    : >"$work/$name"
    i=0
    while [ "$i" -lt "$runs" ]; do
        /usr/bin/time -f "%e %M %U %S" -o "$work/run" \
            sh -c 'n=0; while [ $n -lt '"$batch"' ]; do "$@" >/dev/null; n=$((n + 1)); done' sh "$@"
        awk -v b="$batch" '{ printf "%.3f %d %.3f\n", $1 / b, $2, ($3 + $4) / b }' "$work/run" \
            >>"$work/$name"
        i=$((i + 1))
    done
}
median() { cut -d' ' -f1 "$work/$1" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
peak() { cut -d' ' -f2 "$work/$1" | sort -n | tail -n 1; }
cpu() { cut -d' ' -f3 "$work/$1" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# A first run of each warms the page cache and gives the output sizes.
# eu-readelf's -s takes an optional section name, so its options cannot be grouped.
"$dump" "$file" | wc -c >"$work/dump-bytes"
readelf -hlSsrdVW "$file" | wc -c >"$work/readelf-bytes"
eu-readelf -h -l -S -s -r -d -V "$file" | wc -c >"$work/eu-readelf-bytes"
measure dump "$dump" "$file"
measure readelf readelf -hlSsrdVW "$file"
measure eu-readelf eu-readelf -h -l -S -s -r -d -V "$file"

echo "file: $file ($(wc -c <"$file") bytes), $runs runs each, output to /dev/null"
printf '%-12s %10s %10s %12s %14s\n' "" "median s" "CPU s" "peak RSS KB" "output bytes"
for name in dump readelf eu-readelf; do
    label=$name
    [ "$name" = dump ] && label=quenza-dump
    printf '%-12s %10s %10s %12s %14s\n' "$label" "$(median "$name")" "$(cpu "$name")" \
        "$(peak "$name")" "$(cat "$work/$name-bytes")"
done
for other in readelf eu-readelf; do
    awk -v d="$(median dump)" -v r="$(median "$other")" -v dc="$(cpu dump)" -v rc="$(cpu "$other")" \
        -v dm="$(peak dump)" -v rm="$(peak "$other")" -v name="$other" \
        'BEGIN { printf "quenza-dump takes %.2f of %s'"'"'s time (%.2f of its CPU time) and %.2f of its peak memory\n",
                 (r > 0 ? d / r : 0), name, (rc > 0 ? dc / rc : 0), (rm > 0 ? dm / rm : 0) }'
done
