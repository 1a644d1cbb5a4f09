#!/usr/bin/env bash
# The regression guard CI runs: instructions per MB of output that callgrind counts for the copy of
# a fixed 10 MB source-like corpus to a regular file, against the figures stored in
# bench/guard.figure: the AVX2 and the SSE2 path (the SSE2 one alone where the processor has no
# AVX2), and a build forcing the portable block. Beside them, the conditional branches cachegrind's
# predictor misses per MB of output on the AVX2 path, for a 10 MB corpus of each generated kind: a
# missed branch costs the time of many instructions, which their count does not show. Both counts
# are stable where times are not, so a rise of more than 10 % is a regression of the code, not of
# the machine. Each copy's output is checked against the plain converter's first. arm64 is counted
# under qemu by bench/arm64-count.sh, where its cross compiler and qemu are here: instructions per
# MB of input of the source-like corpus, and the conditional branches the predictor cachegrind
# simulates mispredicts per MB of input of each kind. About five minutes, three of them arm64's.
#
#   bench/guard.sh            check
#   bench/guard.sh --update   store the figures measured now (after a change meant to move them)
#
# The last line is always "guard: N passed, N failed"; the status is 1 when a check failed.
# Settings, from the environment: MIRZET_GUARD_BUILD (default build/guard) and MIRZET_GUARD_DIR,
# where the corpora are kept (default /tmp/mirzet-guard).
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${MIRZET_GUARD_BUILD:-$root/build/guard}
dir=${MIRZET_GUARD_DIR:-/tmp/mirzet-guard}
figure_file=$root/bench/guard.figure
passed=0
failed=0
say() { printf 'guard: %s\n' "$*"; }
pass() { say "ok: $*"; passed=$((passed + 1)); }
fail() { say "FAILED: $*"; failed=$((failed + 1)); }
finish() {
    printf 'guard: %d passed, %d failed\n' "$passed" "$failed"
    [ "$failed" -eq 0 ]
    exit
}

if ! command -v valgrind >/dev/null; then
    say "installing valgrind"
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind; } >/dev/null
fi
command -v valgrind >/dev/null || { fail "valgrind is missing and could not be installed"; finish; }

# The path is chosen below for each run; one set by the caller would move every figure.
unset MIRZET_SIMD
mkdir -p "$dir"
# build DIR [CMAKE OPTION...]: the optimised program (and, in the first, the corpus tools).
build() {
    local into=$1
    shift
    { cmake -S "$root" -B "$into" -DCMAKE_BUILD_TYPE=Release -DMIRZET_BENCH=ON -DMIRZET_TESTS=OFF \
        -DMIRZET_WERROR=ON "$@" &&
        cmake --build "$into" -j2 --target mirzet mirzet_bench_gen mirzet_bench_plain; } \
        >>"$dir/build.log" 2>&1
}
: >"$dir/build.log"
# The portable block is what processors other than x86-64 and arm64 run: a build forcing it keeps
# its figure.
if ! build "$build" || ! build "$build-portable" -DMIRZET_PORTABLE_SCAN=ON; then
    fail "the build failed (see $dir/build.log)"
    finish
fi

kinds=(source crlf long short mixed ragged)
for kind in "${kinds[@]}"; do
    if [ ! -s "$dir/$kind-10.txt" ]; then
        "$build/bench/mirzet_bench_gen" "$kind" 10000000 "$dir/$kind-10.txt.part" &&
            mv "$dir/$kind-10.txt.part" "$dir/$kind-10.txt"
    fi
    "$build/bench/mirzet_bench_plain" "$dir/$kind-10.txt" >"$dir/out-plain-$kind.txt"
done

# count PATH KIND PROGRAM SIMD EVENT TOOL [OPTION...]: checks the program's copy of the kind's
# corpus, MIRZET_SIMD=SIMD where SIMD is given, then sets `measured` to the EVENT that the valgrind
# TOOL counts per MB of output, or fails.
count() {
    local path=$1 kind=$2 program=$3 simd=$4 event=$5 tool=$6 total bytes
    shift 6
    local run=(env ${simd:+MIRZET_SIMD=$simd}) out=$dir/$tool-$path-$kind.out
    local label="the $path path's copy of the $kind corpus"
    measured=
    "${run[@]}" "$program" "$dir/$kind-10.txt" >"$dir/out-mirzet.txt"
    if cmp -s "$dir/out-mirzet.txt" "$dir/out-plain-$kind.txt"; then
        pass "$label equals the plain converter's"
    else
        fail "$label differs from the plain converter's"
    fi
    "${run[@]}" valgrind --tool="$tool" "$@" --"$tool"-out-file="$out" "$program" "$dir/$kind-10.txt" \
        >"$dir/out-valgrind.txt" 2>"$dir/valgrind.log"
    # The summary's columns are those the events line names.
    total=$(awk -v event="$event" '$1 == "events:" { for (i = 2; i <= NF; ++i) if ($i == event) column = i }
                 ($1 == "summary:" || $1 == "totals:") && column { print $column; exit }' "$out")
    bytes=$(stat -c %s "$dir/out-valgrind.txt")
    rm -f "$dir/out-mirzet.txt" "$dir/out-valgrind.txt"
    if [ -z "$total" ] || [ "$bytes" -eq 0 ]; then
        fail "$tool gave no count for $label (see $dir/valgrind.log)"
        return 1
    fi
    measured=$((total * 1000000 / bytes))
}

# measure PATH PROGRAM [SIMD]: the program's instructions per MB of the source-like corpus.
measure() { count "$1" source "$2" "${3:-}" Ir callgrind; }

# mispredicts KIND: the AVX2 path's mispredicted conditional branches per MB of the kind's corpus.
mispredicts() { count avx2 "$1" "$build/mirzet" avx2 Bcm cachegrind --branch-sim=yes --cache-sim=no; }

# check NAME WHAT: holds `measured` to the stored figure NAME, or with --update stores it. WHAT says
# what the figure counts, for the messages.
check() {
    local name=$1 what=$2 stored limit others
    stored=$(awk -v name="$name" '$1 == name { print $2 }' "$figure_file")
    if [ "$update" = yes ]; then
        others=$(grep -v -e '^#' -e "^$name " "$figure_file")
        {
            printf '# Per MB of output, the 10 MB corpora of bench/guard.sh. Instructions (callgrind, the\n'
            printf '# source-like corpus) for each path of the byte loops: AVX2 and SSE2, picked with\n'
            printf '# MIRZET_SIMD, and avx2-crlf, the CR-LF corpus on AVX2, where the read shows;\n'
            printf '# the portable block that processors other than x86-64 and arm64 run,\n'
            printf '# forced on x86-64; and arm64, per MB of input, counted under qemu by\n'
            printf '# bench/arm64-count.sh. avx2-mispredicts-KIND: the conditional branches cachegrind\n'
            printf '# mispredicts on the AVX2 path, for each kind of corpus; arm64-mispredicts-KIND,\n'
            printf '# those the same predictor mispredicts on arm64, per MB of input, counted under qemu.\n'
            printf '%s\n' "$others" "$name $measured" | grep -v '^$' | sort
        } >"$figure_file.new" && mv "$figure_file.new" "$figure_file"
        pass "stored $measured $what in bench/guard.figure"
        return
    fi
    if [ -z "$stored" ]; then
        fail "bench/guard.figure holds no figure for $name: store one with --update"
        return
    fi
    limit=$((stored + stored / 10))
    if [ "$measured" -le "$limit" ]; then
        pass "$measured $what, stored $stored, at most $limit allowed"
    else
        fail "$measured $what, more than 10 % over the stored $stored"
    fi
}

update=no
[ "${1:-}" = --update ] && update=yes
# The copy runs AVX2 loops where the processor has them and SSE2 loops elsewhere, so a figure is kept
# for each path. MIRZET_SIMD picks it: a processor with AVX2 counts both, one without SSE2 alone.
# Under valgrind the processor shows no AVX-512, but the AVX2 runs name their path all the same.
avx2=no
grep -qw avx2 /proc/cpuinfo 2>/dev/null && avx2=yes
avx2_measured=
if [ "$avx2" = yes ] && measure avx2 "$build/mirzet" avx2; then
    avx2_measured=$measured
    check avx2 "instructions per MB on the avx2 path"
    # The read's loop, which the source-like corpus, with no CR, hardly runs.
    count avx2 crlf "$build/mirzet" avx2 Ir callgrind &&
        check avx2-crlf "instructions per MB on the avx2 path, crlf corpus"
fi
if measure sse2 "$build/mirzet" baseline; then
    # A name the program does not know leaves it on its best path, and the SSE2 figure would
    # silently be the AVX2 one's.
    if [ -n "$avx2_measured" ]; then
        if [ $((measured * 100)) -ge $((avx2_measured * 99)) ] &&
            [ $((measured * 100)) -le $((avx2_measured * 101)) ]; then
            fail "MIRZET_SIMD=baseline counted within 1 % of the avx2 path: SSE2 did not run"
        else
            pass "MIRZET_SIMD=baseline counted apart from the avx2 path"
        fi
    fi
    check sse2 "instructions per MB on the sse2 path"
fi
measure portable "$build-portable/mirzet" &&
    check portable "instructions per MB on the portable path"
if [ "$avx2" = yes ]; then
    for kind in "${kinds[@]}"; do
        mispredicts "$kind" && check "avx2-mispredicts-$kind" \
            "mispredicted branches per MB on the avx2 path, $kind corpus"
    done
else
    say "no AVX2 here: the avx2 path's mispredicted branches are not checked"
fi
# arm64's NEON block, counted under qemu where the cross compiler and the emulator are here (CI
# installs them for its cross builds), as bench/arm64-count.sh counts: instructions per MB of input
# of the source-like corpus, and mispredicted branches per MB of input of each kind. Corpora of 0.1
# and 0.6 MB keep it to about a minute and a half besides the build: the difference of their counts
# is within 2 % of that of 0.2 and 2.2 MB.
if command -v aarch64-linux-gnu-g++ >/dev/null && command -v qemu-aarch64 >/dev/null; then
    MIRZET_ARM64_BUILD="$build-arm64" MIRZET_ARM64_BUILDS=native MIRZET_ARM64_SIZES="100000 600000" \
        MIRZET_ARM64_DIR="$dir/arm64" bash "$root/bench/arm64-count.sh" "${kinds[@]}" \
        >"$dir/arm64.txt" 2>"$dir/arm64.log"
    measured=$(awk '$1 == "native" && $2 == "source" { print $3 }' "$dir/arm64.txt")
    if [ -n "$measured" ]; then
        check arm64 "instructions per MB on the arm64 path"
    else
        fail "the arm64 count failed (see $dir/arm64.log)"
    fi
    for kind in "${kinds[@]}"; do
        measured=$(awk -v kind="$kind" '$1 == "native" && $2 == kind { print $5 }' "$dir/arm64.txt")
        if [ -n "$measured" ]; then
            check "arm64-mispredicts-$kind" \
                "mispredicted branches per MB on the arm64 path, $kind corpus"
        else
            fail "no arm64 count for the $kind corpus (see $dir/arm64.log)"
        fi
    done
else
    say "no arm64 cross compiler or qemu-aarch64 here: the arm64 figures are not checked"
fi
rm -f "$dir"/out-plain-*.txt
finish
