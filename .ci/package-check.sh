#!/usr/bin/env bash
# Installs mirzet the ways a user does and checks each: the manual page (lint and render), the
# `cmake --install` tree, and the Debian package (build, install, run, remove). Everything is built
# in a scratch directory; the work tree is not touched. Needs root for apt-get and dpkg.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

fail() { echo "package-check: $*" >&2; exit 1; }
step() { echo "== $*"; }

[ "$(id -u)" -eq 0 ] || fail "installs and removes a package, so it must run as root"

# The tools, installed only when one is missing.
need=()
command -v mandoc >/dev/null || need+=(mandoc)
command -v man >/dev/null || need+=(man-db)
command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
command -v cpack >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v od >/dev/null || need+=(coreutils)
if [ ${#need[@]} -gt 0 ]; then
  step "installing ${need[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi

scratch=$(mktemp -d)
installed_by_us=no
cleanup() {
  if [ "$installed_by_us" = yes ]; then dpkg -r mirzet >/dev/null 2>&1 || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

# What the program must write for a small file: the sample of the manual page and README.
printf 'a\r\nb\nlast' > "$scratch/in.txt"
expected='0000000   a  \r  \n   b  \r  \n   l   a   s   t
0000012'
check_copy() {  # check_copy PROGRAM: the sample is copied, and a bare call gives the usage message
  local program=$1 got status
  got=$("$program" "$scratch/in.txt" | od -c)
  [ "$got" = "$expected" ] || fail "$program copied the sample as:"$'\n'"$got"
  status=0
  got=$("$program" | od -c) || status=$?
  [ "$status" -eq 1 ] || fail "$program without an argument ended with $status, not 1"
  [ "$got" = "$(printf 'Usage mirzet <filename> \r\n' | od -c)" ] ||
    fail "$program without an argument wrote:"$'\n'"$got"
}
check_render() {  # check_render ARGS...: man renders the page with no warning and every section
  local text warnings section
  warnings=$scratch/man-warnings
  text=$(MANWIDTH=80 man --warnings -P cat "$@" 2>"$warnings")
  [ ! -s "$warnings" ] || fail "man $* warned:"$'\n'"$(cat "$warnings")"
  for section in NAME SYNOPSIS DESCRIPTION 'OUTPUT BUFFERING' 'EXIT STATUS' DIAGNOSTICS EXAMPLES \
                 'SEE ALSO'; do
    grep -qx "$section" <<<"$text" || fail "man $* shows no $section section"
  done
}

step "manual page: mandoc -T lint"
mandoc -T lint man/mirzet.1

step "manual page: man -l"
check_render -l man/mirzet.1

step "configure and build in $scratch/build"
cmake -S "$root" -B "$scratch/build" -DCMAKE_BUILD_TYPE=Release -DMIRZET_TESTS=OFF >/dev/null
cmake --build "$scratch/build" -j2 >/dev/null

# The one version number: the project's, as CPack was given it. The changelog's newest entry and
# the package must carry the same.
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$scratch/build/CPackConfig.cmake")
[ -n "$version" ] || fail "no package version in CPackConfig.cmake"
newest=$(sed -n 's/^## \[\([^]]*\)\].*/\1/p' CHANGELOG.md | head -n 1)
[ "$newest" = "$version" ] || fail "CHANGELOG.md's newest entry is '$newest', the project is $version"

step "cmake --install to a prefix"
prefix=$scratch/prefix
cmake --install "$scratch/build" --prefix "$prefix" >/dev/null
[ -x "$prefix/bin/mirzet" ] || fail "no bin/mirzet under the prefix"
page=$(ls "$prefix"/share/man/man1/mirzet.1* 2>/dev/null | head -n 1)
[ -n "$page" ] || fail "no manual page under share/man/man1"
check_copy "$prefix/bin/mirzet"
check_render -l "$page"

step "cpack: the Debian package"
(cd "$scratch/build" && cpack -G DEB -B "$scratch/package" >/dev/null)
debs=("$scratch"/package/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single .deb"
deb=${debs[0]}
[ "$(dpkg-deb -f "$deb" Package)" = mirzet ] || fail "the package is not named mirzet"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "the package version is not $version"
contents=$(dpkg-deb -c "$deb" | awk '{print $NF}')
for file in ./usr/bin/mirzet ./usr/share/man/man1/mirzet.1.gz; do
  grep -qx "$file" <<<"$contents" || fail "the package lacks $file"
done

step "dpkg -i, run, dpkg -r"
# Never overwrite a mirzet that was put in /usr by hand; a packaged one is replaced and removed.
if [ -e /usr/bin/mirzet ] && ! dpkg -S /usr/bin/mirzet >/dev/null 2>&1; then
  fail "/usr/bin/mirzet exists and belongs to no package; not overwriting it"
fi
installed_by_us=yes
dpkg -i "$deb" >/dev/null
[ "$(command -v mirzet)" = /usr/bin/mirzet ] || fail "mirzet is not /usr/bin/mirzet after dpkg -i"
check_copy mirzet
[ "$(man -w mirzet)" = /usr/share/man/man1/mirzet.1.gz ] || fail "man does not find the installed page"
check_render mirzet
dpkg -r mirzet >/dev/null
installed_by_us=no
[ ! -e /usr/bin/mirzet ] || fail "dpkg -r left /usr/bin/mirzet"
[ ! -e /usr/share/man/man1/mirzet.1.gz ] || fail "dpkg -r left the manual page"
[ "$(dpkg-query -W -f '${db:Status-Status}' mirzet 2>/dev/null || true)" != installed ] ||
  fail "dpkg still counts mirzet as installed"

echo "package check passed: mirzet $version"
