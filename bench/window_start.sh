#!/bin/bash
# Start-up to the window: how long each installer program takes from exec
# to its mapped window, under a private Xvfb, in turns, N runs each (a
# one-file archive, in a fresh directory each run). Prints the median, the
# fastest and the slowest per program, and each median against the first
# program's. Run by hand; bench/README.md has the figures.
#   bench/window_start.sh [--runs N] PROGRAM...
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
runs=20
if [ "${1:-}" = --runs ]; then runs=$2; shift 2; fi
[ $# -ge 1 ] || { echo "usage: bench/window_start.sh [--runs N] PROGRAM..." >&2; exit 2; }
work=$(mktemp -d /tmp/morrowline-window-start-XXXXXX)
trap 'kill "${xvfb:-}" 2>/dev/null || true; rm -rf "$work"' EXIT
cc -O2 -o "$work/map_time" "$repo/bench/map_time.c" -lX11
printf 'hello\n' >"$work/hello.txt"
(cd "$work" && zip -q one.zip hello.txt)
i=0
for program in "$@"; do
  cat "$program" "$work/one.zip" >"$work/installer-$i"
  chmod +x "$work/installer-$i"
  i=$((i + 1))
done
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$work/display" >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$work/display")"
for round in $(seq "$runs"); do
  for i in $(seq 0 $(($# - 1))); do
    rm -rf "$work/run" && mkdir "$work/run"
    (cd "$work/run" && "$work/map_time" "$work/installer-$i") >>"$work/times-$i"
  done
done
i=0
for program in "$@"; do
  sort -n "$work/times-$i" | awk -v name="$program" -v n="$runs" '
    { t[NR] = $1 }
    END { median = (n % 2) ? t[(n + 1) / 2] : (t[n / 2] + t[n / 2 + 1]) / 2
          printf "%s: median %.1f ms, fastest %.1f, slowest %.1f (%d runs)\n", name, median, t[1], t[n], n }'
  i=$((i + 1))
done | tee "$work/summary"
awk 'NR == 1 { first = $3 } NR > 1 { printf "%s %.2fx the first\n", $1, $3 / first }' "$work/summary"
