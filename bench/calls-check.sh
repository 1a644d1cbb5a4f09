#!/usr/bin/env bash
# Holds mirzet's system calls and output to the recorded ones on every path of the byte loops that
# this processor runs: for each corpus kind of bench/calls.tsv at 10 MB, to a file and to a pipe,
# every read, write and lseek in number, size and order (bench/calls.pl's hash), and the output
# byte for byte against the plain converter. A change to how bytes move between the buffers may
# not show in any count but these.
#
#   bench/calls-check.sh [BUILD]    BUILD: the build directory, default build/calls
#
# MIRZET_PROGRAM names another program to hold to the same calls and output in place of the
# build's (the static program, say).
#
# The last line is "calls-check: N passed, N failed".
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/calls}
dir=${MIRZET_BENCH_DIR:-/tmp/mirzet-bench}
command -v strace >/dev/null || {
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq strace >/dev/null
}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DMIRZET_BENCH=ON -DMIRZET_TESTS=OFF \
    -DMIRZET_WERROR=ON >/dev/null || exit 1
cmake --build "$build" -j2 --target mirzet mirzet_bench_gen mirzet_bench_plain mirzet_bench_runner \
    >/dev/null || exit 1
bin=$build/bench
program=${MIRZET_PROGRAM:-$build/mirzet}
mkdir -p "$dir"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

flags=" $(grep -m1 '^flags' /proc/cpuinfo | cut -d: -f2) "
has() {
    local flag
    for flag; do [[ $flags == *" $flag "* ]] || return 1; done
}
paths=(baseline)
has avx2 bmi1 popcnt && paths+=(avx2)
has avx2 bmi1 bmi2 popcnt avx512f avx512bw avx512vl avx512_vbmi2 && paths+=(avx512)

passed=0
failed=0
for kind in source crlf long short mixed ragged; do
    corpus=$dir/$kind-10.txt
    if [ ! -s "$corpus" ]; then
        "$bin/mirzet_bench_gen" "$kind" 10000000 "$corpus.part" && mv "$corpus.part" "$corpus"
    fi
    stored=$(awk -v k="$kind" '$1 == k && $2 == 10 {print $3, $4, $5, $6, $7, $8}' \
        "$root/bench/calls.tsv")
    "$bin/mirzet_bench_plain" "$corpus" >"$scratch/plain.txt"
    for path in "${paths[@]}"; do
        for output in file pipe; do
            target=$output
            [ "$output" = file ] && target=file:$scratch/out.txt
            MIRZET_SIMD=$path "$bin/mirzet_bench_runner" -i /dev/null -o "$target" strace -qq \
                -e signal=none -e trace=openat,read,write,lseek -s 0 -o "$scratch/log" \
                "$program" "$corpus" >/dev/null
            got=$(perl "$root/bench/calls.pl" "$corpus" "$scratch/log" "$scratch/trace.bin")
            what="$kind on $path to a $output"
            if [ "$got" != "$stored" ]; then
                echo "FAIL: the calls of $kind on $path to a $output: $got against $stored"
                failed=$((failed + 1))
            else
                passed=$((passed + 1))
            fi
            if [ "$output" = file ]; then
                if MIRZET_SIMD=$path "$program" "$corpus" | cmp -s - "$scratch/plain.txt"; then
                    passed=$((passed + 1))
                else
                    echo "FAIL: the output of $what differs from the plain converter's"
                    failed=$((failed + 1))
                fi
            fi
        done
    done
    echo "$kind: calls and output checked on ${paths[*]}"
done
echo "calls-check: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
