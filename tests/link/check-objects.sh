#!/bin/sh
# Checks the built unit objects: each defines exactly its own operations (quenza.o also the four
# settings bytes) and needs nothing but C library stdio and the quenza unit, so that a plain C
# program links them with cc alone; and each is position-independent, so that they link into a
# shared object too.
set -eu
objdir=${1:?usage: check-objects.sh OBJECT_DIR}
status=0

expect() { # unit, then the names it must define
    unit=$1
    shift
    printf '%s\n' "$@" | sort >"$tmp/want"
    nm -g --defined-only "$objdir/$unit.o" | awk '{print $3}' | sort >"$tmp/have"
    if ! cmp -s "$tmp/want" "$tmp/have"; then
        echo "$unit.o defines other names than its operations:"
        diff "$tmp/want" "$tmp/have" || true
        status=1
    fi
    # Operations are visible from a shared object built of the objects; the settings bytes are
    # hidden, so that the code reaches them without the GOT.
    readelf -sW "$objdir/$unit.o" | awk '$5 == "GLOBAL" && $7 != "UND" {print $8, $6}' |
        sort >"$tmp/visibility"
    if grep -Ev '^(quenza_[A-Za-z_]+ DEFAULT|_quenza_[a-z_]+ HIDDEN)$' "$tmp/visibility"; then
        echo "$unit.o: names above have the wrong visibility"
        status=1
    fi
    # Relocations in what is loaded (not debug information): no absolute 32-bit ones, and
    # PC-relative data references only to local or hidden names. Either would make the linker
    # refuse -shared ("recompile with -fPIC").
    readelf -sW "$objdir/$unit.o" | awk '$5 == "LOCAL" || $6 == "HIDDEN" {print $8}' >"$tmp/bound"
    readelf -rW "$objdir/$unit.o" | awk '
        /^Relocation section/ { loaded = $3 !~ /^.\.rela\.debug/ }
        loaded && $3 ~ /^R_X86_64_/ { print $3, $5 }' |
        awk -v bound="$tmp/bound" '
        BEGIN { while ((getline name <bound) > 0) ok[name] = 1 }
        $1 == "R_X86_64_32" || $1 == "R_X86_64_32S" ||
        (($1 == "R_X86_64_PC32" || $1 == "R_X86_64_PC64") && $2 !~ /^\./ && !($2 in ok))' \
        >"$tmp/relocations"
    if [ -s "$tmp/relocations" ]; then
        echo "$unit.o has relocations a shared object cannot take:"
        cat "$tmp/relocations"
        status=1
    fi
    # Undefined names: stdio, memory helpers the compiler may call, the quenza unit, and the
    # linker's own GOT symbol.
    nm -u "$objdir/$unit.o" | awk '{print $2}' |
        grep -Ev '^(fread|fwrite|flockfile|funlockfile|memcpy|memcmp|__stack_chk_fail|_quenza_(current_class|current_data|current_version|native_data)|quenza_initialize_ident|_GLOBAL_OFFSET_TABLE_)$' \
            >"$tmp/extra" || true
    if [ -s "$tmp/extra" ]; then
        echo "$unit.o needs names beyond stdio and the quenza unit:"
        cat "$tmp/extra"
        status=1
    fi
    # No C++ run-time: static constructors, guard variables, exception tables.
    if objdump -h "$objdir/$unit.o" | grep -Eq '\.(init_array|ctors|gcc_except_table)'; then
        echo "$unit.o has static constructors or exception tables"
        status=1
    fi
}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
types="Half Word Sword Xword Sxword Addr Off Versym"
expect quenza _quenza_current_class _quenza_current_data _quenza_current_version \
    _quenza_native_data quenza_initialize_direct quenza_initialize_ident quenza_getsettings \
    $(for t in $types; do echo "quenza_read_$t quenza_write_$t"; done)
expect quenza_ehdr quenza_read_Ehdr quenza_write_Ehdr
table() { for r in "$@"; do echo "quenza_read_$r quenza_read_${r}s quenza_write_$r quenza_write_${r}s"; done; }
expect quenza_shdr $(table Shdr)
expect quenza_phdr $(table Phdr)
expect quenza_sym $(table Sym Syminfo) quenza_count_Syms quenza_count_Syminfos
expect quenza_rel $(table Rel Rela)
expect quenza_dyn $(table Dyn) quenza_count_Dyns
expect quenza_ver $(for r in Verdef Verdaux Verneed Vernaux; do echo "quenza_read_$r quenza_write_$r"; done)

# The version unit has one layout in both classes: it must not even look at the class.
if nm -u "$objdir/quenza_ver.o" | grep -q _quenza_current_class; then
    echo "quenza_ver.o reads the class"
    status=1
fi
[ $status -eq 0 ] && echo "all unit objects export exactly their operations and are position-independent"
exit $status
