#!/bin/sh
# with_xvfb.sh COMMAND...: runs COMMAND with DISPLAY set to a private Xvfb,
# for tests that need a real X server (CI has no display).
set -eu
. "$(dirname "$0")/xvfb.sh"
start_xvfb
trap 'kill $XVFB_PID 2>/dev/null' EXIT
"$@"
