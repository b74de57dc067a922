#!/bin/sh
# with_xvfb.sh COMMAND...: runs COMMAND with DISPLAY set to a private Xvfb,
# for tests that need a real X server (CI has no display).
set -eu
fd_file=$(mktemp)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$fd_file" >/dev/null 2>&1 &
server=$!
trap 'kill $server 2>/dev/null; rm -f "$fd_file"' EXIT
for _ in $(seq 100); do
  [ -s "$fd_file" ] && break
  sleep 0.1
done
DISPLAY=":$(head -n1 "$fd_file")"
export DISPLAY
"$@"
