#!/usr/bin/env bash
# The regression guard CI runs: instructions per MB of output that callgrind counts for the copy of
# a fixed 10 MB source-like corpus to a regular file, against the figures stored in
# bench/guard.figure: the path this processor takes, and a build forcing the portable block.
# Instruction counts are stable where times are not, so a rise of more than 10 % is a regression of
# the code, not of the machine. Each copy's output is checked against the plain converter's first.
# About two minutes, most of it the two builds.
#
#   bench/guard.sh            check
#   bench/guard.sh --update   store the figures measured now (after a change meant to move them)
#
# The last line is always "guard: N passed, N failed"; the status is 1 when a check failed.
# Settings, from the environment: MIRZET_GUARD_BUILD (default build/guard) and MIRZET_GUARD_DIR,
# where the corpus is kept (default /tmp/mirzet-guard).
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

corpus=$dir/source-10.txt
if [ ! -s "$corpus" ]; then
    "$build/bench/mirzet_bench_gen" source 10000000 "$corpus.part" && mv "$corpus.part" "$corpus"
fi
"$build/bench/mirzet_bench_plain" "$corpus" >"$dir/out-plain.txt"

# measure PATH PROGRAM: checks the program's copy, then sets `measured` to its instructions per MB
# of output, or fails.
measure() {
    local path=$1 program=$2 total bytes
    measured=
    "$program" "$corpus" >"$dir/out-mirzet.txt"
    if cmp -s "$dir/out-mirzet.txt" "$dir/out-plain.txt"; then
        pass "the $path build's copy of the corpus equals the plain converter's"
    else
        fail "the $path build's copy of the corpus differs from the plain converter's"
    fi
    valgrind --tool=callgrind --callgrind-out-file="$dir/callgrind-$path.out" "$program" "$corpus" \
        >"$dir/out-callgrind.txt" 2>"$dir/valgrind.log"
    total=$(sed -n 's/^\(summary\|totals\): *\([0-9]*\).*/\2/p' "$dir/callgrind-$path.out" | head -n 1)
    bytes=$(stat -c %s "$dir/out-callgrind.txt")
    rm -f "$dir/out-mirzet.txt" "$dir/out-callgrind.txt"
    if [ -z "$total" ] || [ "$bytes" -eq 0 ]; then
        fail "callgrind gave no count for the $path build (see $dir/valgrind.log)"
        return 1
    fi
    measured=$((total * 1000000 / bytes))
}

# check PATH: holds `measured` to the stored figure of the path, or with --update stores it.
check() {
    local path=$1 stored limit others
    stored=$(awk -v path="$path" '$1 == path { print $2 }' "$figure_file")
    if [ "$update" = yes ]; then
        others=$(grep -v -e '^#' -e "^$path " "$figure_file")
        {
            printf '# Instructions per MB of output, callgrind, the 10 MB source-like corpus of bench/guard.sh,\n'
            printf '# for each path of the byte loops: the processor has AVX2, or only SSE2; and the portable\n'
            printf '# block that processors other than x86-64 and arm64 run, forced on x86-64; and arm64, per MB\n'
            printf '# of input, counted under qemu by bench/arm64-count.sh\n'
            printf '%s\n' "$others" "$path $measured" | grep -v '^$' | sort
        } >"$figure_file.new" && mv "$figure_file.new" "$figure_file"
        pass "stored $measured instructions per MB for the $path path in bench/guard.figure"
        return
    fi
    if [ -z "$stored" ]; then
        fail "bench/guard.figure holds no figure for the $path path: store one with --update"
        return
    fi
    limit=$((stored + stored / 10))
    if [ "$measured" -le "$limit" ]; then
        pass "$measured instructions per MB on the $path path, stored $stored, at most $limit allowed"
    else
        fail "$measured instructions per MB on the $path path, more than 10 % over the stored $stored"
    fi
}

update=no
[ "${1:-}" = --update ] && update=yes
# The copy runs AVX2 loops where the processor has them and SSE2 loops elsewhere, so a figure is kept
# for each path, and the path this machine takes is the one checked or stored.
path=sse2
grep -qw avx2 /proc/cpuinfo 2>/dev/null && path=avx2
measure "$path" "$build/mirzet" && check "$path"
measure portable "$build-portable/mirzet" && check portable
# arm64's NEON block, counted under qemu where the cross compiler and the emulator are here (CI
# installs them for its cross builds): instructions per MB of input, as bench/arm64-count.sh counts.
if command -v aarch64-linux-gnu-g++ >/dev/null && command -v qemu-aarch64 >/dev/null; then
    measured=$(MIRZET_ARM64_BUILD="$build-arm64" MIRZET_ARM64_BUILDS=native \
        bash "$root/bench/arm64-count.sh" source 2>"$dir/arm64.log" | awk '$1 == "native" { print $3 }')
    if [ -n "$measured" ]; then
        check arm64
    else
        fail "the arm64 count failed (see $dir/arm64.log)"
    fi
else
    say "no arm64 cross compiler or qemu-aarch64 here: the arm64 figure is not checked"
fi
rm -f "$dir/out-plain.txt"
finish
