#!/usr/bin/env bash
# The regression guard CI runs: instructions per MB of output that callgrind counts for the copy of
# a fixed 10 MB source-like corpus to a regular file, against the figure stored in
# bench/guard.figure. Instruction counts are stable where times are not, so a rise of more than 10 %
# is a regression of the code, not of the machine. The copy's output is checked against the plain
# converter's first. About a minute, most of it the build.
#
#   bench/guard.sh            check
#   bench/guard.sh --update   store the figure measured now (after a change meant to move it)
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
if ! { cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DMIRZET_BENCH=ON \
    -DMIRZET_TESTS=OFF && cmake --build "$build" -j2 --target mirzet mirzet_bench_gen \
    mirzet_bench_plain; } >"$dir/build.log" 2>&1; then
    fail "the build failed (see $dir/build.log)"
    finish
fi

corpus=$dir/source-10.txt
if [ ! -s "$corpus" ]; then
    "$build/bench/mirzet_bench_gen" source 10000000 "$corpus.part" && mv "$corpus.part" "$corpus"
fi

"$build/mirzet" "$corpus" >"$dir/out-mirzet.txt"
"$build/bench/mirzet_bench_plain" "$corpus" >"$dir/out-plain.txt"
if cmp -s "$dir/out-mirzet.txt" "$dir/out-plain.txt"; then
    pass "the copy of the corpus equals the plain converter's"
else
    fail "the copy of the corpus differs from the plain converter's"
fi

valgrind --tool=callgrind --callgrind-out-file="$dir/callgrind.out" "$build/mirzet" "$corpus" \
    >"$dir/out-callgrind.txt" 2>"$dir/valgrind.log"
total=$(sed -n 's/^\(summary\|totals\): *\([0-9]*\).*/\2/p' "$dir/callgrind.out" | head -n 1)
bytes=$(stat -c %s "$dir/out-callgrind.txt")
rm -f "$dir"/out-*.txt
if [ -z "$total" ] || [ "$bytes" -eq 0 ]; then
    fail "callgrind gave no count (see $dir/valgrind.log)"
    finish
fi
measured=$((total * 1000000 / bytes))

# The copy runs AVX2 loops where the processor has them and SSE2 loops elsewhere, so a figure is kept
# for each path, and the path this machine takes is the one checked or stored.
path=sse2
grep -qw avx2 /proc/cpuinfo 2>/dev/null && path=avx2
stored=$(awk -v path="$path" '$1 == path { print $2 }' "$figure_file")

if [ "${1:-}" = --update ]; then
    others=$(grep -v -e '^#' -e "^$path " "$figure_file")
    {
        printf '# Instructions per MB of output, callgrind, the 10 MB source-like corpus of bench/guard.sh,
'
        printf '# for each path of the byte loops: the processor has AVX2, or only SSE2
'
        printf '%s\n' "$others" "$path $measured" | grep -v '^$' | sort
    } >"$figure_file.new" && mv "$figure_file.new" "$figure_file"
    pass "stored $measured instructions per MB for the $path path in bench/guard.figure"
    finish
fi
if [ -z "$stored" ]; then
    fail "bench/guard.figure holds no figure for the $path path: store one with --update"
    finish
fi
limit=$((stored + stored / 10))
if [ "$measured" -le "$limit" ]; then
    pass "$measured instructions per MB on the $path path, stored $stored, at most $limit allowed"
else
    fail "$measured instructions per MB on the $path path, more than 10 % over the stored $stored"
fi
finish
