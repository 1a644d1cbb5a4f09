#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs one of them for a bounded time.
#   fuzz/run.sh [target] [seconds]      (defaults: format_fuzz, 60)
# New inputs go to build/fuzz/corpus/<name>, seeded from fuzz/corpus/<name>; a crash is kept
# under fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."

target=${1:-format_fuzz}
seconds=${2:-60}
name=${target%_fuzz}

runtime=$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a)
if [ ! -f "$runtime" ]; then
  echo "fuzz/run.sh: clang's libFuzzer runtime is missing (Debian: libclang-rt-14-dev)" >&2
  exit 2
fi

cmake -S fuzz -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/fuzz -j2 --target "$target"

work=build/fuzz/corpus/$name
mkdir -p "$work" fuzz/artifacts
exec "build/fuzz/$target" "$work" "fuzz/corpus/$name" \
  -max_total_time="$seconds" -max_len=4096 -timeout=20 -rss_limit_mb=2048 \
  -artifact_prefix=fuzz/artifacts/ -print_final_stats=1
