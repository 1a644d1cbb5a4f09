#!/usr/bin/env bash
# The program tests with every run of the program under valgrind: an invalid access, a use of an
# uninitialised value or a leak fails the run.
#
# The tests start the program by its built path, so a script takes its place there and runs the
# real binary under valgrind. Each run logs to its own file; a run whose expected status is 1 would
# hide valgrind's exit code 1, so any non-empty log fails too. The endless-input test is left out:
# it measures the process's resident memory, which under valgrind is valgrind's.
set -euo pipefail
cd "$(dirname "$0")/.."

command -v valgrind >/dev/null || { apt-get update -qq && apt-get install -y -qq valgrind >/dev/null; }

build=build/valgrind
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DMIRZET_WERROR=ON >/dev/null
rm -f "$build/mirzet"  # the script of an earlier run; build the real program again
cmake --build "$build" -j2 --target mirzet program_test program_faults_test
mv "$build/mirzet" "$build/mirzet.real"

logs=$(realpath "$build")/valgrind-logs
rm -rf "$logs" && mkdir -p "$logs"
# The log goes through a descriptor opened here, far above the standard ones: a log file opened by
# valgrind itself would take the lowest free number, which is standard output when a test closed it.
cat >"$build/mirzet" <<EOF
#!/bin/sh
exec 9>"$logs/\$\$.log"
exec valgrind -q --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \\
  --show-leak-kinds=definite,indirect --log-fd=9 $(realpath "$build")/mirzet.real "\$@"
EOF
chmod +x "$build/mirzet"

status=0
"$build/tests/program_test" || status=1
"$build/tests/program_faults_test" --gtest_filter=-*EndlessInput* || status=1
runs=$(find "$logs" -name '*.log' | wc -l)
for log in "$logs"/*.log; do
  if [ -s "$log" ]; then
    echo "valgrind reported on $log:" && cat "$log"
    status=1
  fi
done
echo "valgrind: $runs runs of the program checked"
exit $status
