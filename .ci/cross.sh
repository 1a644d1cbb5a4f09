#!/usr/bin/env bash
# Builds mirzet and its tests for another architecture with Debian's cross compiler, and runs them
# as that architecture's machine would: under qemu-user, or natively for i386, which an x86-64
# kernel runs. GoogleTest is built for the target from its source in /usr/src/googletest.
#
#   .ci/cross.sh ARCH [--long]     ARCH: s390x, i386, armhf or arm64
#
# Then:
#   1. the unit tests, the byte loops among them held to their plain twins;
#   2. the tests of the built program, each run of it through the emulator (a wrapper script
#      stands in for the program); tests that cannot see through an emulator skip themselves;
#   3. the program against the plain converter (built for this machine) on generated corpora;
#   4. with --long, the copy of a sparse file past 4 GiB.
# The build is the release build, link-time optimisation included, with warnings as errors.
# Every test ctest runs counts, and every other check as one. Ends with
# `cross: N passed, N failed` (and `, N skipped` where tests skipped themselves).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
arch=${1:?usage: .ci/cross.sh ARCH [--long]}
long=${2:-}
case $arch in
  s390x) triplet=s390x-linux-gnu emulator=qemu-s390x ;;
  i386) triplet=i686-linux-gnu emulator= ;;
  armhf) triplet=arm-linux-gnueabihf emulator=qemu-arm ;;
  arm64) triplet=aarch64-linux-gnu emulator=qemu-aarch64 ;;
  *) echo "no such architecture here: $arch" >&2; exit 2 ;;
esac
toolchain=$root/cmake/toolchains/$arch.cmake
build=$root/build/cross-$arch
. "$root/.ci/checks.sh"
# tests LOG WHAT: counts the tests of a ctest run, and says how it went.
tests() {
  local summary run bad skips
  summary=$(grep -o '[0-9]* tests\? failed out of [0-9]*' "$1" | tail -n 1)
  if [ -z "$summary" ]; then
    flunk "$2: no test ran"
    tail -n 20 "$1"
    return
  fi
  bad=${summary%% *}
  run=${summary##* }
  skips=$(grep -c '(Skipped)$' "$1")
  passed=$((passed + run - bad - skips))
  failed=$((failed + bad))
  skipped=$((skipped + skips))
  if [ "$bad" -eq 0 ]; then echo "ok: $2 ($summary)"; else echo "FAIL: $2 ($summary)"; fi
  grep -E '\*\*\*Failed|Skipped\)' "$1" | sed 's/^/    /'
}
finish() {
  sums cross
  exit
}

# What it needs comes from .ci/install: the cross compiler, GoogleTest's source, and qemu-user or,
# for i386, the 32-bit loader and C++ library that run i386 programs on this x86-64 machine.
for tool in "$triplet-g++" ${emulator:+"$emulator"}; do
  command -v "$tool" >/dev/null || { flunk "$tool is here (bash .ci/install)" && finish; }
done
[ -d /usr/src/googletest ] || { flunk "GoogleTest's source is here (bash .ci/install)" && finish; }
[ -n "$emulator" ] || { [ -e /lib/ld-linux.so.2 ] && [ -e /usr/lib32/libstdc++.so.6 ]; } ||
  { flunk "the 32-bit loader and C++ library are here (bash .ci/install)" && finish; }
# As the toolchain file starts the tests: the target's own loader and libraries, from /usr/TRIPLET.
run_on_target=()
[ -n "$emulator" ] && run_on_target=("$emulator" -L "/usr/$triplet" -E "LD_LIBRARY_PATH=/usr/$triplet/lib")

mkdir -p "$build"
log=$build/build.log
: >"$log"

# GoogleTest for the target, installed into the build tree.
gtest=$build/googletest
if [ ! -f "$gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
  { cmake -S /usr/src/googletest -B "$build/googletest-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$gtest" -DBUILD_GMOCK=OFF &&
    cmake --build "$build/googletest-build" -j2 && cmake --install "$build/googletest-build"; } \
    >>"$log" 2>&1
fi
verdict $? "GoogleTest built for $arch"

long_option=OFF
[ "$long" = --long ] && long_option=ON
program=$build/mirzet/mirzet
rm -f "$program"  # the wrapper script of an earlier run: build the real program again
{ cmake -S "$root" -B "$build/mirzet" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DMIRZET_WERROR=ON -DMIRZET_LONG_TESTS=$long_option \
    -DGTest_DIR="$gtest/lib/cmake/GTest" &&
  cmake --build "$build/mirzet" -j2; } >>"$log" 2>&1
status=$?
# Link-time optimisation warns at the link, which -Werror on the compile does not reach.
if grep -q 'warning:' "$log"; then grep 'warning:' "$log"; status=1; fi
verdict $status "mirzet and its tests built for $arch, no warning"
[ "$status" -eq 0 ] || { tail -n 30 "$log"; finish; }

ctest --test-dir "$build/mirzet" -L unit --output-on-failure -j2 >"$build/unit.log" 2>&1
tests "$build/unit.log" "the unit tests on $arch"

# The program's tests, with the program started through the emulator by a script in its place.
if [ -n "$emulator" ]; then
  mv "$program" "$program.real"
  printf '#!/bin/sh\nexec %s %s "$@"\n' "${run_on_target[*]}" "$program.real" >"$program"
  chmod +x "$program"
  target=("${run_on_target[@]}" "$program.real")
else
  target=("$program")
fi
MIRZET_EMULATOR=$emulator ctest --test-dir "$build/mirzet" -L program --output-on-failure -j2 \
  >"$build/program.log" 2>&1
tests "$build/program.log" "the program's tests on $arch"

# The program against the plain converter, on every kind of generated corpus and on one that ends
# in a Ctrl-Z followed by more text.
host=$build/host
if cmake -S "$root" -B "$host" -DCMAKE_BUILD_TYPE=Release -DMIRZET_TESTS=OFF -DMIRZET_BENCH=ON \
  >>"$log" 2>&1 && cmake --build "$host" -j2 --target mirzet_bench_gen mirzet_bench_plain >>"$log" 2>&1; then
  corpora=$build/corpora
  mkdir -p "$corpora"
  for kind in source crlf long short mixed; do
    "$host/bench/mirzet_bench_gen" "$kind" 3000000 "$corpora/$kind.txt"
  done
  { cat "$corpora/mixed.txt"; printf 'tail\r\n\032after the end\r\n'; } >"$corpora/ctrl-z.txt"
  for corpus in "$corpora"/*.txt; do
    "$host/bench/mirzet_bench_plain" "$corpus" >"$corpus.plain"
    "${target[@]}" "$corpus" >"$corpus.out"
    cmp -s "$corpus.out" "$corpus.plain"
    verdict $? "the $(basename "$corpus" .txt) corpus copied on $arch as the plain converter copies it"
    rm -f "$corpus.out" "$corpus.plain"
  done
else
  verdict 1 "the corpus generator and the plain converter built for this machine"
fi

if [ "$long" = --long ]; then
  ctest --test-dir "$build/mirzet" -L long --output-on-failure >"$build/long.log" 2>&1
  tests "$build/long.log" "a sparse file past 4 GiB copied exactly on $arch"
fi
finish
