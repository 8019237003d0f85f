#!/usr/bin/env bash
# Reads the x86 DLL's disassembly and reports, per export, the x87 work that
# makes a 32-bit call slow or alters a value:
#   - fldcw: switching the x87 control word around a conversion of a number
#     to an integer (fistp needs truncation, the default mode rounds); it
#     costs some hundred cycles a pair;
#   - x87 loads of a value from memory (fld/flds/fldl/fldt/fild...) in
#     FileWriteDouble: a value that passes through the x87 stack comes out
#     with a signalling NaN made quiet. fld1 and fldz are not counted: they
#     read no memory, and the i386 C convention returns a double in st(0).
# Each export is followed into the functions of the DLL that it calls.
#
#   check_x86_conversions.sh [--fail-on-fldcw] [--fail-on-write-double-x87-load]
#                            [DLL [OBJDUMP]]
#
# Without flags it only reports. DLL defaults to build/windows-x86/Dravenix.dll
# and OBJDUMP to i686-w64-mingw32-objdump. Exits 1 on a flagged finding, 2 when
# the DLL cannot be read or an export is not found in its disassembly.
set -euo pipefail

fail_on_fldcw=0
fail_on_write_double_load=0
positional=()
for arg in "$@"; do
    case "$arg" in
    --fail-on-fldcw) fail_on_fldcw=1 ;;
    --fail-on-write-double-x87-load) fail_on_write_double_load=1 ;;
    -*) echo "unknown flag $arg" >&2; exit 2 ;;
    *) positional+=("$arg") ;;
    esac
done
dll=${positional[0]:-build/windows-x86/Dravenix.dll}
objdump=${positional[1]:-i686-w64-mingw32-objdump}

if [ ! -f "$dll" ]; then
    echo "no DLL at $dll" >&2
    exit 2
fi
exports=$("$objdump" -p "$dll" |
    awk '/^\[Ordinal\/Name Pointer\] Table/ { table = 1; next }
         table && /^\t\[ *[0-9]+\] / { print $NF; next }
         table { table = 0 }')
if [ -z "$exports" ]; then
    echo "no export table in $dll" >&2
    exit 2
fi

"$objdump" -d --no-show-raw-insn "$dll" | awk \
    -v exports="$exports" -v fail_fldcw="$fail_on_fldcw" \
    -v fail_load="$fail_on_write_double_load" '
# Function labels: "66481b40 <_FileWriteDouble>:". i686 C names carry a
# leading underscore.
/^[0-9a-f]+ <[^>]+>:$/ {
    function_name = $2
    sub(/^</, "", function_name); sub(/>:$/, "", function_name)
    known[function_name] = 1
    next
}
function_name != "" && /^ *[0-9a-f]+:\t/ {
    split($0, fields, "\t")
    instruction = fields[2]
    mnemonic = instruction; sub(/ .*/, "", mnemonic)
    operands = instruction; sub(/^[^ ]+ */, "", operands)
    if (mnemonic == "fldcw")
        fldcw[function_name]++
    # Loads of a value from memory; register copies (fld %st(1)) and the
    # constant loads read none.
    if (mnemonic ~ /^(fld[slt]?|fild[slq]?|fildll|fbld)$/ && operands !~ /^%st/)
        loads[function_name] = loads[function_name] "\n      " instruction
    # Direct calls and jumps (tail calls) into another function of the DLL.
    if (mnemonic ~ /^(call|jmp)/ && match(operands, /<[^>+]+/)) {
        target = substr(operands, RSTART + 1, RLENGTH - 1)
        if (target != function_name && !((function_name, target) in edge)) {
            edge[function_name, target] = 1
            callees[function_name] = callees[function_name] " " target
        }
    }
}
# Every function the export reaches, itself first.
function reach(start,    queue, head, tail, current, list, n, i, seen_here) {
    delete reached; reached_count = 0
    head = 1; tail = 1; queue[1] = start; seen_here[start] = 1
    while (head <= tail) {
        current = queue[head++]
        reached[++reached_count] = current
        n = split(callees[current], list, " ")
        for (i = 1; i <= n; i++)
            if (!(list[i] in seen_here)) { seen_here[list[i]] = 1; queue[++tail] = list[i] }
    }
}
END {
    n = split(exports, names, "\n")
    missing = 0; flagged = 0
    printf "%-18s %s\n", "export", "x87 control word switches (fldcw), in the export and what it calls"
    for (e = 1; e <= n; e++) {
        name = names[e]
        if (("_" name) in known) symbol = "_" name
        else if (name in known) symbol = name
        else { printf "%-18s NOT FOUND in the disassembly\n", name; missing++; continue }
        reach(symbol)
        total = 0; where = ""
        for (i = 1; i <= reached_count; i++)
            if (fldcw[reached[i]] > 0) {
                total += fldcw[reached[i]]
                where = where " " reached[i] " (" fldcw[reached[i]] ")"
            }
        if (total > 0) {
            printf "%-18s fldcw %d:%s\n", name, total, where
            if (fail_fldcw) flagged++
        } else {
            printf "%-18s no fldcw\n", name
        }
        if (name == "FileWriteDouble") {
            load_list = ""
            for (i = 1; i <= reached_count; i++)
                if (reached[i] in loads) load_list = load_list "\n    in " reached[i] ":" loads[reached[i]]
            write_double_loads = load_list
        }
    }
    if (write_double_loads != "") {
        printf "FileWriteDouble loads values through the x87 stack:%s\n", write_double_loads
        if (fail_load) flagged++
    } else {
        printf "FileWriteDouble loads no value through the x87 stack\n"
    }
    if (missing > 0) exit 2
    if (flagged > 0) { printf "FAILED: %d finding(s) flagged\n", flagged; exit 1 }
}
'
