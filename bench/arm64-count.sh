#!/usr/bin/env bash
# Counts the arm64 instructions the release program executes per MB (10^6 bytes) of each kind of
# generated corpus, under qemu-aarch64: the block this processor's build chooses, and a build
# forcing the portable block. No arm64 machine is needed, and the count, like callgrind's on x86-64,
# does not move with the machine's load.
#
# qemu runs one instruction per translation block (-singlestep), every block going through the main
# loop (nochain), and logs a "Trace" line for each block it runs (-d exec): the lines are the
# instructions. The count of a 0.2 MB corpus is taken from that of a 2.2 MB one of the same kind, so
# start-up, the dynamic loader and the last partial blocks drop out. The log, about 100 bytes an
# instruction, is counted as it is written and never stored.
#
#   bench/arm64-count.sh [KIND...]       KIND: source crlf long short mixed (default all of them)
#
# Prints "BUILD KIND N" lines, N instructions per MB of the corpus (input bytes), for BUILD native
# and portable. Each copy is checked against the plain converter first. Needs aarch64-linux-gnu-g++
# and qemu-aarch64 (Debian's g++-aarch64-linux-gnu and qemu-user); about three minutes for all kinds.
# Settings, from the environment: MIRZET_ARM64_BUILD (default build/arm64-count),
# MIRZET_ARM64_DIR, where the corpora are kept (default /tmp/mirzet-arm64), and
# MIRZET_ARM64_BUILDS, the builds counted (default "native portable").
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${MIRZET_ARM64_BUILD:-$root/build/arm64-count}
dir=${MIRZET_ARM64_DIR:-/tmp/mirzet-arm64}
kinds=("$@")
read -r -a variants <<<"${MIRZET_ARM64_BUILDS:-native portable}"
[ ${#kinds[@]} -gt 0 ] || kinds=(source crlf long short mixed)
# The cross compiler's own loader and libraries, as .ci/cross.sh runs them.
qemu=(qemu-aarch64 -L /usr/aarch64-linux-gnu -E LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib)
small=200000
big=2200000

for tool in aarch64-linux-gnu-g++ qemu-aarch64; do
    command -v "$tool" >/dev/null || { echo "arm64-count: $tool is missing" >&2; exit 2; }
done
mkdir -p "$dir"
log=$dir/build.log
: >"$log"
# build DIR [CMAKE OPTION...]: the release program for arm64, and in the first build the corpus
# generator and the plain converter, which run under qemu too: their output is the same on every
# machine, and no compiler for this machine is needed.
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

# instructions PROGRAM CORPUS: the instructions of one copy. The log goes to the pipe; the copy
# goes to a regular file, not /dev/null, a device, which gets a write per line as a terminal does.
# The program writes nothing else to standard error when the copy succeeds.
instructions() {
    local count status
    count=$("${qemu[@]}" -singlestep -d exec,nochain -D /dev/stderr "$1" "$2" 2>&1 >"$dir/out.txt" |
        grep -c '^Trace')
    status=${PIPESTATUS[0]}
    rm -f "$dir/out.txt"
    [ "$status" -eq 0 ] || { echo "arm64-count: $1 $2 ended with status $status" >&2; exit 1; }
    echo "$count"
}

for kind in "${kinds[@]}"; do
    for size in $small $big; do
        corpus=$dir/$kind-$size.txt
        [ -s "$corpus" ] || "${gen[@]}" "$kind" "$size" "$corpus"
        "${plain[@]}" "$corpus" >"$corpus.plain"
    done
    for variant in "${variants[@]}"; do
        program=$build/$variant/mirzet
        for size in $small $big; do
            corpus=$dir/$kind-$size.txt
            "${qemu[@]}" "$program" "$corpus" | cmp -s - "$corpus.plain" ||
                { echo "arm64-count: the $variant copy of $corpus differs from the plain one" >&2; exit 1; }
        done
        low=$(instructions "$program" "$dir/$kind-$small.txt")
        high=$(instructions "$program" "$dir/$kind-$big.txt")
        bytes=$(($(stat -c %s "$dir/$kind-$big.txt") - $(stat -c %s "$dir/$kind-$small.txt")))
        echo "$variant $kind $(((high - low) * 1000000 / bytes))"
    done
    rm -f "$dir/$kind-$small.txt.plain" "$dir/$kind-$big.txt.plain"
done
