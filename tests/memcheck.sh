#!/usr/bin/env bash
# Runs the memcheck tests, except where valgrind itself cannot execute a system library on this CPU.
#
#   memcheck.sh probe RESULT VALGRIND PROBE
#   memcheck.sh run RESULT VALGRIND [VALGRIND_ARGS...] PROGRAM
#   memcheck.sh instruction BYTE...
#
# Valgrind decodes some instructions only where the CPU reports them: RDTSCP on a virtual machine
# whose CPUID hides it, for one. A library that executes such an instruction in its start-up anyway
# (Highway, loaded by FFmpeg's codecs) runs natively but is killed by SIGILL under valgrind before
# main. "probe" runs PROBE, a program that loads the same system libraries as the checked programs
# and does nothing else, natively and under valgrind, and writes to RESULT the library valgrind
# cannot execute with the reason, or nothing. "run" then reports a program that loads that library
# as skipped (exit 77) with one line naming the cause, and runs every other program under valgrind
# as usual. The decision never comes from one of our own programs failing. "instruction" names the
# instruction that bytes valgrind could not decode begin with, as the skip names it.
set -uo pipefail

kSkipStatus=77

# The instruction BYTES begin with, written as valgrind's "unhandled instruction bytes" line writes
# them (0xF 0x1 0xF9 ...): those valgrind decodes only where CPUID reports them, and AVX-512, which
# it never decodes.
instruction() {
    local byte hex="" opcode repeat="" leading
    for byte in "$@"; do
        hex+=$(printf ' %02X' "$((byte))")
    done
    opcode=${hex# }
    # Operand-size, repeat and REX prefixes come before the opcode; the repeat prefix makes RDSEED's
    # encoding RDPID's.
    while [[ $opcode =~ ^(66|F2|F3|4[0-9A-F])\ (.*) ]]; do
        [ "${BASH_REMATCH[1]}" = F3 ] && repeat=1
        opcode=${BASH_REMATCH[2]}
    done
    case "$opcode" in
    "") echo "an unknown instruction" ;;
    "0F 01 F9"*) echo RDTSCP ;;
    "0F 01 D0"*) echo XGETBV ;;
    "0F C7 F"[0-7]*) echo RDRAND ;;
    "0F C7 F"[89A-F]*) if [ -n "$repeat" ]; then echo RDPID; else echo RDSEED; fi ;;
    # In 64-bit mode the byte is always the EVEX prefix.
    62*) echo "an AVX-512 instruction" ;;
    *)
        read -ra leading <<<"$hex"
        echo "bytes ${leading[*]:0:3}"
        ;;
    esac
}

# The library whose instruction killed the probe by SIGILL under valgrind, and why, as
# "libhwy<TAB>valgrind cannot execute libhwy's start-up (RDTSCP)"; nothing when no SIGILL did or
# valgrind named no library. XML is valgrind's report of the death, TEXT its diagnostics.
unexecutable() {
    local xml=$1 text=$2 death library address bytes where=""
    death=$(sed -n '/<fatal_signal>/,/<\/fatal_signal>/p' "$xml")
    grep -q '<signame>SIGILL</signame>' <<<"$death" || return 0
    # The XML report names the object of every frame; the text one does not where the library has
    # debugging information.
    library=$(sed -n 's:.*<obj>\(.*\)</obj>.*:\1:p' <<<"$death" | head -n1)
    library=${library##*/}
    library=${library%%.so*}
    [ -n "$library" ] || return 0
    grep -qE '<fn>(_dl_init|call_init)</fn>' <<<"$death" && where="'s start-up"
    # The bytes valgrind could not decode come a few lines before it names their address.
    address=$(sed -n 's:.*<siaddr>\(0x[0-9A-Fa-f]*\)</siaddr>.*:\1:p' <<<"$death")
    bytes=$(grep -i -B8 "Unrecognised instruction at address $address\." "$text" |
        sed -n 's/.*unhandled instruction bytes: //p' | tail -n1)
    # shellcheck disable=SC2086 # one argument a byte
    printf '%s\t%s\n' "$library" "valgrind cannot execute $library$where ($(instruction $bytes))"
}

probe() {
    local result=$1 valgrind=$2 program=$3 report status
    rm -f "$result"
    if ! "$program"; then
        echo "memcheck: the probe $program fails even without valgrind"
        return 1
    fi
    report=$(mktemp -d)
    trap 'rm -rf "$report"' RETURN
    # Not quiet, and the diagnostics asked for even where VALGRIND_OPTS says -q: they hold the bytes
    # valgrind could not decode. In the report's folder, where a core dump of the death goes too,
    # and the shell's notice of it with the diagnostics.
    {
        (cd "$report" && "$valgrind" --sigill-diagnostics=yes --xml=yes --xml-file=report.xml \
            "$program")
    } 2>"$report/report.txt"
    status=$?
    unexecutable "$report/report.xml" "$report/report.txt" >"$result"
    if [ -s "$result" ]; then
        echo "memcheck: on this CPU $(cut -f2 "$result")"
    elif [ "$status" -ne 0 ]; then
        echo "memcheck: the probe $program fails under valgrind (exit $status)"
        cat "$report/report.txt"
        return 1
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
        # Not "ldd | grep -q": grep leaves at the first match, ldd then dies of SIGPIPE, and under
        # pipefail the test would run under valgrind after all, now and then.
        if grep -q "^[[:space:]]*$library\.so" <<<"$(ldd "$program" 2>/dev/null)"; then
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
instruction)
    shift
    instruction "$@"
    ;;
*)
    echo "usage: memcheck.sh probe RESULT VALGRIND PROBE | run RESULT VALGRIND [ARGS...] PROGRAM" \
        "| instruction BYTE..." >&2
    exit 2
    ;;
esac
