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

# start_xvfb (from tests/xvfb.sh): a private X server for this script;
# cleanup() stops it.
. "$(dirname "${BASH_SOURCE[0]}")/../xvfb.sh"

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

# ---- Helpers for the GUI tests (window, autorun, run) ----

# gui_zip [-0] OUT COMMENT DIR NAME...: writes the ZIP OUT holding the files
# DIR/NAME, in that order, under the names NAME (deflated, or stored with
# -0), with exactly COMMENT as the archive comment (bytes as given).
gui_zip() {
  local method=deflated
  if [ "$1" = -0 ]; then method=stored; shift; fi
  python3 - "$method" "$@" <<'EOF'
import os, sys, zipfile
method, out, comment, top = sys.argv[1:5]
kind = zipfile.ZIP_STORED if method == "stored" else zipfile.ZIP_DEFLATED
with zipfile.ZipFile(out, "w", kind) as z:
    for name in sys.argv[5:]:
        z.write(os.path.join(top, name), name)
    z.comment = os.fsencode(comment)
EOF
}

# gui_start LOG DIR PROGRAM [ARGS...]: starts PROGRAM in the background with
# DIR as working directory, stderr to LOG and stdout to LOG.out, under a
# 120 s timeout as a guard; GUI_PID is its process id (see wait_for_exit).
gui_start() {
  local log=$1 dir=$2
  shift 2
  (cd "$dir" && exec timeout 120 "$@") >"$log.out" 2>"$log" </dev/null &
  GUI_PID=$!
}

# gui_hold_display: call right after start_xvfb. Keeps one client connected
# to the server until the server stops: an X server with no client left
# resets itself, and a program connecting during that reset is dropped
# ("Can't open display"), which would make runs fail now and then.
gui_hold_display() {
  xprop -root -spy _NET_WM_NAME >"$SCRATCH/.hold" 2>&1 </dev/null &
  gui_wait_for test -s "$SCRATCH/.hold"
}

# gui_alive PID: succeeds while that process runs.
gui_alive() {
  kill -0 "$1" 2>/dev/null
}

# gui_wait_for COMMAND...: retries COMMAND every 0.1 s until it succeeds;
# fails after GUI_WAIT seconds (default 20).
gui_wait_for() {
  local i
  for i in $(seq $((${GUI_WAIT:-20} * 10))); do
    if "$@"; then return 0; fi
    sleep 0.1
  done
  return 1
}

# gui_screenshot WINDOW FILE: saves what the window shows now as FILE (PNG);
# fails when the window is gone (import would wait forever for it).
gui_screenshot() {
  timeout 10 xwininfo -id "$1" >/dev/null 2>&1 || return 1
  timeout 20 import -window "$1" "$2" 2>/dev/null
}

# gui_pixel FILE X Y: prints the colour of one pixel of FILE as R,G,B (0-255).
gui_pixel() {
  convert "$1" -crop "1x1+$2+$3" -depth 8 txt:- 2>/dev/null |
    sed -n '2s/^[^(]*(\([0-9]*\),\([0-9]*\),\([0-9]*\).*/\1,\2,\3/p'
}

# gui_dark_pixels FILE GEOMETRY: prints how many pixels of the region
# GEOMETRY (WxH+X+Y) of FILE are darker than a quarter of full brightness.
gui_dark_pixels() {
  convert "$1" -crop "$2" +repage -colorspace gray -threshold 25% \
    -format '%[fx:round(w*h*(1-mean))]' info: 2>/dev/null
}

# gui_fechar_active WINDOW: succeeds when the "Fechar" button's label is
# drawn as an active one (black text; an inactive label is grey).
gui_fechar_active() {
  gui_screenshot "$1" "$SCRATCH/.fechar.png" || return 1
  [ "$(gui_dark_pixels "$SCRATCH/.fechar.png" 120x21+467+102)" -gt 20 ]
}

# gui_window_pixel_is WINDOW X Y R,G,B: succeeds when that pixel of the
# window shows that colour now.
gui_window_pixel_is() {
  gui_screenshot "$1" "$SCRATCH/.pixel.png" || return 1
  [ "$(gui_pixel "$SCRATCH/.pixel.png" "$2" "$3")" = "$4" ]
}

# gui_click WINDOW X Y: moves the pointer to X,Y in the window and clicks
# the left button there.
gui_click() {
  timeout 10 xdotool mousemove --window "$1" "$2" "$3" click 1 >/dev/null 2>&1 || true
}

# gui_key WINDOW KEY: sends a key press to the window.
gui_key() {
  timeout 10 xdotool keydown --window "$1" "$2" >/dev/null 2>&1 || true
}

# gui_wm_close WINDOW: asks the window to close as a window manager's close
# button does (a WM_PROTOCOLS client message carrying WM_DELETE_WINDOW).
gui_wm_close() {
  timeout 20 python3 - "$1" <<'EOF'
import ctypes, sys
x = ctypes.CDLL("libX11.so.6")
x.XOpenDisplay.restype = ctypes.c_void_p
x.XOpenDisplay.argtypes = [ctypes.c_char_p]
x.XInternAtom.restype = ctypes.c_ulong
x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]
class Event(ctypes.Union):
    _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]
x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int,
                         ctypes.c_long, ctypes.POINTER(Event)]
x.XFlush.argtypes = [ctypes.c_void_p]
x.XCloseDisplay.argtypes = [ctypes.c_void_p]
display = x.XOpenDisplay(None)
if not display:
    sys.exit("gui_wm_close: cannot open display")
window = int(sys.argv[1], 0)
event = Event()
event.xclient.type = 33  # ClientMessage
event.xclient.window = window
event.xclient.message_type = x.XInternAtom(display, b"WM_PROTOCOLS", 0)
event.xclient.format = 32
event.xclient.data[0] = x.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
if not x.XSendEvent(display, window, 0, 0, ctypes.byref(event)):
    sys.exit("gui_wm_close: XSendEvent failed")
x.XFlush(display)
x.XCloseDisplay(display)
EOF
}

# gui_window_gone NAME: succeeds when no visible window has that name.
gui_window_gone() {
  [ -z "$(timeout 10 xdotool search --onlyvisible --name "^$1\$" 2>/dev/null || true)" ]
}

# ---- Helpers for the loading and extraction tests ----

# sfx_run DIR COMMAND...: runs COMMAND (an installer, or a wrapper that
# execs one) with DIR as working directory under a 30 s limit, stdout and
# stderr captured. Once the run has reported an error on stderr while its
# window stays open, Escape is sent to that window so that it ends.
# Sets RUN_STATUS, RUN_STDOUT and RUN_STDERR.
sfx_run() {
  local dir=$1 out="$SCRATCH/.sfx_run.out" err="$SCRATCH/.sfx_run.err" pid window i
  shift
  (cd "$dir" && exec timeout 30 "$@") >"$out" 2>"$err" </dev/null &
  pid=$!
  for i in $(seq 400); do
    if ! kill -0 "$pid" 2>/dev/null; then break; fi
    if [ -s "$err" ] && [ -n "${DISPLAY:-}" ]; then
      for window in $(xdotool search --onlyvisible --name '^Morrowline SFX Tool$' 2>/dev/null); do
        xdotool key --window "$window" Escape >/dev/null 2>&1 || true
      done
    fi
    sleep 0.1
  done
  RUN_STATUS=0
  wait "$pid" || RUN_STATUS=$?
  RUN_STDOUT=$(cat "$out")
  RUN_STDERR=$(cat "$err")
}

# sfx_expect DESCRIPTION STATUS STDERR: checks the last sfx_run's exit
# status and its whole stderr ("" for none) in one ok/FAILED line.
sfx_expect() {
  expect_eq "$1" "status $2, stderr [$3]" "status $RUN_STATUS, stderr [$RUN_STDERR]"
}

# sfx_expect_like DESCRIPTION STATUS PATTERN: as sfx_expect, with stderr
# matched against a shell glob PATTERN.
sfx_expect_like() {
  CHECKS=$((CHECKS + 1))
  # shellcheck disable=SC2254
  case "$RUN_STATUS:$RUN_STDERR" in
    "$2:"$3)
      echo "ok - $1" ;;
    *)
      echo "FAILED - $1: expected status $2, stderr like [$3], got status $RUN_STATUS, stderr [$RUN_STDERR]"
      FAILURES=$((FAILURES + 1)) ;;
  esac
}

# sfx_tree DIR: one sorted line per entry below DIR: "TYPE MODE SIZE PATH"
# (find's %y %m %s %P; a directory's size is shown as "-").
sfx_tree() {
  (cd "$1" && find . -mindepth 1 -printf '%y %m %s %P\n') |
    sed -E 's/^d ([0-7]+) [0-9]+ /d \1 - /' | LC_ALL=C sort
}

# snapshot DIR: every entry below DIR with type, mode, size and contents.
snapshot() {
  sfx_tree "$1"
  (cd "$1" && find . -type f -exec md5sum {} + | LC_ALL=C sort)
}

# no_debris DIR: nothing hidden of ours is left below DIR.
no_debris() {
  [ -z "$(find "$1" -name '.morrowline-*')" ]
}

# gui_launch DIR ZIP LABEL [INSTALLER]: makes $SCRATCH/bin/INSTALLER (default
# DIR) from ZIP, starts it in the new directory $SCRATCH/DIR with stderr in
# $SCRATCH/DIR.err, and checks that its window appears; LAUNCHED_WINDOW is
# the window's id, empty when none came.
gui_launch() {
  installer="$SCRATCH/bin/${4:-$1}"
  make_installer "$installer" "$2"
  mkdir "$SCRATCH/$1"
  gui_start "$SCRATCH/$1.err" "$SCRATCH/$1" "$installer"
  LAUNCHED_WINDOW=$(wait_for_window "Morrowline SFX Tool" 20 || true)
  check "$3: the window appears" test -n "$LAUNCHED_WINDOW"
}

# ---- Helpers for the tests that act on a run: closing, signals, mounts ----

# make_run_installers: good.run, big.run (a 1 GiB member last, long enough
# to act in the middle of it) and damaged.run (the last member's CRC-32
# wrong) in the working directory, each with an autorun command.
make_run_installers() {
  python3 - <<'EOF'
import zipfile

def write(path, members, comment=b"$AUTORUN$>touch autorun-ran"):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data, mode in members:
            info = zipfile.ZipInfo(name, (2020, 2, 3, 4, 5, 6))
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = mode << 16
            if callable(data):
                with z.open(info, "w") as member:
                    data(member)
            else:
                z.writestr(info, data)
        z.comment = comment

tree = [("pkg/", b"", 0o40700), ("pkg/a.txt", b"new a\n", 0o100644),
        ("pkg/lib/", b"", 0o40755), ("pkg/lib/b.txt", b"new b\n", 0o100644)]
write("good.zip", tree)
def zeros(member):  # 1 GiB: long enough to act in the middle of it
    block = bytes(1 << 20)
    for _ in range(1024):
        member.write(block)
write("big.zip", tree + [("pkg/big.bin", zeros, 0o100644)])
write("damaged.zip", tree + [("pkg/z.txt", b"DAMAGE-ME " * 50, 0o100644)])
data = bytearray(open("damaged.zip", "rb").read())
data[data.rfind(b"PK\x01\x02") + 16] ^= 1  # the last member's CRC-32
open("damaged.zip", "wb").write(data)
EOF
  for zip in good big damaged; do make_installer "$zip.run" "$zip.zip"; done
}
NEW_TREE="d 700 - pkg|d 755 - pkg/lib|f 644 6 pkg/a.txt|f 644 6 pkg/lib/b.txt"

# with_old_tree DIR: DIR holds an older pkg/ with the user's own file.
with_old_tree() {
  mkdir -p "$1/pkg/lib"
  printf 'old a\n' >"$1/pkg/a.txt"
  printf 'my own notes\n' >"$1/pkg/notes.txt"
  printf 'old b\n' >"$1/pkg/lib/b.txt"
}

# new_tree DIR: the good archive's tree, autorun mark aside.
new_tree() {
  sfx_tree "$1" | grep -v autorun-ran | paste -sd'|'
}

# start_run DIR INSTALLER: starts $SCRATCH/INSTALLER in DIR in the
# background, through the command words in RUN_WITH if any, stderr in
# DIR.err; RUN_PID is the installer's own process (wait_for_exit ends it
# should it hang).
RUN_WITH=()
start_run() {
  (cd "$1" && exec "${RUN_WITH[@]}" "$SCRATCH/$2") >"$1.out" 2>"$1.err" </dev/null &
  RUN_PID=$!
}

# in_big_member DIR: the run in DIR is writing pkg/big.bin in its staging.
in_big_member() {
  GUI_WAIT=30 gui_wait_for sh -c 'test -s "$1"/.morrowline-*.new/big.bin' - "$1"
}

# window_of_run: the id of the one progress window now shown.
window_of_run() {
  wait_for_window "Morrowline SFX Tool" 20 || true
}

# stopped_cleanly LABEL DIR STATUS STDERR BEFORE: the run ended with STATUS
# and that one line, left the old tree (BEFORE) or no pkg/ at all as it
# was, nothing hidden and no autorun.
stopped_cleanly() {
  expect_eq "$1: status and message" "status $3, stderr [$4]" "status $EXIT_STATUS, stderr [$(cat "$2.err")]"
  expect_eq "$1: the old tree is as it was" "$5" "$(snapshot "$2")"
  check "$1: nothing hidden left" no_debris "$2"
}

# ---- Helpers for the tests that run installers on other machines: an
# older userland, another architecture (RUN_WITH says how) ----

# times_and_modes DIR: every entry's mode and modification time (in whole
# seconds, as an archive keeps them) below DIR.
times_and_modes() {
  (cd "$1" && find . -mindepth 1 -printf '%m %TY-%Tm-%Td %TT %P\n' | sed 's/\.[0-9]* / /' |
    LC_ALL=C sort)
}

# check_runs_per_method METHOD...: for each METHOD, packs src/pkg into
# METHOD.run (with the packer options in PACK_WITH) and runs it in the new
# directory $SCRATCH/METHOD: the window (title, icon and drawn text, for
# the first), the autorun command, status 0, every member with its mode
# and time. The command waits on a pipe, so that the window can be seen
# from outside first. RUN_LABEL, if any, begins each check's description.
PACK_WITH=()
RUN_LABEL=""
check_runs_per_method() {
  local method dir window first=yes
  for method in "$@"; do
    "$MORROWLINE_BUILD/bin/morrowline-pack" -o "$method.run" "${PACK_WITH[@]}" --method "$method" \
      --run 'echo ran > autorun-ran; read go < go.fifo' src/pkg >/dev/null
    dir=$SCRATCH/$method
    mkdir "$dir"
    mkfifo "$dir/go.fifo"
    start_run "$dir" "$method.run"
    window=$(window_of_run)
    check "$RUN_LABEL$method: the window shows" test -n "$window"
    if [ $first = yes ] && [ -n "$window" ]; then
      expect_eq "${RUN_LABEL}the window's title" "WM_NAME = \"Morrowline SFX Tool\"" \
        "$(timeout 10 xprop -id "$window" -notype WM_NAME)"
      expect_eq "${RUN_LABEL}the window's icon" "128, 128" "$(timeout 10 xprop -id "$window" -notype \
        -f _NET_WM_ICON 32c _NET_WM_ICON | sed 's/^[^=]*= //' | cut -d, -f1-2)"
      check "${RUN_LABEL}its text is drawn (\"Fechar\" active)" gui_wait_for gui_fechar_active "$window"
    fi
    first=no
    check "$RUN_LABEL$method: the autorun command runs" gui_wait_for test -f "$dir/autorun-ran"
    timeout 60 sh -c 'echo go >"$1"' - "$dir/go.fifo" &
    wait_for_exit "$RUN_PID" 60
    expect_eq "$RUN_LABEL$method: status 0, nothing on stderr" "status 0, stderr []" \
      "status $EXIT_STATUS, stderr [$(cat "$dir.err")]"
    check "$RUN_LABEL$method: every member lands whole" diff -r src/pkg "$dir/pkg"
    expect_eq "$RUN_LABEL$method: modes and times kept" "$(times_and_modes src/pkg)" \
      "$(times_and_modes "$dir/pkg")"
  done
}

# check_reinstall_and_cancel DIR: packs src/pkg again and runs it over
# DIR's tree, to which a file of the user's is added: status 0, the new
# tree, its command. Then Escape in the middle of big.run (see
# make_run_installers) over an old tree keeps that tree.
check_reinstall_and_cancel() {
  local before window
  printf 'my own notes\n' >"$1/pkg/notes.txt"
  "$MORROWLINE_BUILD/bin/morrowline-pack" -o again.run "${PACK_WITH[@]}" \
    --run 'echo again > autorun-again' src/pkg >/dev/null
  sfx_run "$1" "${RUN_WITH[@]}" "$SCRATCH/again.run"
  sfx_expect "a reinstall: status 0" 0 ""
  check "a reinstall: the new tree replaces the old one" diff -r src/pkg "$1/pkg"
  check "a reinstall: its autorun command runs" test -f "$1/autorun-again"

  with_old_tree cancel
  before=$(snapshot cancel)
  start_run cancel big.run
  window=$(window_of_run)
  in_big_member cancel || true
  gui_key "$window" Escape
  wait_for_exit "$RUN_PID" 60
  stopped_cleanly "Escape during a reinstall" cancel 3 "morrowline-sfx: cancelled" "$before"
}
