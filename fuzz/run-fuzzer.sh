#!/bin/sh
# Runs one fuzz target for a bounded time over a fresh scratch corpus, so nothing generated ever
# lands in the source tree. The corpus starts from the committed seeds and regressions given as
# DIRs, plus real files of all four layouts from the installed C-library packages (and MIPS64 of
# both byte orders and SPARC64, whose relocations lay r_info out their own way): the crt objects
# whole, and the first 4 KB (headers and the start of the tables) of each libc.
# Fails on any crash, leak, hang, out-of-memory or sanitizer report.
set -eu
fuzzer=${1:?usage: run-fuzzer.sh FUZZER WORKDIR SECONDS [DIR...]}
work=${2:?}
seconds=${3:?}
shift 3
rm -rf "$work"
mkdir -p "$work/corpus" "$work/artifacts"
for dir in "$@"; do
    [ -d "$dir" ] || continue
    find "$dir" -type f ! -name '.*' -exec cp {} "$work/corpus/" \;
done
for lib in /usr/lib/x86_64-linux-gnu /usr/i686-linux-gnu/lib /usr/powerpc-linux-gnu/lib \
    /usr/s390x-linux-gnu/lib /usr/mips64el-linux-gnuabi64/lib /usr/mips64-linux-gnuabi64/lib \
    /usr/sparc64-linux-gnu/lib; do
    name=$(basename "$(dirname "$lib")")
    [ "$name" = lib ] && name=x86_64-linux-gnu
    for object in crt1.o crti.o crtn.o; do
        [ -f "$lib/$object" ] && cp "$lib/$object" "$work/corpus/$name-$object"
    done
    [ -f "$lib/libc.so.6" ] && head -c 4096 "$lib/libc.so.6" >"$work/corpus/$name-libc-head"
done
echo "run-fuzzer: $(ls "$work/corpus" | wc -l) seed inputs, $seconds s"
status=0
"$fuzzer" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" "$work/corpus" || status=$?
if [ "$status" -ne 0 ] || [ -n "$(ls "$work/artifacts")" ]; then
    echo "run-fuzzer: $(basename "$fuzzer") failed (status $status); reproducers:" >&2
    ls -l "$work/artifacts" >&2
    echo "replay one with: $fuzzer FILE; once fixed, keep it in fuzz/regressions/<target>/" >&2
    exit 1
fi
