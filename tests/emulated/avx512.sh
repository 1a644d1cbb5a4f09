#!/usr/bin/env bash
# The AVX-512 path's tests on a processor without AVX-512: the byte loops' build for AVX-512 held to
# the plain loops and its block's stores to their reach, and the layer's tests over the fake system
# told to take that path, run inside an emulated machine whose processor has AVX-512 (BW, VL,
# VBMI2) and BMI2 (run-under-bochs.sh, about four minutes of one core). The tests are built
# static, since the emulated machine has no C library.
#
#   tests/emulated/avx512.sh
#
# The last line is "avx512-emulated: N passed, N failed"; the status is 0 when the tests passed, 1
# when one failed, and 125 when the emulator could not run them (nothing about the code is known).
# Settings, from the environment: MIRZET_EMULATED_BUILD, the static build (default
# build/emulated); the emulator's own, which run-under-bochs.sh lists.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${MIRZET_EMULATED_BUILD:-$root/build/emulated}
tests=(scan_test handles_test streams_test)

mkdir -p "$build"
if ! { cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIRZET_WERROR=ON \
    -DCMAKE_EXE_LINKER_FLAGS=-static && cmake --build "$build" -j2 --target "${tests[@]}"; } \
    >"$build/build.log" 2>&1; then
  tail -n 30 "$build/build.log"
  echo "avx512-emulated: 0 passed, 1 failed"
  exit 1
fi

# What the emulated machine runs: each test on the AVX-512 path.
guest=$build/run-avx512.sh
cat >"$guest" <<'GUEST'
#!/bin/sh
export MIRZET_SIMD=avx512
status=0
./scan_test --gtest_brief=1 --gtest_filter='Builds/PathTest.*/avx512:PathTest.*:WatchTest.*:BlockReachTest.*' || status=1
./handles_test --gtest_brief=1 || status=1
./streams_test --gtest_brief=1 || status=1
exit $status
GUEST
files=$(printf "$build/tests/%s " "${tests[@]}")
BOCHS_CACHE=${BOCHS_CACHE:-$build/emulator} BOCHS_TIMEOUT=${BOCHS_TIMEOUT:-1500} BOCHS_FILES=$files \
  bash "$root/tests/emulated/run-under-bochs.sh" "$guest" >"$build/guest.log" 2>&1
status=$?
# The whole log where something failed; else how long the emulated machine took.
if [ "$status" -eq 0 ]; then grep -E '^run-under-bochs: boot' "$build/guest.log"; else cat "$build/guest.log"; fi
if [ "$status" -eq 125 ]; then
  echo "avx512-emulated: the emulator could not run the tests"
  exit 125
fi
# The loops' tests say which path they tested: one that skipped, on a processor the emulator did
# not give AVX-512, fails here.
if [ "$status" -eq 0 ] && [ "$(grep -c '^path avx512 tested' "$build/guest.log")" -eq 2 ]; then
  echo "avx512-emulated: 1 passed, 0 failed"
else
  echo "avx512-emulated: 0 passed, 1 failed"
  exit 1
fi
