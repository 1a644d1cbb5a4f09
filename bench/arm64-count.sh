#!/usr/bin/env bash
# Counts, per MB (10^6 bytes) of input of each kind of generated corpus, the arm64 instructions the
# release program executes under qemu-aarch64, the conditional branches among them and those a
# branch predictor guesses wrong: for the block this processor's build chooses, and for a build
# forcing the portable block. No arm64 machine is needed, and the counts, like cachegrind's on
# x86-64, do not move with the machine's load.
#
# qemu runs one instruction per translation block (-singlestep), every block going through the main
# loop (nochain), and logs each instruction's disassembly when it is translated (-d in_asm) and a
# "Trace" line each time it runs (-d exec). bench/predict.c reads that log as it is written (about
# 100 bytes an instruction, never stored) and replays the conditional branches through the
# predictor cachegrind simulates; bench/predict-check.sh holds the two together on x86-64. The counts
# of the small corpus are taken from those of the big one of the same kind, so start-up, the
# dynamic loader and the last partial blocks drop out.
#
#   bench/arm64-count.sh [KIND...]   KIND: source crlf long short mixed ragged (default all of them)
#
# Prints "BUILD KIND INSTRUCTIONS BRANCHES MISPREDICTED" lines, each per MB of the corpus (input
# bytes), for BUILD native and portable. Each copy is checked against the plain converter. Needs
# aarch64-linux-gnu-g++, qemu-aarch64 (Debian's g++-aarch64-linux-gnu and qemu-user) and cc; about
# six minutes for all kinds and both builds. Settings, from the environment: MIRZET_ARM64_BUILD
# (default build/arm64-count), MIRZET_ARM64_DIR, where the corpora are kept (default
# /tmp/mirzet-arm64), MIRZET_ARM64_BUILDS, the builds counted (default "native portable"), and
# MIRZET_ARM64_SIZES, the small and the big corpus in bytes (default "200000 2200000").
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${MIRZET_ARM64_BUILD:-$root/build/arm64-count}
dir=${MIRZET_ARM64_DIR:-/tmp/mirzet-arm64}
kinds=("$@")
read -r -a variants <<<"${MIRZET_ARM64_BUILDS:-native portable}"
read -r small big <<<"${MIRZET_ARM64_SIZES:-200000 2200000}"
[ ${#kinds[@]} -gt 0 ] || kinds=(source crlf long short mixed ragged)
# The cross compiler's own loader and libraries, as .ci/cross.sh runs them.
qemu=(qemu-aarch64 -L /usr/aarch64-linux-gnu -E LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib)

for tool in aarch64-linux-gnu-g++ qemu-aarch64 cc; do
    command -v "$tool" >/dev/null || { echo "arm64-count: $tool is missing" >&2; exit 2; }
done
mkdir -p "$dir" "$build"
log=$dir/build.log
: >"$log"
# The log's reader runs on this machine, so this machine's compiler builds it.
predict=$build/mirzet_bench_predict
cc -std=c11 -O2 -Wall -Wextra -Werror -o "$predict" "$root/bench/predict.c" >>"$log" 2>&1 ||
    { echo "arm64-count: bench/predict.c did not build (see $log)" >&2; exit 1; }
# build DIR [CMAKE OPTION...]: the release program for arm64, and in the first build the corpus
# generator and the plain converter, which run under qemu too: their output is the same on every
# machine.
build() {
    local into=$1
    shift
    { cmake -S "$root" -B "$into" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/arm64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DMIRZET_TESTS=OFF -DMIRZET_WERROR=ON "$@" &&
        cmake --build "$into" -j2 --target mirzet $tools; } >>"$log" 2>&1 ||
        { echo "arm64-count: the build in $into failed (see $log)" >&2; exit 1; }
}
tools="mirzet_bench_gen mirzet_bench_plain"
build "$build/native" -DMIRZET_BENCH=ON
tools=
if [[ " ${variants[*]} " == *" portable "* ]]; then build "$build/portable" -DMIRZET_PORTABLE_SCAN=ON; fi
gen=("${qemu[@]}" "$build/native/bench/mirzet_bench_gen")
plain=("${qemu[@]}" "$build/native/bench/mirzet_bench_plain")
source "$root/bench/difference.sh"

# counts PROGRAM CORPUS: "INSTRUCTIONS BRANCHES MISPREDICTED" of one copy, checked against the plain
# converter's. The copy goes to a regular file, not /dev/null, a device, which gets a write per
# line as a terminal does. The program writes nothing else to standard error when it succeeds.
counts() {
    "${qemu[@]}" -singlestep -d in_asm,exec,nochain -D /dev/stderr "$1" "$2" 2>&1 >"$dir/out.txt" |
        "$predict" arm64 >"$dir/counts.txt" ||
        { echo "arm64-count: $1 $2 failed, or its log was not read" >&2; exit 1; }
    cmp -s "$dir/out.txt" "$2.plain" ||
        { echo "arm64-count: the copy of $2 by $1 differs from the plain one" >&2; exit 1; }
    rm -f "$dir/out.txt"
    cat "$dir/counts.txt"
}

for kind in "${kinds[@]}"; do
    corpora "$kind"
    for variant in "${variants[@]}"; do
        # Assignments, so that a failed count stops the script.
        low=$(counts "$build/$variant/mirzet" "$dir/$kind-$small.txt")
        high=$(counts "$build/$variant/mirzet" "$dir/$kind-$big.txt")
        echo "$variant $kind $(per_mb "$low" "$high")"
    done
    rm -f "$dir/$kind-$small.txt.plain" "$dir/$kind-$big.txt.plain"
done
