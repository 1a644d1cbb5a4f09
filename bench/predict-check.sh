#!/usr/bin/env bash
# Holds bench/predict.c, the branch predictor that bench/arm64-count.sh runs on qemu's log, against
# cachegrind's on x86-64: the same release program, corpora and path, once under qemu-x86_64 (with
# -cpu max, whose AVX2 the avx2 path needs) and once under valgrind. Per MB of input (the 0.2 MB
# corpus's counts taken from the 2.2 MB one's, as bench/arm64-count.sh takes them), each kind of
# corpus and each path: the conditional branches and the mispredicted ones by each, and the
# model's mispredictions over cachegrind's. Each copy is checked against the plain converter.
#
#   bench/predict-check.sh [KIND...]   KIND: source crlf long short mixed ragged (default all)
#
# Prints "PATH KIND MODEL_BRANCHES CACHEGRIND_BRANCHES MODEL_MISPREDICTED CACHEGRIND_MISPREDICTED
# RATIO"; the status is 1 when a ratio is off by more than 15 %. Needs qemu-x86_64 (Debian's
# qemu-user), valgrind and cc; about a quarter of an hour. Settings, from the environment:
# MIRZET_PREDICT_BUILD (default build/predict-check), MIRZET_PREDICT_DIR, where the corpora are
# kept (default /tmp/mirzet-predict), and MIRZET_PREDICT_PATHS (default "avx2 baseline", or
# "baseline" where the processor has no AVX2).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${MIRZET_PREDICT_BUILD:-$root/build/predict-check}
dir=${MIRZET_PREDICT_DIR:-/tmp/mirzet-predict}
kinds=("$@")
[ ${#kinds[@]} -gt 0 ] || kinds=(source crlf long short mixed ragged)
paths=baseline
grep -qw avx2 /proc/cpuinfo && paths="avx2 baseline"
read -r -a paths <<<"${MIRZET_PREDICT_PATHS:-$paths}"
small=200000
big=2200000

for tool in qemu-x86_64 valgrind cc; do
    command -v "$tool" >/dev/null || { echo "predict-check: $tool is missing" >&2; exit 2; }
done
mkdir -p "$dir" "$build"
log=$dir/build.log
{ cc -std=c11 -O2 -Wall -Wextra -Werror -o "$build/mirzet_bench_predict" "$root/bench/predict.c" &&
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DMIRZET_BENCH=ON -DMIRZET_TESTS=OFF \
        -DMIRZET_WERROR=ON &&
    cmake --build "$build" -j2 --target mirzet mirzet_bench_gen mirzet_bench_plain; } >"$log" 2>&1 ||
    { echo "predict-check: the build failed (see $log)" >&2; exit 1; }
gen=("$build/bench/mirzet_bench_gen")
plain=("$build/bench/mirzet_bench_plain")
source "$root/bench/difference.sh"

# counts PATH CORPUS: "BRANCHES MISPREDICTED" by the model, then by cachegrind, for one copy on
# the path. The copies go to a regular file, as bench/arm64-count.sh's do.
counts() {
    local model out=$dir/out.txt
    MIRZET_SIMD=$1 qemu-x86_64 -cpu max -singlestep -d in_asm,exec,nochain -D /dev/stderr \
        "$build/mirzet" "$2" 2>&1 >"$out" | "$build/mirzet_bench_predict" x86-64 >"$dir/counts.txt" ||
        { echo "predict-check: the $1 copy of $2 failed under qemu" >&2; exit 1; }
    cmp -s "$out" "$2.plain" || { echo "predict-check: the $1 copy of $2 differs" >&2; exit 1; }
    model=$(awk '{ print $2, $3 }' "$dir/counts.txt")
    MIRZET_SIMD=$1 valgrind --tool=cachegrind --cache-sim=no --branch-sim=yes \
        --cachegrind-out-file="$dir/cachegrind.out" "$build/mirzet" "$2" >"$out" 2>"$dir/valgrind.log" ||
        { echo "predict-check: the $1 copy of $2 failed under valgrind" >&2; exit 1; }
    cmp -s "$out" "$2.plain" || { echo "predict-check: the $1 copy of $2 differs" >&2; exit 1; }
    rm -f "$out"
    echo "$model $(awk '$1 == "events:" { for (i = 2; i <= NF; ++i) column[$i] = i }
        $1 == "summary:" { print $column["Bc"], $column["Bcm"] }' "$dir/cachegrind.out")"
}

status=0
for kind in "${kinds[@]}"; do
    corpora "$kind"
    for path in "${paths[@]}"; do
        # Assignments, so that a failed count stops the script.
        low=$(counts "$path" "$dir/$kind-$small.txt")
        high=$(counts "$path" "$dir/$kind-$big.txt")
        read -r model_branches model_mispredicted branches mispredicted <<<"$(per_mb "$low" "$high")"
        ratio=$(awk -v model="$model_mispredicted" -v cachegrind="$mispredicted" \
            'BEGIN { printf "%.3f", cachegrind ? model / cachegrind : 0 }')
        echo "$path $kind $model_branches $branches $model_mispredicted $mispredicted $ratio"
        awk -v ratio="$ratio" 'BEGIN { exit !(ratio >= 0.85 && ratio <= 1.15) }' || status=1
    done
    rm -f "$dir/$kind-$small.txt.plain" "$dir/$kind-$big.txt.plain"
done
exit $status
