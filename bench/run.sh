#!/usr/bin/env bash
# Benchmarks mirzet against the tools people use instead and against two references of our own (the
# floor: mirzet's own calls replayed, touching no byte; and a plain byte-loop converter), and writes
# docs/benchmarks.md with the chart docs/benchmarks.png beside it.
#
# Before timing anything it checks that mirzet's output equals the plain converter's and that its
# calls (every read, write and lseek, in number, size and order) are those recorded in
# bench/calls.tsv, on a 10 MB corpus of each kind and on the timed corpora where the table has
# their size. After the timed runs, cachegrind counts the instructions and mispredicted branches of
# each path of the byte loops (and of the earlier build, when given) on those 10 MB corpora.
#
#   bench/run.sh
#
# Settings, from the environment:
#   MIRZET_BENCH_MB            size of each corpus in MB (10^6 bytes); default 300
#   MIRZET_BENCH_RUNS          runs of each tool on each corpus and output; default 5
#   MIRZET_BENCH_PTY_MB        the corpus copied to a pseudo-terminal; default a tenth of MB
#   MIRZET_BENCH_CALLGRIND_MB  the corpus counted under callgrind; default 20
#   MIRZET_BENCH_BIG_MB        the large input of the memory check; default 1000
#   MIRZET_BENCH_QUIET_WAIT    seconds to wait for a 1-minute load below 1.0 first; default 0
#   MIRZET_BENCH_DIR           corpora, outputs and raw figures; default /tmp/mirzet-bench
#   MIRZET_BENCH_BUILD         the build directory; default build/bench
#   MIRZET_BENCH_DOCS          where the report goes; default docs
#   MIRZET_BENCH_BEFORE        an earlier build of mirzet, run in the same rounds, so that a change
#                              is measured against the build before it on the same machine and
#                              load; default none
#   MIRZET_BENCH_BEFORE_LABEL  what the report calls it, a commit say; default "before"
#   MIRZET_BENCH_CPU           the processor every timed run is held to, the program and the
#                              reader of its pipe alike; default 0
# Corpora are generated once per size and kept in MIRZET_BENCH_DIR; they never belong in the tree.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
mb=${MIRZET_BENCH_MB:-300}
runs=${MIRZET_BENCH_RUNS:-5}
pty_mb=${MIRZET_BENCH_PTY_MB:-$(((mb + 9) / 10))}
cg_mb=${MIRZET_BENCH_CALLGRIND_MB:-20}
big_mb=${MIRZET_BENCH_BIG_MB:-1000}
quiet_wait=${MIRZET_BENCH_QUIET_WAIT:-0}
dir=${MIRZET_BENCH_DIR:-/tmp/mirzet-bench}
build=${MIRZET_BENCH_BUILD:-$root/build/bench}
docs=${MIRZET_BENCH_DOCS:-$root/docs}
before=${MIRZET_BENCH_BEFORE:-}
before_label=${MIRZET_BENCH_BEFORE_LABEL:-before}
cpu=${MIRZET_BENCH_CPU:-0}

say() { printf '%s %s\n' "$(date +%T)" "$*" >&2; }

# ---- tools ----
need=()
command -v unix2dos >/dev/null || need+=(dos2unix)
command -v gnuplot >/dev/null || need+=(gnuplot-nox)
command -v valgrind >/dev/null || need+=(valgrind)
command -v strace >/dev/null || need+=(strace)
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
if [ ${#need[@]} -gt 0 ]; then
    say "installing ${need[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi

say "building in $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DMIRZET_BENCH=ON -DMIRZET_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target mirzet mirzet_bench_gen mirzet_bench_replay mirzet_bench_plain \
    mirzet_bench_runner mirzet_bench_micro >/dev/null
bin=$build/bench
runner=$bin/mirzet_bench_runner

# ---- corpora ----
mkdir -p "$dir" "$docs"
corpus() {  # KIND MB -> path, generated on first need
    local path=$dir/$1-$2.txt
    if [ ! -s "$path" ]; then
        say "generating $path"
        "$bin/mirzet_bench_gen" "$1" "$(($2 * 1000000))" "$path.part"
        mv "$path.part" "$path"
    fi
    printf '%s' "$path"
}
kinds=(source crlf long short mixed ragged)
for kind in "${kinds[@]}"; do corpus "$kind" "$mb" >/dev/null; done
corpus source "$pty_mb" >/dev/null
corpus source "$cg_mb" >/dev/null
corpus source 1 >/dev/null
corpus source "$big_mb" >/dev/null
for kind in "${kinds[@]}"; do corpus "$kind" 10 >/dev/null; done

# ---- the floor: mirzet's calls, recorded and checked ----
# record NAME FILE OUTPUT: runs mirzet on FILE under strace with its output to OUTPUT (file, pipe or
# pty), writes the binary trace $dir/calls-NAME.bin for the replayer and prints the summary line
# of bench/calls.pl.
record() {
    local target=$3
    [ "$3" = file ] && target=file:$dir/out-record.txt
    "$runner" -i /dev/null -o "$target" strace -qq -e signal=none \
        -e trace=openat,read,write,lseek -s 0 -o "$dir/calls-$1.log" "$build/mirzet" "$2" >/dev/null
    perl "$root/bench/calls.pl" "$2" "$dir/calls-$1.log" "$dir/calls-$1.bin"
    rm -f "$dir/calls-$1.log" "$dir/out-record.txt"
}
# The calls must be those recorded before the fast paths: a faster copy that read or wrote
# differently would be measured against a different floor.
calls_checked=0
printf 'corpus\tMB\toutput\treads\twrites\tseeks\tbytes_read\tbytes_written\thash\tstored\n' >"$dir/calls.tsv"
check_calls() {  # KIND MB OUTPUT SUMMARY
    local stored
    stored=$(awk -v k="$1" -v m="$2" '$1 == k && $2 == m {print $3, $4, $5, $6, $7, $8}' \
        "$root/bench/calls.tsv")
    local verdict=none
    if [ -n "$stored" ]; then
        verdict=same
        if [ "$stored" != "$4" ]; then
            say "mirzet's calls on $1-$2 to a $3 differ from bench/calls.tsv: $4 against $stored"
            exit 1
        fi
        calls_checked=$((calls_checked + 1))
    fi
    printf '%s\t%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "${4// /$'\t'}" "$verdict" >>"$dir/calls.tsv"
}
say "recording mirzet's calls"
for kind in "${kinds[@]}"; do
    check_calls "$kind" 10 file "$(record "check-$kind" "$dir/$kind-10.txt" file)"
    # And its output: exactly what the plain converter writes (the timed corpora are checked too).
    "$build/mirzet" "$dir/$kind-10.txt" >"$dir/out-mirzet.txt"
    "$bin/mirzet_bench_plain" "$dir/$kind-10.txt" >"$dir/out-plain.txt"
    if ! cmp -s "$dir/out-mirzet.txt" "$dir/out-plain.txt"; then
        say "mirzet and the plain converter disagree on $kind"
        exit 1
    fi
    for output in file pipe; do
        check_calls "$kind" "$mb" "$output" "$(record "$kind-$output" "$dir/$kind-$mb.txt" "$output")"
    done
done
record source-pty "$dir/source-$pty_mb.txt" pty >/dev/null
record source-callgrind "$dir/source-$cg_mb.txt" file >/dev/null
rm -f "$dir"/calls-check-*.bin "$dir"/out-*.txt
say "mirzet's calls match bench/calls.tsv on $calls_checked corpora"

# ---- a quiet machine ----
waited=0
while [ "$waited" -lt "$quiet_wait" ] && awk '{exit !($1 >= 1.0)}' /proc/loadavg; do
    [ "$waited" -eq 0 ] && say "waiting up to ${quiet_wait}s for a 1-minute load below 1.0"
    sleep 15
    waited=$((waited + 15))
done
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

# ---- the runs ----
tools=(floor mirzet plain cat sed perl unix2dos)
[ -n "$before" ] && tools=(floor mirzet before plain cat sed perl unix2dos)
command_of() {  # TOOL FILE [CALLS] -> the array cmd; CALLS names the floor's trace
    case $1 in
    floor) cmd=("$bin/mirzet_bench_replay" "$dir/calls-$3.bin" "$2") ;;
    mirzet) cmd=("$build/mirzet" "$2") ;;
    before) cmd=("$before" "$2") ;;
    plain) cmd=("$bin/mirzet_bench_plain" "$2") ;;
    cat) cmd=(cat "$2") ;;
    sed) cmd=(sed 's/$/\r/' "$2") ;;
    perl) cmd=(perl -pe 's/\n/\r\n/' "$2") ;;
    # Reads standard input; -f, or it refuses the corpus with NUL bytes as binary.
    unix2dos) cmd=(unix2dos -f) ;;
    esac
}

results=$dir/results.tsv
printf 'output\tcorpus\ttool\tround\tuser\tsys\twall\tpeak_kib\tstatus\tbytes\treader_user\treader_sys\n' \
    >"$results"
measure() {  # OUTPUT CORPUS-NAME FILE TOOL ROUND CALLS
    local target=$1
    [ "$1" = file ] && target=file:$dir/out-$4.txt
    command_of "$4" "$3" "${6:-}"
    local figures
    # On one processor with its reader: a pipe's cost is the pair's, and the pair's is steady only
    # when neither waits on the other's processor (bench/runner.c).
    figures=$("$runner" -c "$cpu" -i "$3" -o "$target" "${cmd[@]}")
    printf '%s\t%s\t%s\t%s\t%s\n' "$1" "$2" "$4" "$5" "${figures// /$'\t'}" >>"$results"
    set -- $figures
    if [ "$5" != 0 ]; then
        say "$4 ended with status $5 on $3"
        exit 1
    fi
}

# Every round runs every tool once per corpus and output, in an order that turns by one each round,
# so that a slow patch of the machine falls on all tools alike.
started=$(date +%s)
for round in $(seq 1 "$runs"); do
    say "round $round of $runs"
    order=("${tools[@]:$(((round - 1) % ${#tools[@]}))}" "${tools[@]:0:$(((round - 1) % ${#tools[@]}))}")
    for output in file pipe; do
        for kind in "${kinds[@]}"; do
            for tool in "${order[@]}"; do
                measure "$output" "$kind" "$dir/$kind-$mb.txt" "$tool" "$round" "$kind-$output"
            done
            if [ "$round" = 1 ] && [ "$output" = file ]; then
                # Timing a copy that is wrong would be pointless: mirzet must write exactly what
                # the plain converter writes.
                if ! cmp -s "$dir/out-mirzet.txt" "$dir/out-plain.txt"; then
                    say "mirzet and the plain converter disagree on $kind"
                    exit 1
                fi
            fi
        done
    done
    for tool in "${order[@]}"; do
        measure pty source-pty "$dir/source-$pty_mb.txt" "$tool" "$round" source-pty
    done
done
for round in $(seq 1 "$runs"); do
    measure file memory-1 "$dir/source-1.txt" mirzet "$round"
done
measure file memory-big "$dir/source-$big_mb.txt" mirzet 1
rm -f "$dir"/out-*.txt
timed=$(($(date +%s) - started))
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# ---- microbenchmarks ----
say "microbenchmarks"
"$bin/mirzet_bench_micro" --benchmark_format=csv --benchmark_repetitions=3 \
    --benchmark_report_aggregates_only=true >"$dir/micro.csv" 2>/dev/null

# ---- instruction counts ----
say "callgrind on the $cg_mb MB source-like corpus"
: >"$dir/callgrind.tsv"
for tool in floor plain mirzet; do
    command_of "$tool" "$dir/source-$cg_mb.txt" source-callgrind
    valgrind --tool=callgrind --callgrind-out-file="$dir/callgrind.$tool.out" "${cmd[@]}" \
        >"$dir/out-callgrind.txt" 2>/dev/null
    total=$(sed -n 's/^\(summary\|totals\): *\([0-9]*\).*/\2/p' "$dir/callgrind.$tool.out" | head -n 1)
    printf '%s\t%s\t%s\n' "$tool" "$total" "$(stat -c %s "$dir/out-callgrind.txt")" >>"$dir/callgrind.tsv"
done
rm -f "$dir/out-callgrind.txt"
# The functions by their own count, without the paths of the files and the binaries.
callgrind_annotate --inclusive=no "$dir/callgrind.mirzet.out" 2>/dev/null |
    awk '/file:function/ {on = 1; next} on && /^-+$/ {next} on && !NF {exit} on && n++ < 12' |
    sed -e 's/ \[[^]]*\]$//' -e 's/[^ ]*\/\([^/:]*:\)/\1/' -e 's/???://' >"$dir/callgrind-top.txt"

# ---- instructions and mispredicted branches per path ----
# One cachegrind run gives both: its instruction count is callgrind's, give or take the few
# thousand of valgrind's own start. Valgrind's processor has no AVX-512, so the avx512 path is
# never counted; the others are, where this processor runs them.
paths_started=$(date +%s)
flags=" $(grep -m1 '^flags' /proc/cpuinfo | cut -d: -f2) "
avx512_missing=
for flag in avx512f avx512bw avx512vl avx512_vbmi2 bmi2; do
    [[ $flags == *" $flag "* ]] || avx512_missing+=" $flag"
done
paths=(baseline)
[[ $flags == *" avx2 "* && $flags == *" bmi1 "* && $flags == *" popcnt "* ]] && paths=(avx2 baseline)
# count PROGRAM KIND [SIMD]: PROGRAM's copy of the kind's 10 MB corpus under cachegrind, on the path
# SIMD names or, without it, on the program's own choice; sets `ir` and `bcm` per MB of output.
count() {
    local total
    if ! env -u MIRZET_SIMD ${3:+MIRZET_SIMD=$3} valgrind --tool=cachegrind --branch-sim=yes \
        --cache-sim=no --cachegrind-out-file="$dir/cachegrind.out" "$1" "$dir/$2-10.txt" \
        >"$dir/out-cachegrind.txt" 2>"$dir/valgrind.log"; then
        say "$1 failed under cachegrind on $2 (see $dir/valgrind.log)"
        exit 1
    fi
    if ! cmp -s "$dir/out-cachegrind.txt" "$dir/out-plain.txt"; then
        say "$1${3:+ with MIRZET_SIMD=$3} and the plain converter disagree on $2"
        exit 1
    fi
    # The summary's columns are those the events line names.
    total=$(awk '$1 == "events:" { for (i = 2; i <= NF; ++i) { if ($i == "Ir") a = i; if ($i == "Bcm") b = i } }
                 $1 == "summary:" && a && b { print $a, $b }' "$dir/cachegrind.out")
    if [ -z "$total" ]; then
        say "cachegrind gave no count for $1 on $2 (see $dir/valgrind.log)"
        exit 1
    fi
    set -- $total "$(stat -c %s "$dir/out-cachegrind.txt")"
    ir=$(($1 * 1000000 / $3))
    bcm=$(($2 * 1000000 / $3))
}
# near A B: A is within 1 % of B; a path name the program ignores leaves it on its own choice.
near() { [ $(($1 * 100)) -ge $(($2 * 99)) ] && [ $(($1 * 100)) -le $(($2 * 101)) ]; }
say "cachegrind on each path: ${paths[*]}"
# An earlier build may not know MIRZET_SIMD: whether it does is settled on the first corpus.
before_simd=unknown
[ ${#paths[@]} -eq 1 ] && before_simd=no
printf 'tool\tpath\tcorpus\tir_per_mb\tbcm_per_mb\n' >"$dir/paths.tsv"
for kind in "${kinds[@]}"; do
    "$bin/mirzet_bench_plain" "$dir/$kind-10.txt" >"$dir/out-plain.txt"
    for path in "${paths[@]}"; do
        count "$build/mirzet" "$kind" "$path"
        printf 'mirzet\t%s\t%s\t%s\t%s\n' "$path" "$kind" "$ir" "$bcm" >>"$dir/paths.tsv"
        if [ "$path" = avx2 ]; then avx2_ir=$ir; fi
    done
    if [ ${#paths[@]} -gt 1 ] && [ "$kind" = "${kinds[0]}" ] && near "$ir" "$avx2_ir"; then
        say "MIRZET_SIMD=baseline counted within 1 % of the avx2 path on $kind: the path did not change"
        exit 1
    fi
    [ -n "$before" ] || continue
    # Its own choice is the best path valgrind's processor runs, the first of `paths`.
    count "$before" "$kind"
    printf 'before\t%s\t%s\t%s\t%s\n' "${paths[0]}" "$kind" "$ir" "$bcm" >>"$dir/paths.tsv"
    [ "$before_simd" = no ] && continue
    own_ir=$ir
    count "$before" "$kind" baseline
    if [ "$before_simd" = unknown ]; then
        before_simd=yes
        near "$ir" "$own_ir" && before_simd=no && continue
    fi
    printf 'before\tbaseline\t%s\t%s\t%s\n' "$kind" "$ir" "$bcm" >>"$dir/paths.tsv"
done
rm -f "$dir/out-plain.txt" "$dir/out-cachegrind.txt"
paths_time=$(($(date +%s) - paths_started))
say "cachegrind on each path took ${paths_time}s"

# ---- the report ----
say "writing $docs/benchmarks.md"
versions=$(
    printf 'sed: %s\n' "$(sed --version | head -n 1)"
    printf 'perl: %s\n' "$(perl -e 'print $^V')"
    printf 'unix2dos: %s\n' "$(unix2dos --version | head -n 1)"
    printf 'cat: %s\n' "$(cat --version | head -n 1)"
    printf 'compiler: %s\n' "$(c++ --version | head -n 1)"
)
PATHS_TIME=$paths_time AVX512_MISSING=$avx512_missing BEFORE_SIMD=$before_simd \
    BEFORE=$before BEFORE_LABEL=$before_label MB=$mb RUNS=$runs PTY_MB=$pty_mb CG_MB=$cg_mb BIG_MB=$big_mb LOAD_BEFORE=$load_before \
    LOAD_AFTER=$load_after TIMED=$timed VERSIONS=$versions \
    CPU=$(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1) CORES=$(nproc) \
    KERNEL=$(uname -r) DATE=$(date -u +%Y-%m-%d) \
    COMMIT=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown) \
    perl "$root/bench/report.pl" "$dir" "$docs"
gnuplot -e "data='$dir/chart.dat'; output='$docs/benchmarks.png'" "$root/bench/chart.gp"
say "done"
