#!/usr/bin/env bash
# Runs the memcheck tests, except where valgrind itself cannot execute a system library on this CPU.
#
#   memcheck.sh probe RESULT VALGRIND PROBE
#   memcheck.sh run RESULT VALGRIND [VALGRIND_ARGS...] PROGRAM
#
# Valgrind decodes some instructions only where the CPU reports them: RDTSCP on a virtual machine
# whose CPUID hides it, for one. A library that executes such an instruction in its start-up anyway
# (Highway, loaded by FFmpeg's codecs) runs natively but is killed by SIGILL under valgrind before
# main. "probe" runs PROBE, a program that loads the same system libraries as the checked programs
# and does nothing else, natively and under valgrind, and writes to RESULT the library valgrind
# cannot execute with the reason, or nothing. "run" then reports a program that loads that library
# as skipped (exit 77) with one line naming the cause, and runs every other program under valgrind
# as usual. The decision never comes from one of our own programs failing.
#
# BANDCORE_MEMCHECK_PROBE_LOG names a file that replaces valgrind's report of the probe: the
# decision's test forces the probe's result with it.
set -uo pipefail

kSkipStatus=77

# The library and the instruction of valgrind's "Unrecognised instruction" report, as
# "libhwy<TAB>RDTSCP"; nothing when the report holds none.
unexecutable() {
    local report=$1 bytes library insn
    grep -q 'Unrecognised instruction' "$report" || return 0
    bytes=$(sed -n 's/.*unhandled instruction bytes: \(0x[0-9A-Fa-f]* 0x[0-9A-Fa-f]* 0x[0-9A-Fa-f]*\).*/\1/p' \
        "$report" | head -n1)
    case "$bytes" in
    "0xF 0x1 0xF9") insn=RDTSCP ;;
    "0xF 0x1 0xD0") insn=XGETBV ;;
    "0xF 0xC7 0xF8" | "0xF 0xC7 0xF9" | "0xF 0xC7 0xFA" | "0xF 0xC7 0xFB") insn=RDPID ;;
    "") insn="an unknown instruction" ;;
    *) insn="bytes $bytes" ;;
    esac
    library=$(sed -n '/Unrecognised instruction/,$ s/.*(in \([^)]*\)).*/\1/p' "$report" | head -n1)
    library=${library##*/}
    library=${library%%.so*}
    [ -n "$library" ] || library="a system library"
    local where=""
    grep -q '_dl_init' "$report" && where="'s start-up"
    printf '%s\t%s\n' "$library" "valgrind cannot execute $library$where ($insn)"
}

probe() {
    local result=$1 valgrind=$2 program=$3 report
    rm -f "$result"
    if ! "$program"; then
        echo "memcheck: the probe $program fails even without valgrind"
        return 1
    fi
    report=$(mktemp)
    trap 'rm -f "$report"' RETURN
    if [ -n "${BANDCORE_MEMCHECK_PROBE_LOG:-}" ]; then
        cp "$BANDCORE_MEMCHECK_PROBE_LOG" "$report"
    elif "$valgrind" -q --error-exitcode=1 "$program" 2>"$report"; then
        : >"$report"
    fi
    unexecutable "$report" >"$result"
    if [ -s "$result" ]; then
        echo "memcheck: on this CPU $(cut -f2 "$result")"
    else
        echo "memcheck: valgrind runs the system libraries on this CPU"
    fi
}

run() {
    local result=$1
    shift
    local program="" library cause argument
    # The program is the first argument after valgrind and its options.
    for argument in "${@:2}"; do
        case "$argument" in
        -*) ;;
        *)
            program=$argument
            break
            ;;
        esac
    done
    if [ -s "$result" ]; then
        IFS=$'\t' read -r library cause <"$result"
        if ldd "$program" 2>/dev/null | grep -q "^[[:space:]]*$library\.so"; then
            echo "memcheck: skipped on this CPU: $cause"
            exit "$kSkipStatus"
        fi
    fi
    exec "$@"
}

case "${1:-}" in
probe)
    shift
    probe "$@"
    ;;
run)
    shift
    run "$@"
    ;;
*)
    echo "usage: memcheck.sh probe RESULT VALGRIND PROBE | run RESULT VALGRIND [ARGS...] PROGRAM" >&2
    exit 2
    ;;
esac
