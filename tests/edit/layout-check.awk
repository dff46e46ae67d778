# Reads `readelf -lW FILE` and prints one line for each broken rule a loader relies on: loadable
# segments in ascending address order, not overlapping, inside the file (size=BYTES); the program
# header table, the interpreter's name and the dynamic section inside a loadable segment, at the
# file offset that segment maps to their address. Then a last line "dynamic FLAGS": the flags of
# the loadable segment that holds the dynamic section, for comparing before and after an edit.
# usage: readelf -lW FILE | awk -v size=BYTES -f layout-check.awk

function hex(text, value, i, digit) {
    value = 0
    text = tolower(text)
    sub(/^0x/, "", text)
    for (i = 1; i <= length(text); i++) {
        digit = index("0123456789abcdef", substr(text, i, 1)) - 1
        value = value * 16 + digit
    }
    return value
}

# Program header lines: TYPE OFFSET VADDR PADDR FILESZ MEMSZ FLAGS... ALIGN.
$2 ~ /^0x/ && $3 ~ /^0x/ && NF >= 8 {
    n++
    type[n] = $1
    offset[n] = hex($2)
    vaddr[n] = hex($3)
    filesz[n] = hex($5)
    memsz[n] = hex($6)
    flags[n] = ""
    for (i = 7; i < NF; i++)
        flags[n] = flags[n] $i
}

# The loadable segment that maps segment s's whole memory image and file bytes consistently, or 0.
function holder(s, l) {
    for (l = 1; l <= n; l++) {
        if (type[l] != "LOAD") continue
        if (vaddr[s] >= vaddr[l] && vaddr[s] + filesz[s] <= vaddr[l] + filesz[l] &&
            offset[s] - offset[l] == vaddr[s] - vaddr[l])
            return l
    }
    return 0
}

END {
    last = -1
    for (s = 1; s <= n; s++) {
        if (type[s] == "LOAD") {
            if (last >= 0 && vaddr[s] < vaddr[last])
                printf "LOAD %d at 0x%x comes after one at 0x%x\n", s - 1, vaddr[s], vaddr[last]
            if (last >= 0 && vaddr[s] < vaddr[last] + memsz[last])
                printf "LOAD %d at 0x%x overlaps the one before it\n", s - 1, vaddr[s]
            if (offset[s] + filesz[s] > size)
                printf "LOAD %d runs past the end of the file\n", s - 1
            last = s
        } else if (type[s] == "PHDR" || type[s] == "INTERP" || type[s] == "DYNAMIC") {
            if (holder(s) == 0)
                printf "%s at offset 0x%x, address 0x%x is not loaded where it lies\n",
                    type[s], offset[s], vaddr[s]
            if (type[s] == "DYNAMIC" && holder(s) != 0) dynamic = flags[holder(s)]
        }
    }
    printf "dynamic %s\n", dynamic
}
