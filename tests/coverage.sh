#!/usr/bin/env bash
# Line and branch coverage of textio/, platform/ and runtime/ by every test, with gcov and gcovr:
# builds the coverage preset in build/coverage, runs the tests, prints the summary and writes an
# HTML report to build/coverage/html/index.html. Fails below 95% of lines.
set -euo pipefail
cd "$(dirname "$0")/.."

command -v gcovr >/dev/null || { echo "coverage: gcovr is missing (bash .ci/install)" >&2; exit 1; }

build=build/coverage
cmake --preset coverage >/dev/null
find "$build" -name '*.gcda' -delete  # counts of an earlier run
# The program run as nobody keeps its counts under /tmp: those of an earlier build at this path
# differ in checksum, and the program would complain of them on its standard error.
rm -rf /tmp/mirzet-nobody-gcov
cmake --build --preset coverage -j2
ctest --test-dir "$build" -j2 --output-on-failure >"$build/ctest.log" || {
  tail -30 "$build/ctest.log"
  exit 1
}
grep -E "tests passed, [0-9]+ tests? failed" "$build/ctest.log"

mkdir -p "$build/html"
gcovr --root . --object-directory "$build" \
  --filter 'textio/' --filter 'platform/' --filter 'runtime/' \
  --exclude-unreachable-branches --exclude-throw-branches --fail-under-line 95 \
  --html-details "$build/html/index.html" --print-summary --txt "$build/coverage.txt"
cat "$build/coverage.txt"
