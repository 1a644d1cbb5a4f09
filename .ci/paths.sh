#!/usr/bin/env bash
# Every path of the byte loops that this processor runs, each tested on its own: the loops against
# their plain twins, the layer's tests over the fake system, and the program against the model of
# the copy, with MIRZET_SIMD choosing the path. A path the processor has must be tested; one it
# lacks is named and passed over, but for AVX-512, whose tests then run in an emulated machine
# that has it (tests/emulated/avx512.sh, about five minutes). The fuzz targets run every input on
# every path the processor has, and need nothing here.
#
#   .ci/paths.sh [BUILD]    BUILD: a build of the test preset, default build/test
#
# The last line is "paths: N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/test}
flags=" $(grep -m1 '^flags' /proc/cpuinfo | cut -d: -f2) "
passed=0
failed=0
has() {
  local flag
  for flag; do [[ $flags == *" $flag "* ]] || return 1; done
}
runs() {
  case $1 in
    baseline) true ;;
    avx2) has avx2 bmi1 popcnt ;;
    avx512) has avx2 bmi1 bmi2 popcnt avx512f avx512bw avx512vl avx512_vbmi2 ;;
  esac
}
result() {  # result STATUS WHAT
  if [ "$1" -eq 0 ]; then
    echo "paths: ok: $2"
    passed=$((passed + 1))
  else
    echo "paths: FAILED: $2"
    failed=$((failed + 1))
  fi
}

for path in baseline avx2 avx512; do
  if ! runs "$path" && [ "$path" = avx512 ]; then
    # Where the processor lacks AVX-512, an emulated machine that has it runs that path's tests.
    echo "paths: avx512: the processor lacks it; its tests run in an emulated machine"
    bash tests/emulated/avx512.sh
    status=$?
    if [ "$status" -eq 125 ]; then
      echo "paths: avx512 untested: the processor lacks it, and the emulator could not run"
    else
      result "$status" "the avx512 loops and the layer's tests pass in an emulated machine"
    fi
    continue
  fi
  if ! runs "$path"; then
    echo "paths: $path untested: the processor lacks it"
    continue
  fi
  log=$("$build/tests/scan_test" --gtest_filter="Builds/PathTest.*/$path" 2>&1)
  status=$?
  grep -q "^path $path tested" <<<"$log" || status=1
  [ "$status" -eq 0 ] || echo "$log" | tail -n 30
  result "$status" "the $path loops match their plain twins"
  status=0
  for tests in handles_test streams_test fault_injection_test runtime_app_test; do
    log=$(MIRZET_SIMD=$path "$build/tests/$tests" --gtest_brief=1 2>&1) || { status=1; echo "$log" | tail -n 30; }
  done
  result "$status" "the layer's tests over the fake system pass with MIRZET_SIMD=$path"
  log=$(MIRZET_SIMD=$path "$build/tests/program_test" --gtest_filter='Shards/ProgramDifferential.*' 2>&1)
  status=$?
  [ "$status" -eq 0 ] || echo "$log" | tail -n 30
  result "$status" "the program's copies match the model with MIRZET_SIMD=$path"
done
echo "paths: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
