# start_xvfb: starts a private X server, exports DISPLAY for it and sets
# XVFB_PID; the caller kills it. Sourced by the test helpers and by
# with_xvfb.sh. -noreset keeps the server from dropping a client that
# connects just as the previous one leaves.
start_xvfb() {
  xvfb_fd_file=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$xvfb_fd_file" \
    >/dev/null 2>&1 &
  XVFB_PID=$!
  for _ in $(seq 100); do
    if [ -s "$xvfb_fd_file" ]; then break; fi
    sleep 0.1
  done
  DISPLAY=":$(head -n1 "$xvfb_fd_file")"
  export DISPLAY
  rm -f "$xvfb_fd_file"
}
