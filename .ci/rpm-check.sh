#!/usr/bin/env bash
# Builds the RPM package from packaging/rpm/mirzet.spec with rpmbuild, as a distribution of the RPM
# family would, on this Debian machine, and checks it: the versions and the changelog agree with
# CMakeLists.txt and CHANGELOG.md, rpmlint finds no error in the build file or the package, the package
# holds the program, the page (compressed by rpm), the licence and the documents, the program taken
# out of it copies a file exactly, and two builds give the same bytes. The tree is built from a
# scratch copy (changes not yet committed included); the work tree is not touched.
#
# rpm's database here is empty and knows none of Debian's packages, so rpmbuild runs with --nodeps:
# the build dependencies (cmake, g++, GoogleTest) are Debian's, installed below.
#
# The last line is "rpm-check: N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$PWD
recipe=packaging/rpm/mirzet.spec  # the package's build file

. .ci/checks.sh
finish() {
  sums rpm-check
  exit
}

# The rpm tools, find-debuginfo's stripper, and what the package builds with.
need=()
command -v rpmbuild >/dev/null || need+=(rpm)
command -v rpmlint >/dev/null || need+=(rpmlint)
command -v rpm2cpio >/dev/null || need+=(rpm2cpio)
command -v cpio >/dev/null || need+=(cpio)
command -v eu-strip >/dev/null || need+=(elfutils)
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
[ -f /usr/lib/x86_64-linux-gnu/libgtest.a ] || need+=(libgtest-dev)
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-remove --no-install-recommends \
    "${need[@]}" >/dev/null
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

echo "== the build file"
version=$(sed -n 's/^project(mirzet VERSION \([^ )]*\).*/\1/p' CMakeLists.txt)
recipe_version=$(sed -n 's/^Version: *//p' "$recipe")
# The build file's changelog as "VERSION DATE" lines, newest first, and CHANGELOG.md's the same way.
recipe_log=$(sed -n '/^%changelog/,$s/^\* \(... ... .. ....\) .* - \([^ -]*\)-[^ ]*$/\2 \1/p' "$recipe" |
  while read -r v d; do echo "$v $(date -u -d "$d" +%F)"; done)
changelog=$(sed -n 's/^## \[\([^]]*\)\] - \(.*\)$/\1 \2/p' CHANGELOG.md)
check "the build file's Version is project()'s ($version)" same "Version" "$version" "$recipe_version"
check "the build file's %changelog has CHANGELOG.md's versions and dates" \
  same "the changelog" "$changelog" "$recipe_log"

# rpmlint's warnings that stay, each with why; any other warning, or any error, fails.
declare -A why=(
  [no-buildroot-tag]="rpm has ignored BuildRoot since 4.6; the family's guidelines drop it"
  [invalid-url]="Source0 is the tarball's name alone: no release is published at an address yet"
  [invalid-license]="Debian's rpmlint has no licence list; the family's own (SPDX) lists MIT"
  [manpage-not-compressed]="rpmlint's built-in default wants bzip2; rpm gzips pages, as the family's configurations expect"
  [no-manual-page-for-binary]="the same default: it looks for the page under a .bz2 name only"
)
lint() {  # lint [-r RPMLINTRC] FILE...: no error, and every warning one of those named above
  local out status=0 tag
  out=$(rpmlint "$@" 2>&1)
  grep -E '^[^ ]+: [EW]: ' <<<"$out" | sed 's/^/  /'
  grep -q ' 0 errors, ' <<<"$out" || status=1
  while read -r tag; do
    if [ -n "${why[$tag]:-}" ]; then
      echo "  left: $tag: ${why[$tag]}"
    else
      echo "  $tag is a warning no one has judged" && status=1
    fi
  done < <(sed -n 's/^[^ ]*: W: \([^ ]*\).*/\1/p' <<<"$out" | sort -u)
  return "$status"
}

# The source tarball, as Source0 names it: the files git knows of under mirzet-VERSION/.
mkdir -p "$scratch/src/mirzet-$version"
git -C "$root" ls-files -z --cached --others --exclude-standard |
  tar -C "$root" --null -T - --ignore-failed-read -c 2>/dev/null | tar -x -C "$scratch/src/mirzet-$version"

# What a build service of the family gives every build and Debian's rpm does not: debug packages
# (the program is stripped, its debug data moved out, source paths rewritten), brp-compress run by
# bash (Debian's /bin/sh lacks the `read -d` it uses, and the page would stay uncompressed),
# the packager, and time stamps and build host taken from SOURCE_DATE_EPOCH, which is the date of
# the build file's newest changelog entry.
cat >"$scratch/family.macros" <<'EOF'
%_enable_debug_packages 1
%install %{?_enable_debug_packages:%{?buildsubdir:%{debug_package}}}\
%%install\
%{nil}
%clamp_mtime_to_source_date_epoch 1
%use_source_date_epoch_as_buildtime 1
%_buildhost reproducible
%packager the mirzet authors <maintainers@mirzet.invalid>
EOF
post=$(rpm --eval '%{__os_install_post}' | sed -e 's/^ *//' -e '/^$/d' -e 's|^/usr/lib/rpm/brp-compress|bash &|' |
  paste -sd';')
export SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH=$(date -u -d "$(sed -n '/^%changelog/{n;s/^\* \(... ... .. ....\).*/\1/p}' "$recipe")" +%s)
build_rpm() {  # build_rpm NAME [OPTIONS]: rpmbuild -bb in the build tree, its packages to NAME/
  local top=$scratch/build
  rm -rf "$top"
  mkdir -p "$top/SOURCES"
  cp "$scratch/mirzet-$version.tar.gz" "$top/SOURCES/"
  cp "$root/$recipe" "$top/"
  (cd "$top" && rpmbuild -bb --nodeps --load "$scratch/family.macros" --define "_topdir $top" \
    --define '_smp_ncpus_max 2' --define "__os_install_post $post" "${@:2}" mirzet.spec) \
    >"$scratch/$1.log" 2>&1 || { tail -n 40 "$scratch/$1.log" && return 1; }
  mv "$top/RPMS" "$scratch/$1"
}

# Two builds from the one tarball, as unlike as a build service's allows: another time zone, locale
# and umask, and the second without the tests, which shows that they leave nothing in the package.
# Both build in the same place, as the family's build roots do: the build's path is in the debug
# data, which the build ID of the program is taken from.
echo "== rpmbuild -bb, twice"
tar -C "$scratch/src" -czf "$scratch/mirzet-$version.tar.gz" "mirzet-$version"
built=yes
check "the package builds, its tests run" build_rpm one || built=no
again() { (umask 0002 && TZ=Pacific/Kiritimati LC_ALL=C.UTF-8 build_rpm two --without check); }
check "the package builds again, without the tests" again || built=no
[ "$built" = yes ] || finish
ran_tests() {
  grep -E '^100% tests passed, 0 tests failed out of [1-9]' "$scratch/one.log" ||
    { echo "no passing test run in %check" && return 1; }
}
check "%check ran the unit tests" ran_tests

rpm=$scratch/one/$(uname -m)/mirzet-$version-1.$(uname -m).rpm
echo "== rpmlint"
# The build file and the package in one run, as rpmlint reads the rpmlintrc beside the build file
# and calls a filter that matches nothing in what it checks an error.
check "rpmlint finds no error in the build file and the package, and only the warnings named here" \
  lint -r packaging/rpm/mirzet.rpmlintrc "$recipe" "$rpm"

echo "== what the package holds"
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
page() {
  gzip -dc "$unpacked/usr/share/man/man1/mirzet.1.gz" | cmp - "$scratch/src/mirzet-$version/man/mirzet.1"
}
check "the page in the package is man/mirzet.1, gzipped" page
stripped() { ! file "$unpacked/usr/bin/mirzet" | grep -q 'not stripped'; }
check "the program in the package is stripped, its debug data in mirzet-debuginfo" stripped

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
