# Shared helpers for the end-to-end tests. Source it from a *_test.sh script:
#   . "$(dirname "$0")/lib.sh"
# Environment (set by CTest): MORROWLINE_SFX, the built program;
# MORROWLINE_BUILD, the build tree; MORROWLINE_SOURCE, the source tree.
set -eu

: "${MORROWLINE_SFX:?run through ctest}"
SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/morrowline-e2e-XXXXXX")
XVFB_PID=""
FAILURES=0
CHECKS=0

cleanup() {
  if [ -n "$XVFB_PID" ]; then kill "$XVFB_PID" 2>/dev/null || true; fi
  chmod -R u+rwx "$SCRATCH" 2>/dev/null || true
  rm -rf "$SCRATCH"
}
trap cleanup EXIT

# check DESCRIPTION COMMAND...: runs the command, counts a failure if it fails.
check() {
  description=$1
  shift
  CHECKS=$((CHECKS + 1))
  if "$@"; then
    echo "ok - $description"
  else
    echo "FAILED - $description"
    FAILURES=$((FAILURES + 1))
  fi
}

# expect_eq DESCRIPTION EXPECTED ACTUAL
expect_eq() {
  CHECKS=$((CHECKS + 1))
  if [ "$2" = "$3" ]; then
    echo "ok - $1"
  else
    echo "FAILED - $1: expected [$2], got [$3]"
    FAILURES=$((FAILURES + 1))
  fi
}

# finish: last line of every script; the exit status is the verdict.
finish() {
  echo "$((CHECKS - FAILURES)) passed, $FAILURES failed"
  [ "$FAILURES" -eq 0 ]
}

# make_installer OUT ZIP: the program with ZIP appended, executable.
make_installer() {
  cat "$MORROWLINE_SFX" "$2" > "$1"
  chmod +x "$1"
}

# start_xvfb: starts a private X server and exports DISPLAY for it.
start_xvfb() {
  displayfd="$SCRATCH/.displayfd"
  rm -f "$displayfd"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$displayfd" >/dev/null 2>&1 &
  XVFB_PID=$!
  for _ in $(seq 100); do
    if [ -s "$displayfd" ]; then break; fi
    sleep 0.1
  done
  DISPLAY=":$(head -n1 "$displayfd")"
  export DISPLAY
}

# wait_for_window NAME [TIMEOUT_SECONDS]: prints the X window id of the
# first visible window with that exact name, or fails.
wait_for_window() {
  for _ in $(seq $((${2:-20} * 10))); do
    id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n1 || true)
    if [ -n "$id" ]; then
      echo "$id"
      return 0
    fi
    sleep 0.1
  done
  return 1
}

# wait_for_exit PID [TIMEOUT_SECONDS]: waits for a background child, sets
# EXIT_STATUS (124 when it had to be killed).
wait_for_exit() {
  for _ in $(seq $((${2:-20} * 10))); do
    if ! kill -0 "$1" 2>/dev/null; then
      EXIT_STATUS=0
      wait "$1" || EXIT_STATUS=$?
      return 0
    fi
    sleep 0.1
  done
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
  EXIT_STATUS=124
}
