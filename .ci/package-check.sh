#!/usr/bin/env bash
# Installs mirzet the ways a user does and checks each: the manual page (lint and render), the
# `cmake --install` tree, and the Debian package from debian/ (built twice, which must give the
# same bytes; lintian; installed, run, smoke-tested and removed). Everything is built in scratch
# copies of the tree; the work tree is not touched. Needs root for dpkg.
#
# Every check is counted, and the last line says how many passed and failed; the status is 0 only
# when none failed. A check whose groundwork failed (no build, no package) is counted as failed.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$PWD
started=$SECONDS

. .ci/checks.sh
step() { echo "== $*"; }
finish() {
  echo "package-check: took $((SECONDS - started)) s"
  echo "package-check: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
}
show_tail() {  # show_tail LOG: the end of a log whose command failed
  echo "--- last lines of $1:"
  tail -n 40 "$1"
}

if [ "$(id -u)" -ne 0 ]; then
  flunk "running as root (the check installs and removes a package)"
  finish
fi

# The tools, what the package's Build-Depends name, and for its builds for other architectures
# the cross compiler and the C library as a package of that architecture (whose symbols give the
# package its dependencies), from .ci/install.
cross_arches=(i386 s390x)
tools() {
  local tool arch missing=()
  for tool in mandoc man dpkg-buildpackage dh lintian cmake g++ git; do
    command -v "$tool" >/dev/null || missing+=("$tool")
  done
  dpkg -s libgtest-dev >/dev/null 2>&1 || missing+=(libgtest-dev)
  for arch in "${cross_arches[@]}"; do
    dpkg -s "crossbuild-essential-$arch" >/dev/null 2>&1 || missing+=("crossbuild-essential-$arch")
    dpkg -s "libc6:$arch" >/dev/null 2>&1 || missing+=("libc6:$arch")
  done
  [ ${#missing[@]} -eq 0 ] || { echo "missing: ${missing[*]} (bash .ci/install)" && return 1; }
}
check "the tools are here" tools || finish

scratch=$(mktemp -d)
logs=$scratch/logs
mkdir -p "$logs"
installed_by_us=no
cleanup() {
  if [ "$installed_by_us" = yes ]; then dpkg -r mirzet >/dev/null 2>&1 || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM  # so that an interrupted check still removes the package and its files

# copy_tree DIR: the files git knows of, as they are in the work tree (changes not yet committed
# included), without build directories or anything else git ignores.
copy_tree() {
  mkdir -p "$1"
  git -C "$root" ls-files -z --cached --others --exclude-standard |
    tar -C "$root" --null -T - --ignore-failed-read -c 2>/dev/null | tar -x -C "$1"
}

# What the program must write for a small file: the sample of the manual page and README.
printf 'a\r\nb\nlast' >"$scratch/in.txt"
want_copy=$(printf 'a\r\nb\r\nlast' | od -c)
want_usage=$(printf 'Usage mirzet <filename> \r\n' | od -c)
want_missing=$(printf 'Cannot find file %s \r\n' "$scratch/missing" | od -c)
runs_like_mirzet() {  # runs_like_mirzet PROGRAM: a copy, the usage message, a missing file
  local program=$1 out=$scratch/out status
  status=0 && "$program" "$scratch/in.txt" </dev/null >"$out" || status=$?
  same "the sample's copy" "$want_copy" "$(od -c "$out")" && same "its status" 0 "$status" || return 1
  status=0 && "$program" </dev/null >"$out" || status=$?
  same "no argument" "$want_usage" "$(od -c "$out")" && same "its status" 1 "$status" || return 1
  status=0 && "$program" "$scratch/missing" </dev/null >"$out" || status=$?
  same "a missing file" "$want_missing" "$(od -c "$out")" && same "its status" 1 "$status"
}
renders() {  # renders ARGS...: man renders the page with no warning and every section
  local text warnings=$scratch/man-warnings section
  text=$(MANWIDTH=80 man --warnings -P cat "$@" 2>"$warnings") || return 1
  if [ -s "$warnings" ]; then
    echo "man $* warned:" && cat "$warnings"
    return 1
  fi
  for section in NAME SYNOPSIS DESCRIPTION 'OUTPUT BUFFERING' 'EXIT STATUS' DIAGNOSTICS EXAMPLES \
    'SEE ALSO'; do
    grep -qx "$section" <<<"$text" || { echo "man $* shows no $section section" && return 1; }
  done
}

step "the manual page"
check "mandoc -T lint finds nothing in the manual page" mandoc -T lint man/mirzet.1
check "man renders the manual page without a warning" renders -l man/mirzet.1

step "one version"
version=$(sed -n 's/^project(mirzet VERSION \([^ )]*\).*/\1/p' CMakeLists.txt)
one_version() {
  local newest debian
  newest=$(sed -n 's/^## \[\([^]]*\)\].*/\1/p' CHANGELOG.md | head -n 1)
  debian=$(dpkg-parsechangelog -l debian/changelog -S Version)
  [ -n "$version" ] || { echo "no version in project() of CMakeLists.txt" && return 1; }
  same "CHANGELOG.md's newest entry" "$version" "$newest" &&
    same "debian/changelog's newest entry" "$version" "$debian"
}
check "project(), CHANGELOG.md and debian/changelog name one version ($version)" one_version

step "cmake --install to a prefix"
copy_tree "$scratch/src"
prefix=$scratch/prefix
if cmake -S "$scratch/src" -B "$scratch/build" -DCMAKE_BUILD_TYPE=Release -DMIRZET_TESTS=OFF -DMIRZET_WERROR=ON \
  >"$logs/release" 2>&1 && cmake --build "$scratch/build" -j2 >>"$logs/release" 2>&1 &&
  cmake --install "$scratch/build" --prefix "$prefix" >>"$logs/release" 2>&1; then
  pass "the release build builds and installs"
  no_fake() { ! cmake --build "$scratch/build" --target help | grep -q platform_fake; }
  check "the release build leaves out the tests' fake platform" no_fake
  check "bin/mirzet under the prefix copies like mirzet" runs_like_mirzet "$prefix/bin/mirzet"
  check "man renders the page under the prefix" renders -l "$prefix/share/man/man1/mirzet.1"
  check "the loop over a tree of files runs as shown" sh tests/tree_example.sh "$root" "$prefix/bin"
else
  show_tail "$logs/release"
  flunk "the release build builds and installs"
fi

# Two builds of the package, as unlike as the same source allows: another path, file times, time
# zone, locale and umask, and the second without the tests (which saves two minutes, and shows that
# the tests leave nothing in the package). SOURCE_DATE_EPOCH is the one thing they share, as the
# changelog gives it. The first also builds the source package, for lintian.
export SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l debian/changelog -S Timestamp)
build_package() {  # build_package DIR [OPTIONS]: the package from a copy of the tree in DIR/mirzet
  local what=(--build=full)
  [ -z "${2:-}" ] || what=(--build=binary "--build-profiles=$2")
  (cd "$1/mirzet" && DEB_BUILD_OPTIONS="parallel=2 ${2:-}" dpkg-buildpackage -us -uc "${what[@]}") \
    >"$1.log" 2>&1
}
step "dpkg-buildpackage, twice"
copy_tree "$scratch/one/mirzet"
copy_tree "$scratch/two/mirzet"
find "$scratch/two/mirzet" -exec touch --no-dereference --date=2001-02-03 {} +
built=yes
check "the package builds" build_package "$scratch/one" || { show_tail "$scratch/one.log" && built=no; }
again() { (umask 0002 && TZ=Pacific/Kiritimati LC_ALL=C.UTF-8 build_package "$scratch/two" nocheck); }
check "the package builds again, elsewhere, without the tests" again || { show_tail "$scratch/two.log" && built=no; }
if [ "$built" = no ]; then finish; fi

every_test() {  # the build ran every test the build registers, as the RPM's %check does
  local log=$scratch/one.log
  grep -q '^100% tests passed, 0 tests failed out of [1-9]' "$log" || {
    echo "no passing test run in the build" && return 1
  }
  sed -n '/^Label Time Summary:/,/^$/p' "$log" | sed '/^$/d'
  ! grep -q 'The following tests did not run' "$log" || { echo "tests were skipped" && return 1; }
  grep -Eq '^program +=' "$log" && grep -Eq '^unit +=' "$log" ||
    { echo "the build did not run both the unit tests and the program's" && return 1; }
}
check "the build ran every test, the program's included" every_test

reproducible() {
  local deb status=0
  for deb in "$scratch"/one/*.deb; do
    sha256sum "$deb" "$scratch/two/${deb##*/}" | sed "s|$scratch/||"
    cmp -s "$deb" "$scratch/two/${deb##*/}" || status=1
  done
  [ -e "$deb" ] && return "$status"
}
check "the two builds give the same bytes" reproducible

step "lintian"
lintian_clean() {
  # Info and pedantic tags are shown, for the record; errors and warnings fail.
  lintian --fail-on error,warning --display-info --pedantic "$scratch"/one/mirzet_*.changes 2>&1 |
    sed '/^running with root privileges is not recommended!$/d'
}
check "lintian finds no error and no warning in the source and binary packages" lintian_clean

deb=$(ls "$scratch"/one/mirzet_*.deb)
holds() {
  local contents file
  same "the package's name" mirzet "$(dpkg-deb -f "$deb" Package)" &&
    same "its version" "$version" "$(dpkg-deb -f "$deb" Version)" || return 1
  contents=$(dpkg-deb -c "$deb" | awk '{print $NF}')
  for file in ./usr/bin/mirzet ./usr/share/man/man1/mirzet.1.gz ./usr/share/doc/mirzet/copyright \
    ./usr/share/doc/mirzet/changelog.gz; do
    grep -qx "$file" <<<"$contents" || { echo "the package lacks $file" && return 1; }
  done
}
check "the package is mirzet $version and holds the program, page, copyright and changelog" holds

step "dpkg -i, run, dpkg -r"
# Never overwrite a mirzet that was put in /usr by hand; a packaged one is replaced and removed.
if [ -e /usr/bin/mirzet ] && ! dpkg -S /usr/bin/mirzet >/dev/null 2>&1; then
  flunk "/usr/bin/mirzet exists and belongs to no package; not overwriting it"
  finish
fi
installed_by_us=yes
if dpkg -i "$deb" >"$logs/dpkg" 2>&1; then
  pass "dpkg -i installs the package"
  check "mirzet on the PATH is /usr/bin/mirzet" same "mirzet" /usr/bin/mirzet "$(command -v mirzet)"
  check "the installed mirzet copies like mirzet" runs_like_mirzet mirzet
  check "man finds the installed page" same "man -w" /usr/share/man/man1/mirzet.1.gz "$(man -w mirzet)"
  check "man renders the installed page" renders mirzet
  # The package's own tests, run as autopkgtest runs them against the installed package.
  for test in $(sed -n 's/^Tests: *//p' debian/tests/control); do
    check "autopkgtest $test" env AUTOPKGTEST_TMP="$(mktemp -d -p "$scratch")" "debian/tests/$test"
  done
  check "the loop over a tree of files runs as shown with the installed mirzet" \
    sh tests/tree_example.sh "$root" /usr/bin
else
  cat "$logs/dpkg"
  flunk "dpkg -i installs the package"
fi
removed() {
  dpkg -r mirzet >"$logs/dpkg" 2>&1 || { cat "$logs/dpkg" && return 1; }
  installed_by_us=no
  [ ! -e /usr/bin/mirzet ] || { echo "dpkg -r left /usr/bin/mirzet" && return 1; }
  [ ! -e /usr/share/man/man1/mirzet.1.gz ] || { echo "dpkg -r left the manual page" && return 1; }
  [ "$(dpkg-query -W -f '${db:Status-Status}' mirzet 2>/dev/null)" != installed ] ||
    { echo "dpkg still counts mirzet as installed" && return 1; }
}
check "dpkg -r removes the program and its page" removed

step "dpkg-buildpackage for other architectures"
# As Debian's build daemons meet the package, cross-built here: with the architecture's cross
# compiler, without the tests, which a build machine of another architecture cannot run.
cross_package() {  # cross_package ARCH: builds with no compiler warning, and lintian accepts it
  local arch=$1 dir=$scratch/cross-$1 deb
  copy_tree "$dir/mirzet"
  (cd "$dir/mirzet" && DEB_BUILD_OPTIONS="parallel=2 nocheck" \
    dpkg-buildpackage -us -uc -b -a "$arch" -Pnocheck) >"$dir.log" 2>&1 ||
    { show_tail "$dir.log" && return 1; }
  if grep -E ':[0-9]+(:[0-9]+)?: warning:|lto-wrapper: warning' "$dir.log"; then
    echo "the compiler warned" && return 1
  fi
  deb=$(ls "$dir"/mirzet_*_"$arch".deb) || return 1
  same "the package's architecture" "$arch" "$(dpkg-deb -f "$deb" Architecture)" || return 1
  # The C library of the architecture itself, not a library of this machine's built for it.
  dpkg-deb -f "$deb" Depends | grep -Eq '(^|, )libc6 \(' ||
    { echo "the package depends on $(dpkg-deb -f "$deb" Depends)" && return 1; }
  lintian --fail-on error,warning "$dir"/mirzet_*_"$arch".changes 2>&1 |
    sed '/^running with root privileges is not recommended!$/d'
}
for arch in "${cross_arches[@]}"; do
  check "the package cross-builds for $arch without the tests, and lintian accepts it" \
    cross_package "$arch"
done

finish
