#!/usr/bin/env bash
# Builds the static program with the presets `static` (x86-64) and `static-arm64` (Debian's cross
# compiler), both on musl (cmake/toolchains/musl.cmake), and holds each to the dynamic release
# build of the same source for the same architecture, linked with glibc:
#   1. it has no dynamic dependency: no program interpreter, no needed library, and nothing of the
#      C++ runtime library linked;
#   2. it runs in an empty root, a chroot holding only the program, its input files and, for
#      arm64, qemu-aarch64-static to start it (no binfmt here: the emulator is called by name);
#   3. it copies the README's sample exactly, and a generated corpus as the dynamic build does;
#   4. with MIRZET_SIMD unset, avx512, avx2, baseline and a name no build has, it copies alike and
#      takes the same path of the byte loops as the dynamic build (on x86-64 callgrind shows which
#      build of the loops ran; arm64 has one, the NEON block);
#   5. a missing file, a directory and no argument give the dynamic build's message and status;
#   6. on x86-64, it makes the dynamic build's system calls, in number, size and order, on each of
#      those cases and on every corpus kind of the calls check, on every path (under qemu, the
#      calls would be the emulator's: arm64 is held to bytes, messages and statuses);
#   7. it is hardened as far as musl allows, as the packaging docs say: full RELRO (a read-only
#      relocation segment, bound at start), position-independent, its own code built at -O2 with
#      the stack protector, stack clash protection and the processor's branch protection; no
#      _FORTIFY_SOURCE, since musl's headers have no checked functions (checked here, so that the
#      docs are told when they gain them); it is stripped, under 100 KB on x86-64, and its debug
#      data is in mirzet.debug beside it, with the same build ID.
# Needs root, for chroot, and the packages cmake g++ g++-aarch64-linux-gnu qemu-user-static
# valgrind strace python3 musl-dev musl-dev:arm64 (the last through `dpkg --add-architecture
# arm64`), which .ci/install installs. The last line is "static-check: N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$PWD
work=$root/build/static-check

. .ci/checks.sh

if [ "$(id -u)" -ne 0 ]; then
  flunk "running as root (the empty root is a chroot)"
  sums static-check
  exit
fi
missing=()
for tool in cmake g++ aarch64-linux-gnu-g++ qemu-aarch64-static valgrind strace python3; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
for start in /usr/lib/x86_64-linux-musl/rcrt1.o /usr/lib/aarch64-linux-musl/rcrt1.o; do
  [ -e "$start" ] || missing+=("$start")
done
if [ ${#missing[@]} -gt 0 ]; then
  flunk "missing: ${missing[*]} (bash .ci/install)"
  sums static-check
  exit
fi

rm -rf "$work"
mkdir -p "$work"
# The inputs: the README's sample, and lines of every length up to past the 129-byte pieces, ending
# in LF, CR-LF, CR-CR-LF and LF-CR, with NUL, lone CRs and high bytes, and a Ctrl-Z before the end.
printf 'a\r\nb\nlast' >"$work/sample.txt"
python3 - "$work/corpus.txt" <<'EOF'
import random, sys
r = random.Random(30)
ends = [b"\n", b"\r\n", b"\r\r\n", b"\n\r"]
lines = [bytes(r.choice(b"abcdefghij \t\x00\r\xff") for _ in range(r.choice([0, 1, 5, 31, 80, 130, 1000])))
         + r.choice(ends) for _ in range(8000)]
open(sys.argv[1], "wb").write(b"".join(lines) + b"tail\r\n\x1aafter the end\r\n")
EOF

# path_taken SETTING PROGRAM...: the build of the byte loops that copying the corpus ran with
# MIRZET_SIMD at SETTING (or unset), as callgrind saw it: avx512, avx2 or baseline.
path_taken() {
  local setting=$1 out=$work/callgrind.out
  shift
  (
    if [ "$setting" = unset ]; then unset MIRZET_SIMD; else export MIRZET_SIMD=$setting; fi
    valgrind --tool=callgrind --callgrind-out-file="$out" "$@" "$work/corpus.txt" >/dev/null 2>&1
  ) || { echo "valgrind failed"; return; }
  # Functions only: the static program has debug data, and its sources, annotated, name them all.
  callgrind_annotate --auto=no "$out" 2>/dev/null | grep -oE '(expand_lf|squeeze_crlf)_avx(2|512)' |
    grep -oE 'avx(2|512)' | sort -u | paste -sd' ' | sed 's/^$/baseline/'
  rm -f "$out"
}
flags=" $(grep -m1 '^flags' /proc/cpuinfo | cut -d: -f2) "

# calls_of SETTING PROGRAM ARGS...: the system calls of the program itself, with MIRZET_SIMD at
# SETTING (or unset), run in $work, one a line, as the same program linked with either C library
# makes them. What each C library does before the program's first call on a standard descriptor
# (the loader, the start files, glibc's stack limit and random seed) is its own, and so is the
# memory its allocator takes (brk, mmap); fstat is newfstatat on an empty path to glibc and its
# own call to musl; and the kernel opens every file with O_LARGEFILE on a 64-bit system, where
# musl says so and glibc does not.
calls_of() {
  local setting=$1
  shift
  [ "$setting" = unset ] && setting=MIRZET_SIMD || setting=MIRZET_SIMD=$setting
  (cd "$work" && strace -qq -e signal=none -s 0 -E "$setting" -o "$work/strace.log" "$@" \
    >/dev/null 2>&1)
  perl -ne '
    $own ||= /^(fcntl|fstat|newfstatat|read|write|lseek|ioctl|poll|close)\([012],/;
    next if !$own || /^(brk|mmap|munmap|mremap|madvise)\(/;
    s/^newfstatat\((\d+), "", \{.*?\}, AT_EMPTY_PATH\)/fstat($1)/;
    s/^fstat\((\d+), \{.*?\}\)/fstat($1)/;
    s/\|O_LARGEFILE//;
    s/0x[0-9a-f]+/ADDRESS/g;
    print;' "$work/strace.log"
}

static_check() {  # static_check ARCH PRESET BRANCH_PROTECTION [TOOLCHAIN EMULATOR...]
  local arch=$1 preset=$2 branch_protection=$3 toolchain=${4:-} emulator=("${@:5}") program dynamic log jail status
  local setting want got env_args in_jail musl_include
  echo "== $arch"
  musl_include=/usr/include/$([ "$arch" = x86-64 ] && echo x86_64 || echo aarch64)-linux-musl
  log=$work/$arch.log
  program=$root/build/$preset/mirzet
  # Configured afresh: the flags come from the presets' environment and the toolchain file, which
  # a build directory configured before either changed would not take up.
  rm -rf "$root/build/$preset"
  cmake --workflow --preset "$preset" >"$log" 2>&1
  status=$?
  # The link's warnings escape -Werror, which reaches only the compiles.
  if grep 'warning:' "$log"; then status=1; fi
  check "cmake --workflow --preset $preset builds without a warning" [ "$status" -eq 0 ] ||
    { tail -n 30 "$log"; return; }
  echo "size of $arch's static mirzet: $(stat -c %s "$program") bytes, mirzet.debug $(stat -c %s "$program.debug")"
  no_dependencies() {
    local symbols
    file "$program" | sed "s|$root/||"
    ! readelf -lW "$program" | grep -q 'Requesting program interpreter' &&
      ! readelf -dW "$program" | grep -q '(NEEDED)' || return 1
    # The link names its libraries itself (musl's C library and libgcc), and no symbol of the C++
    # runtime library (std::, the ABI's __cxa_ and __gxx_, the unwinder) is in the program.
    grep -q -- '-nostdlib' "$root/build/$preset/CMakeFiles/mirzet.dir/link.txt" &&
      ! grep -Eq 'stdc\+\+|supc\+\+' "$root/build/$preset/CMakeFiles/mirzet.dir/link.txt" ||
      { echo "the link may take the C++ runtime library" && return 1; }
    symbols=$(nm "$program.debug")
    ! grep -E ' [TtWwDdBbRrVv] (_ZN?K?St|_ZSt|__cxa_|__gxx_|_Unwind_)' <<<"$symbols" ||
      { echo "the C++ runtime library is linked" && return 1; }
  }
  check "$arch: no program interpreter, no needed library, no C++ runtime library" no_dependencies
  hardened() {
    local debug=$program.debug producers flag id symbols
    readelf -lW "$program" | grep -q 'GNU_RELRO' && readelf -dW "$program" | grep -Eq 'FLAGS.* BIND_NOW' ||
      { echo "no full RELRO: no GNU_RELRO segment, or no BIND_NOW" && return 1; }
    readelf -dW "$program" | grep -Eq 'FLAGS_1.* PIE' || { echo "not position-independent" && return 1; }
    ! readelf -SW "$program" | grep -Eq ' \.(symtab|debug_info) ' || { echo "not stripped" && return 1; }
    same "the debug link" "mirzet.debug" \
      "$(readelf -p .gnu_debuglink "$program" 2>/dev/null | sed -n 's/^ *\[ *0\] *//p')" || return 1
    id=$(readelf -nW "$program" | sed -n 's/.*Build ID: //p')
    [ -n "$id" ] && same "mirzet.debug's build ID" "$id" "$(readelf -nW "$debug" | sed -n 's/.*Build ID: //p')" ||
      return 1
    # What the compiler was asked, as it recorded it for each unit of the program's own code
    # (C++, and the link-time units made of it); musl's start file records its own.
    producers=$(readelf --debug-dump=info "$debug" | sed -n 's/.*DW_AT_producer *: *(.*): //p' |
      grep -E '^GNU (C\+\+|GIMPLE)' | sort -u)
    [ -n "$producers" ] || { echo "mirzet.debug records no compile" && return 1; }
    sed 's/^/  /' <<<"$producers"
    for flag in -O2 -fstack-protector-strong -fstack-clash-protection "$branch_protection"; do
      ! grep -v -e " $flag " -e " $flag\$" <<<"$producers" | grep -m1 . ||
        { echo "a unit built without $flag" && return 1; }
    done
    ! grep -Eq ' -O(3|fast)( |$)' <<<"$producers" || { echo "a unit built at -O3" && return 1; }
    # No _FORTIFY_SOURCE, as the docs say: musl's headers have none of the checked functions
    # (__read_chk and the like), so the flag would change nothing; when they gain them, the
    # presets should pass it and the docs say so.
    ! grep -rlq '_FORTIFY_SOURCE' "$musl_include" ||
      { echo "musl's headers now honour _FORTIFY_SOURCE: pass it, and say so in the docs" && return 1; }
    # Taken whole before grep reads them: grep -q stops early, and nm's broken pipe would fail it.
    symbols=$(nm "$debug")
    ! grep -Eq ' T __[a-z_]+_chk$' <<<"$symbols" ||
      { echo "a checked function is linked, which the docs say the program has none of" && return 1; }
  }
  check "$arch: hardened: full RELRO, PIE, -O2, stack protector, no FORTIFY, stripped beside mirzet.debug" hardened
  [ "$arch" != x86-64 ] ||
    check "$arch: stripped, the program is under 100 KB" [ "$(stat -c %s "$program")" -lt 102400 ]

  # The dynamic release build for the same architecture, as the release preset configures it.
  dynamic=("${emulator[@]}")
  [ ${#emulator[@]} -eq 0 ] || dynamic+=(-L "/usr/aarch64-linux-gnu" -E "LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib")
  dynamic+=("$work/dynamic-$arch/mirzet")
  { cmake -S "$root" -B "$work/dynamic-$arch" ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"} \
      -DCMAKE_BUILD_TYPE=Release -DMIRZET_TESTS=OFF -DMIRZET_WERROR=ON &&
    cmake --build "$work/dynamic-$arch" -j2; } >>"$log" 2>&1
  check "the dynamic release build for $arch builds" [ $? -eq 0 ] || { tail -n 30 "$log"; return; }

  # The empty root: the program, the inputs, and the emulator where one is needed.
  jail=$work/root-$arch
  mkdir -p "$jail"
  cp "$program" "$work/sample.txt" "$work/corpus.txt" "$jail/"
  [ ${#emulator[@]} -eq 0 ] || cp "$(command -v "${emulator[0]}")" "$jail/"
  in_jail=(chroot "$jail")
  [ ${#emulator[@]} -eq 0 ] || in_jail+=("/${emulator[0]##*/}")
  in_jail+=(/mirzet)
  echo "the empty root holds: $(cd "$jail" && ls -A | paste -sd' ')"

  copies() {
    local out=$work/out status=0
    "${in_jail[@]}" sample.txt >"$out" || status=$?
    same "the sample's copy" "$(printf 'a\r\nb\r\nlast' | od -c)" "$(od -c "$out")" &&
      same "its status" 0 "$status"
  }
  check "$arch: the static program in the empty root copies the sample exactly" copies

  # Each setting of MIRZET_SIMD: the same copy as the dynamic build, on the same path.
  for setting in unset avx512 avx2 baseline sse9; do
    env_args=(env -u MIRZET_SIMD)
    [ "$setting" = unset ] || env_args=(env "MIRZET_SIMD=$setting")
    same_copy() {
      "${env_args[@]}" "${dynamic[@]}" "$work/corpus.txt" >"$work/want" &&
        "${env_args[@]}" "${in_jail[@]}" corpus.txt >"$work/got" && cmp "$work/want" "$work/got"
    }
    check "$arch: MIRZET_SIMD $setting: the corpus copied in the empty root as the dynamic build copies it" \
      same_copy
    if [ ${#emulator[@]} -eq 0 ]; then
      same_calls() {
        calls_of "$setting" "${dynamic[@]}" corpus.txt >"$work/want.calls"
        calls_of "$setting" "$program" corpus.txt >"$work/got.calls"
        diff "$work/want.calls" "$work/got.calls" | head -n 8
        cmp -s "$work/want.calls" "$work/got.calls"
      }
      check "$arch: MIRZET_SIMD $setting: the dynamic build's system calls on the corpus" same_calls
      want=$(path_taken "$setting" "${dynamic[@]}")
      got=$(path_taken "$setting" "$program")
      check "$arch: MIRZET_SIMD $setting: the path taken, $got, is the dynamic build's" \
        same "the path" "$want" "$got"
      # And the setting is heeded, where the processor runs what it names.
      if [ "$setting" = baseline ] || { [ "$setting" = avx2 ] && [[ $flags == *" avx2 "* ]]; }; then
        check "$arch: MIRZET_SIMD $setting runs the $setting loops" same "the path" "$setting" "$got"
      fi
    fi
  done
  [ ${#emulator[@]} -eq 0 ] || echo "$arch has one build of the byte loops; MIRZET_SIMD leaves it"

  same_message() {  # same_message ARGS...: the dynamic build's bytes and status for ARGS
    local want_status=0 got_status=0
    (cd "$jail" && "${dynamic[@]}" "$@") >"$work/want" || want_status=$?
    "${in_jail[@]}" "$@" >"$work/got" || got_status=$?
    od -c "$work/got" | head -n 3
    same "the message" "$(od -c "$work/want")" "$(od -c "$work/got")" &&
      same "the status" "$want_status" "$got_status" || return 1
    [ ${#emulator[@]} -eq 0 ] || return 0
    calls_of unset "${dynamic[@]}" "$@" >"$work/want.calls"
    calls_of unset "$program" "$@" >"$work/got.calls"
    diff "$work/want.calls" "$work/got.calls" | head -n 8
    cmp -s "$work/want.calls" "$work/got.calls"
  }
  local calls=
  [ ${#emulator[@]} -gt 0 ] || calls=" and system calls"
  check "$arch: a missing file: the dynamic build's message, status$calls" same_message missing.txt
  check "$arch: no argument: the dynamic build's message, status$calls" same_message
  check "$arch: a directory: the dynamic build's message, status$calls" same_message /
  check "$arch: the sample: the dynamic build's copy, status$calls" same_message sample.txt

  # Every corpus kind of the calls check, on every path this processor runs: the recorded calls
  # and the plain converter's bytes.
  if [ ${#emulator[@]} -eq 0 ]; then
    python3 bench/bench.py calls --program "$program" --dir "$work/calls" >"$work/calls.log" 2>&1
    status=$?
    check "$arch: every corpus kind of the calls check: the recorded calls and bytes" [ "$status" -eq 0 ] ||
      tail -n 12 "$work/calls.log"
  fi
}

static_check x86-64 static -fcf-protection=full
static_check arm64 static-arm64 -mbranch-protection=standard "$root/cmake/toolchains/arm64.cmake" qemu-aarch64-static

sums static-check
