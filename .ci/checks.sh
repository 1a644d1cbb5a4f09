# The counter that CI's bash scripts share (sourced, not run): each check passes or fails once,
# and the script ends with the sums in the line .ci/run reads, `NAME: N passed, N failed` (and
# `, N skipped` when a check could not run).
passed=0
failed=0
skipped=0
pass() { echo "ok: $*"; passed=$((passed + 1)); }
flunk() { echo "FAIL: $*"; failed=$((failed + 1)); }
verdict() {  # verdict STATUS WHAT: passes or fails WHAT by a command's status
  if [ "$1" -eq 0 ]; then pass "$2"; else flunk "$2"; fi
}
check() {  # check WHAT COMMAND...: one counted check, with the command's success as its status
  local what=$1
  shift
  if "$@"; then pass "$what"; else flunk "$what" && return 1; fi
}
same() {  # same WHAT WANT GOT
  [ "$2" = "$3" ] && return 0
  printf '%s: wanted\n%s\ngot\n%s\n' "$1" "$2" "$3"
  return 1
}
sums() {  # sums NAME: the closing line, and a status of 0 only when no check failed
  if [ "$skipped" -eq 0 ]; then
    echo "$1: $passed passed, $failed failed"
  else
    echo "$1: $passed passed, $failed failed, $skipped skipped"
  fi
  [ "$failed" -eq 0 ]
}
