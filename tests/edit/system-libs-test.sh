#!/bin/sh
# Edits a copy of every shared library under /usr/lib/x86_64-linux-gnu (regular ELF files named
# *.so*, subfolders included) with a search path long enough to force growth and an added needed
# library, then loads the result with dlopen (RTLD_LAZY | RTLD_LOCAL) in a fresh process. A
# library whose original does not load is skipped; every other edited copy must load, keep the
# new search path, and keep what a loader relies on (layout-check.awk) as its original did. One in
# four is then edited again (a longer search path, one more needed library) and loaded again. Runs JOBS libraries at a time; the copies live in WORKDIR, one at a time per job.
#
# usage: system-libs-test.sh EDITOR WORKDIR [JOBS] [LIBDIR]
set -u
editor=${1:?usage: system-libs-test.sh EDITOR WORKDIR [JOBS] [LIBDIR]}
work=${2:?}
jobs=${3:-2}
libdir=${4:-/usr/lib/x86_64-linux-gnu}
# The scripts change folders: a relative path to the editor starts from here.
case $editor in */*) editor=$(cd "$(dirname "$editor")" && pwd)/$(basename "$editor") ;; esac
rm -rf "$work"
mkdir -p "$work/results"
cat >"$work/load.c" <<'EOF'
#include <dlfcn.h>
#include <stdio.h>
int main(int argc, char **argv) {
    if (argc != 2) return 2;
    if (dlopen(argv[1], RTLD_LAZY | RTLD_LOCAL) == NULL) {
        printf("%s\n", dlerror());
        return 1;
    }
    return 0;
}
EOF
cc -o "$work/load" "$work/load.c" -ldl || exit 1

# One library: a line "ok", "skip" or "FAIL ..." in results/<job>.
cat >"$work/one.sh" <<'EOF'
set -u
editor=$1 work=$2 here=$3 library=$4
layout() { readelf -lW "$1" 2>/dev/null | awk -v size="$(wc -c <"$1")" -f "$here/layout-check.awk"; }
[ "$(head -c 4 "$library" | od -An -c | tr -d ' ')" = '177ELF' ] || exit 0
# Twelve absent folders, then the library's own search path with $ORIGIN spelt out, since the copy
# lives elsewhere.
old=$(readelf -dW "$library" 2>/dev/null | sed -n 's/.*(R[UN]*PATH).*\[\(.*\)\]$/\1/p' |
    sed "s|\\\$ORIGIN|$(dirname "$library")|g; s|\\\${ORIGIN}|$(dirname "$library")|g")
rpath=$(printf '/opt/quenza-edit-test/search-path-entry-%02d:' $(seq 1 12))/usr/lib/x86_64-linux-gnu
rpath=$rpath${old:+:$old}
out=$work/results/$$
if ! timeout 20 "$work/load" "$library" >/dev/null 2>&1 </dev/null; then
    echo "skip $library" >>"$out"
    exit 0
fi
copy=$work/copy-$$/$(basename "$library")
mkdir -p "$(dirname "$copy")"
cp "$library" "$copy"
if ! message=$("$editor" --set-rpath "$rpath" --add-needed libm.so.6 "$copy" 2>&1); then
    echo "FAIL $editor --set-rpath <${#rpath} characters> --add-needed libm.so.6 $library: $message" >>"$out"
elif [ "$(layout "$copy")" != "$(layout "$library")" ]; then
    echo "FAIL $library: after the edit, $(layout "$copy" | tr '\n' ' '); before, $(layout "$library" | tr '\n' ' ')" >>"$out"
elif ! loaded=$(timeout 20 "$work/load" "$copy" 2>&1 </dev/null); then
    echo "FAIL dlopen after $editor --set-rpath <${#rpath} characters> --add-needed libm.so.6 $library: $loaded" >>"$out"
elif [ "$("$editor" --print-rpath "$copy" 2>&1)" != "$rpath" ] ||
    ! readelf -dW "$copy" | grep -q 'NEEDED.*\[libm\.so\.6\]'; then
    echo "FAIL $library: the edited copy lacks the new search path or needed entry" >>"$out"
elif [ $(($(echo "$library" | cksum | cut -d' ' -f1) % 4)) -eq 0 ]; then
    # One library in four gets a second growing edit of the edited copy.
    rpath2=$rpath:/opt/quenza-edit-test/$(printf 'second-edit-%03d' $(seq 1 20) | tr -d '\n')
    if ! message=$("$editor" --set-rpath "$rpath2" --add-needed libdl.so.2 "$copy" 2>&1); then
        echo "FAIL second edit: $editor --set-rpath <${#rpath2} characters> --add-needed libdl.so.2 (edited $library): $message" >>"$out"
    elif ! loaded=$(timeout 20 "$work/load" "$copy" 2>&1 </dev/null); then
        echo "FAIL dlopen after a second edit of $library: $loaded" >>"$out"
    elif [ "$(layout "$copy")" != "$(layout "$library")" ]; then
        echo "FAIL $library: after a second edit, $(layout "$copy" | tr '\n' ' ')" >>"$out"
    else
        echo "ok $library (edited twice)" >>"$out"
    fi
else
    echo "ok $library" >>"$out"
fi
rm -f "$copy"
EOF

find "$libdir" -type f -name '*.so*' | sort |
    xargs -P "$jobs" -n 1 sh "$work/one.sh" "$editor" "$work" "$(cd "$(dirname "$0")" && pwd)"
cat "$work"/results/* >"$work/all" 2>/dev/null
loaded=$(grep -c '^ok ' "$work/all")
skipped=$(grep -c '^skip ' "$work/all")
failed=$(grep -c '^FAIL ' "$work/all")
grep '^FAIL ' "$work/all"
echo "system-libs-test: $loaded edited libraries loaded ($(grep -c 'edited twice' "$work/all")" \
    "of them after a second edit), $failed failed, $skipped skipped (the original does not load)"
[ "$failed" -eq 0 ] && [ "$loaded" -gt 100 ]
