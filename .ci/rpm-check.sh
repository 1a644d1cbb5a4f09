#!/usr/bin/env bash
# Builds the RPM package from packaging/rpm/mirzet.spec with rpmbuild on this Debian machine, as a
# build service of the RPM family would, and checks it as the family's reviewers do:
#   - the build file's Version is project()'s, its newest %changelog entry is this package release
#     and no release has two, and the comment above Source0 says how the tarball is made;
#   - the tarball is made that way, with git archive from the commit checked out (changes not yet
#     committed are not in it, as they would not be in a release);
#   - the build runs as an unprivileged user, in a session with no terminal and standard input
#     /dev/null, with the family's compiler flags (.ci/rpm/family.macros, which also fills in what
#     Debian's rpm lacks), and %check runs every test;
#   - the build honours those flags: nothing of the project's overrides their -O2 or their
#     link-time optimisation, and the packager's opt-outs of the latter work;
#   - rpmlint, with the settings of .ci/rpm/rpmlint.toml and no filter, on the source package and
#     every binary package, debuginfo and debugsource included: no error but the missing signature,
#     and each warning one named below with its reason;
#   - the package holds the program, the page (compressed by rpm), the licence and the documents,
#     and the program taken out of it copies a file exactly;
#   - two builds, as unlike as a build service's allow, give the same bytes.
#
# rpm's database here is empty and knows none of Debian's packages, so rpmbuild runs with --nodeps:
# the build dependencies (cmake, g++, GoogleTest) are Debian's, installed below. Needs root only to
# install them and to build as another user; run by another user, it builds as that user.
#
# The last line is "rpm-check: N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$PWD

. .ci/checks.sh
finish() {
  sums rpm-check
  exit
}

# The rpm tools, find-debuginfo's stripper, and what the package builds with, from .ci/install.
tools() {
  local tool missing=()
  for tool in rpmbuild rpmlint rpm2cpio cpio eu-strip cmake g++ git; do
    command -v "$tool" >/dev/null || missing+=("$tool")
  done
  [ -f /usr/include/gtest/gtest.h ] || missing+=(GoogleTest)
  [ ${#missing[@]} -eq 0 ] || { echo "missing: ${missing[*]} (bash .ci/install)" && return 1; }
}
check "the tools are here" tools || finish

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
chmod 755 "$scratch"

# The version, and the tarball as the build file's comment says to make it.
version=$(git show HEAD:CMakeLists.txt | sed -n 's/^project(mirzet VERSION \([^ )]*\).*/\1/p')
tarball=mirzet-$version.tar.gz
archive=(git archive --format=tar.gz "--prefix=mirzet-$version/" -o "$tarball" HEAD)
echo "== the source tarball"
echo "from commit $(git rev-parse HEAD): ${archive[*]}"
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  echo "(the work tree has changes not yet committed: they are not in the tarball)"
fi
git archive --format=tar.gz "--prefix=mirzet-$version/" -o "$scratch/$tarball" HEAD ||
  { flunk "git archive makes the tarball" && finish; }
tar -C "$scratch" -xzf "$scratch/$tarball"
src=$scratch/mirzet-$version
recipe=$src/packaging/rpm/mirzet.spec

echo "== the build file"
field() { sed -n "s/^$1: *//p" "$recipe"; }
check "the build file's Version is project()'s ($version)" same "Version" "$version" "$(field Version)"
release=$(field Release | sed 's/%{?dist}$//')
changelog() {  # the newest entry is VERSION-RELEASE, and no package release has two entries
  local releases
  releases=$(sed -n '/^%changelog/,$s/^\* .* - \([^ ]*\)$/\1/p' "$recipe")
  printf '%s\n' "$releases" | sed 's/^/  /'
  same "the newest %changelog entry" "$version-$release" "$(head -n 1 <<<"$releases")" || return 1
  [ -z "$(sort <<<"$releases" | uniq -d)" ] || { echo "a release with two entries" && return 1; }
}
check "the build file's %changelog: the newest entry is $version-$release, one entry a release" changelog
source_comment() {
  grep -qF "#   ${archive[*]}" "$recipe" ||
    { echo "the comment does not say: ${archive[*]}" && return 1; }
  same "Source0" "%{name}-%{version}.tar.gz" "$(field Source0)"
}
check "the comment above Source0 says how the tarball is made, as this check makes it" source_comment

# rpmbuild in a build tree of its own, with the family's macros, as an unprivileged user in a new
# session with no terminal and no standard input, and an environment of its own.
if [ "$(id -u)" -eq 0 ]; then
  as_builder=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
else
  as_builder=()
fi
cp "$root/.ci/rpm/family.macros" "$scratch/"
export SOURCE_DATE_EPOCH
# SOURCE_DATE_EPOCH is the date of the build file's newest changelog entry, as the family's
# build services take it.
SOURCE_DATE_EPOCH=$(date -u -d "$(sed -n '/^%changelog/{n;s/^\* \(... ... .. ....\).*/\1/p}' "$recipe")" +%s)
build_rpm() {  # build_rpm NAME WHAT [OPTIONS]: rpmbuild WHAT, its packages to NAME/, its log to NAME.log
  local top=$scratch/tree
  rm -rf "$top"
  mkdir -p "$top/SOURCES" "$top/home"
  cp "$scratch/$tarball" "$top/SOURCES/"
  cp "$recipe" "$top/"
  [ ${#as_builder[@]} -eq 0 ] || chown -R nobody:nogroup "$top"
  "${as_builder[@]}" env -i HOME="$top/home" PATH=/usr/bin:/bin SOURCE_DATE_EPOCH="$SOURCE_DATE_EPOCH" \
    TZ="${TZ:-UTC}" LC_ALL="${LC_ALL:-C}" setsid --wait sh -c '
      echo "building as $(id -un), uid $(id -u), standard input: $(tty)"
      cd "$1" && shift && exec rpmbuild --nodeps --load "$0" --define "_topdir $PWD" \
        --define "_smp_ncpus_max 2" "$@" mirzet.spec' \
    "$scratch/family.macros" "$top" "${@:2}" </dev/null >"$scratch/$1.log" 2>&1 ||
    { tail -n 40 "$scratch/$1.log" && return 1; }
  head -n 1 "$scratch/$1.log"
  mkdir -p "$scratch/$1"
  mv "$top"/RPMS/* "$top"/SRPMS/* "$scratch/$1/" 2>/dev/null
  return 0
}

# Two builds from the one tarball, as unlike as a build service's allows: another time zone, locale
# and umask, and the second without the tests, which shows that they leave nothing in the package.
# Both build in the same place, as the family's build roots do: the build's path is in the debug
# data, which the build ID of the program is taken from. The source package on its own, as a
# build service makes it first.
echo "== rpmbuild: the source package, and the binary packages twice"
built=yes
check "the source package builds" build_rpm src -bs || built=no
check "the binary packages build, every test run" build_rpm one -bb || built=no
again() { (umask 0002 && TZ=Pacific/Kiritimati LC_ALL=C.UTF-8 build_rpm two -bb --without check); }
check "the binary packages build again, without the tests" again || built=no
[ "$built" = yes ] || finish

every_test() {  # every test ran and passed: the unit tests and the program's
  local log=$scratch/one.log
  grep -E '^100% tests passed, 0 tests failed out of [1-9]' "$log" ||
    { echo "no passing test run in %check" && return 1; }
  sed -n '/^Label Time Summary:/,/^$/p' "$log" | sed '/^$/d'
  ! grep -q 'The following tests did not run' "$log" || { echo "tests were skipped" && return 1; }
  grep -Eq '^program +=' "$log" && grep -Eq '^unit +=' "$log" ||
    { echo "%check did not run both the unit tests and the program's" && return 1; }
}
check "%check ran every test, as an unprivileged user with no terminal" every_test

echo "== the build honours the packager"
flags_kept() {  # the compiles carry the family's -O2 and LTO flags, and nothing overrides them
  local compiles
  compiles=$(grep -E '/(c\+\+|g\+\+|cc|gcc) .* -c ' "$scratch/one.log")
  [ -n "$compiles" ] || { echo "no compile command in the build's log" && return 1; }
  ! grep -v -- '-O2 -flto=auto -ffat-lto-objects' <<<"$compiles" | grep -m1 . ||
    { echo "a compile without the family's flags" && return 1; }
  ! grep -Eo -- ' (-O[013s]|-Ofast|-fno-fat-lto-objects|-fno-lto)( |$)' <<<"$compiles" | sort -u | grep . ||
    { echo "the build overrides the family's flags with those" && return 1; }
}
check "every compile has the family's -O2 -flto=auto -ffat-lto-objects, and nothing after them overrides it" \
  flags_kept
lto_in() {  # lto_in DIR: the LTO options that the configured build's compiles and link carry
  cat "$1/compile_commands.json" "$1/CMakeFiles/mirzet.dir/link.txt" | grep -oE -- '-f(no-)?lto[^ "]*' |
    sort -u | paste -sd' '
}
opt_outs() {  # configured as a packager who turns LTO off would: no -flto anywhere
  local flags
  flags=$(rpm --load "$scratch/family.macros" --define '_lto_cflags %{nil}' --eval '%{build_cxxflags}')
  CFLAGS=$flags CXXFLAGS=$flags cmake -S "$src" -B "$scratch/no-lto-flags" -DMIRZET_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=Release >/dev/null || return 1
  same "the LTO options with %define _lto_cflags %{nil}" "" "$(lto_in "$scratch/no-lto-flags")" || return 1
  cmake -S "$src" -B "$scratch/no-lto-option" -DMIRZET_TESTS=OFF -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF >/dev/null || return 1
  same "the LTO options with -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF" "" "$(lto_in "$scratch/no-lto-option")"
}
check "%define _lto_cflags %{nil} and -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF each build without LTO" opt_outs

echo "== rpmlint"
# rpmlint's findings that stay, each with its reason; any other warning, or any error but the
# signature, fails. Keyed by the package's kind (spec, src, the program's, debuginfo, debugsource)
# and the finding.
declare -A why=(
  ["* E no-signature"]="the distribution's build service signs packages with its key after the build; a local build has none"
  ["spec W no-buildroot-tag"]="rpm has set the build root itself since 4.6, and the family's guidelines drop the tag; rpmlint 2.4 still asks for it"
  ["spec W invalid-url"]="Source0 is a file name, not a URL: no release tarball is published; the comment above it says how it is made, as the guidelines ask of such a source"
  ["bin W no-manual-page-for-binary"]="rpmlint 2.4 records each page's section (1) rather than its name, so it finds no page for any program; mirzet.1.gz is in the package"
  ["debuginfo W unstripped-binary-or-object"]="the file is the program's debug data, split off by find-debuginfo: keeping it is the package's purpose"
  ["debuginfo W dangling-relative-symlink"]="the build-ID link points to the program's own build-ID link, which is in the mirzet package, not in debuginfo"
  ["debuginfo W no-documentation"]="debug data only, as the family's debuginfo packages are"
  ["debugsource W no-documentation"]="the program's sources only, as the family's debugsource packages are"
)
kind() {  # kind PACKAGE: spec, src, bin, debuginfo or debugsource
  case $1 in
    *.spec) echo spec ;;
    *.src) echo src ;;
    *-debuginfo.*) echo debuginfo ;;
    *-debugsource.*) echo debugsource ;;
    *) echo bin ;;
  esac
}
lint() {  # lint FILE...: no error but the signature, and every warning one of those named above
  local out status=0 package level tag rest key seen=" "
  out=$(rpmlint -c "$root/.ci/rpm/rpmlint.toml" "$@" 2>&1)
  sed -n 's/^ *\([0-9]* packages and .*\)/  \1/p' <<<"$out"
  while read -r package level tag rest; do
    package=${package%:} level=${level%:}
    key="$(kind "$package") $level $tag"
    [ -n "${why[$key]:-}" ] || key="* $level $tag"
    echo "  $package: $level: $tag $rest"
    if [ -z "${why[$key]:-}" ]; then
      echo "    no one has judged this finding" && status=1
    elif [[ $seen != *" $key "* ]]; then
      echo "    left: ${why[$key]}"
      seen+="$key "
    fi
  done < <(grep -E '^[^ ]+: [EW]: ' <<<"$out")
  return "$status"
}
packages=("$scratch"/src/*.src.rpm "$scratch"/one/*/*.rpm)
check "rpmlint on the source package and every binary package: no error but the signature, each warning judged" \
  lint "${packages[@]}"

rpm=$scratch/one/$(uname -m)/mirzet-$version-$release.$(uname -m).rpm
echo "== what the packages hold"
holds() {
  local list licences docs doc file
  list=$(rpm -qlp "$rpm")
  echo "$list" | sed 's/^/  /'
  same "License" MIT "$(rpm -qp --qf '%{LICENSE}' "$rpm")" || return 1
  for file in /usr/bin/mirzet /usr/share/man/man1/mirzet.1.gz; do
    grep -qx "$file" <<<"$list" || { echo "the package lacks $file" && return 1; }
  done
  # Taken whole before grep reads them: grep -q stops early, and rpm's broken pipe would fail them.
  licences=$(rpm -qLp "$rpm")
  docs=$(rpm -qdp "$rpm")
  grep -q '/LICENSE$' <<<"$licences" || { echo "LICENSE is not the %license" && return 1; }
  for doc in README.md CHANGELOG.md; do
    grep -q "/$doc\$" <<<"$docs" || { echo "$doc is not a %doc" && return 1; }
  done
}
check "rpm -qlp lists the program and the page; LICENSE is the %license, README and CHANGELOG %doc" holds
debug_packages() {  # the program's debug data in -debuginfo, its sources in -debugsource
  local debuginfo debugsource
  debuginfo=$(rpm -qlp "${rpm/mirzet-$version/mirzet-debuginfo-$version}") &&
    debugsource=$(rpm -qlp "${rpm/mirzet-$version/mirzet-debugsource-$version}") || return 1
  grep -E '^/usr/lib/debug/usr/bin/mirzet.*\.debug$' <<<"$debuginfo" | sed 's/^/  /' ||
    { echo "debuginfo lacks the program's debug file" && return 1; }
  grep -E '/textio/streams\.cpp$' <<<"$debugsource" | sed 's/^/  /' ||
    { echo "debugsource lacks the sources" && return 1; }
}
check "mirzet-debuginfo holds the program's debug file, mirzet-debugsource its sources" debug_packages

# Taken out of the package into a scratch root, as rpm would install them.
unpacked=$scratch/root
mkdir -p "$unpacked"
(cd "$unpacked" && rpm2cpio "$rpm" | cpio -idm --quiet)
copies() {
  local program=$unpacked/usr/bin/mirzet out=$scratch/out status
  printf 'a\r\nb\nlast' >"$scratch/in.txt"
  status=0 && "$program" "$scratch/in.txt" >"$out" || status=$?
  same "the sample's copy" "$(printf 'a\r\nb\r\nlast' | od -c)" "$(od -c "$out")" &&
    same "its status" 0 "$status" || return 1
  printf 'one\r\ntwo\r\n\032junk' >"$scratch/old.txt"
  status=0 && "$program" "$scratch/old.txt" >"$out" || status=$?
  same "a copy up to Ctrl-Z" "$(printf 'one\r\ntwo\r\n' | od -c)" "$(od -c "$out")" &&
    same "its status" 0 "$status" || return 1
  status=0 && "$program" "$scratch/missing" >"$out" || status=$?
  same "a missing file" "$(printf 'Cannot find file %s \r\n' "$scratch/missing" | od -c)" \
    "$(od -c "$out")" && same "its status" 1 "$status"
}
check "the program out of rpm2cpio | cpio copies files exactly" copies
page() { gzip -dc "$unpacked/usr/share/man/man1/mirzet.1.gz" | cmp - "$src/man/mirzet.1"; }
check "the page in the package is man/mirzet.1, gzipped" page
hardened() {  # stripped, position-independent, with full RELRO
  local program=$unpacked/usr/bin/mirzet
  file "$program" | sed "s|$unpacked||"
  ! file "$program" | grep -q 'not stripped' || { echo "not stripped" && return 1; }
  readelf -lW "$program" | grep -q GNU_RELRO && readelf -dW "$program" | grep -q 'FLAGS.*BIND_NOW' ||
    { echo "no full RELRO" && return 1; }
  readelf -dW "$program" | grep -q 'FLAGS_1.*PIE' || { echo "not position-independent" && return 1; }
}
check "the program in the package is stripped, position-independent, with full RELRO" hardened

echo "== reproducible"
reproducible() {
  local one two status=0
  for one in "$scratch"/one/*/*.rpm; do
    two=$scratch/two/${one#"$scratch"/one/}
    sha256sum "$one" "$two" | sed "s|$scratch/||"
    cmp "$one" "$two" || status=1
  done
  [ -e "$one" ] && return "$status"
}
check "the two builds give the same bytes (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH)" reproducible

finish
