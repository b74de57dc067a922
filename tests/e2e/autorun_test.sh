#!/bin/bash
# The autorun command of real runs under Xvfb: what counts as the marker,
# where and when the command runs, how its text reaches the shell, and the
# exit status whatever the command does or while it still runs.
. "$(dirname "$0")/lib.sh"

TITLE="Morrowline SFX Tool"
start_xvfb
gui_hold_display
mkdir -p "$SCRATCH/src" "$SCRATCH/bin"

# new_run NAME COMMENT NAME...: an installer (in bin/, away from the working
# directory) for the members NAME of src/ with COMMENT, and an empty working
# directory $SCRATCH/NAME.
new_run() {
  local name=$1 comment=$2
  shift 2
  gui_zip "$SCRATCH/$name.zip" "$comment" "$SCRATCH/src" "$@"
  make_installer "$SCRATCH/bin/$name" "$SCRATCH/$name.zip"
  mkdir "$SCRATCH/$name"
}

# --- A script from the archive runs in the working directory, after the
# extraction; its exit status 7 still gives 0 ---
cat > "$SCRATCH/src/setup.sh" <<'EOF'
pwd -P > ran-in.txt
cat payload/data.txt > seen-data.txt
LC_ALL=C ls > seen-listing.txt
exit 7
EOF
mkdir -p "$SCRATCH/src/payload"
printf 'the payload\n' > "$SCRATCH/src/payload/data.txt"
new_run script '$AUTORUN$>sh ./setup.sh' setup.sh payload/data.txt
gui_start "$SCRATCH/script.err" "$SCRATCH/script" "$SCRATCH/bin/script"
wait_for_exit "$GUI_PID" 30
expect_eq "script: the run ends by itself with 0 though the script exits 7" 0 "$EXIT_STATUS"
expect_eq "script: it runs in the working directory" "$(cd "$SCRATCH/script" && pwd -P)" \
  "$(cat "$SCRATCH/script/ran-in.txt" 2>/dev/null || true)"
expect_eq "script: it sees the last member, so it runs after the extraction" "the payload" \
  "$(cat "$SCRATCH/script/seen-data.txt" 2>/dev/null || true)"
expect_eq "script: the working directory holds the members" "payload ran-in.txt seen-data.txt seen-listing.txt setup.sh" \
  "$(cat "$SCRATCH/script/seen-listing.txt" 2>/dev/null | tr '\n' ' ' | sed 's/ $//' || true)"
check "script: nothing lands or runs beside the installer" \
  test ! -e "$SCRATCH/bin/setup.sh" -a ! -e "$SCRATCH/bin/payload" -a ! -e "$SCRATCH/bin/ran-in.txt"
check "script: the window is gone" gui_wait_for gui_window_gone "$TITLE"

# --- The command gets the environment the installer got: TZ too, which
# the run sets for itself while it lasts ---
new_run environment '$AUTORUN$>echo "${TZ-unset}" > tz.txt' payload/data.txt
for tz in unset Europe/Lisbon; do
  rm -f "$SCRATCH/environment/tz.txt"
  setting=(-u TZ)
  [ $tz = unset ] || setting=("TZ=$tz")
  gui_start "$SCRATCH/environment.err" "$SCRATCH/environment" env "${setting[@]}" \
    "$SCRATCH/bin/environment"
  wait_for_exit "$GUI_PID" 30
  expect_eq "the command sees TZ as the installer did ($tz)" "$tz" \
    "$(cat "$SCRATCH/environment/tz.txt" 2>/dev/null || true)"
done

# --- The bare marker: an empty command, then 0 ---
printf 'plain\n' > "$SCRATCH/src/plain.txt"
new_run bare '$AUTORUN$>' plain.txt
gui_start "$SCRATCH/bare.err" "$SCRATCH/bare" "$SCRATCH/bin/bare"
wait_for_exit "$GUI_PID" 30
expect_eq "bare marker: the run ends by itself with 0" 0 "$EXIT_STATUS"
check "bare marker: the member is out" cmp -s "$SCRATCH/bare/plain.txt" "$SCRATCH/src/plain.txt"

# --- Anything but the exact marker at the very start runs nothing; the
# window stays until closed ---
index=0
for comment in '$autorun$>touch ran' 'note $AUTORUN$>touch ran' ' $AUTORUN$>touch ran' \
  '$AUTORUN$ >touch ran' 'AUTORUN$>touch ran'; do
  index=$((index + 1))
  name=nomarker$index
  new_run "$name" "$comment" plain.txt
  gui_start "$SCRATCH/$name.err" "$SCRATCH/$name" "$SCRATCH/bin/$name"
  window=$(wait_for_window "$TITLE" 20 || true)
  check "[$comment]: the window appears" test -n "$window"
  if [ -n "$window" ]; then
    check "[$comment]: the member is out" gui_wait_for test -f "$SCRATCH/$name/plain.txt"
    check "[$comment]: \"Fechar\" turns active" gui_wait_for gui_fechar_active "$window"
    sleep 1  # room for a wrongly started command to show itself
    check "[$comment]: the run waits for the window" gui_alive "$GUI_PID"
    gui_key "$window" Escape
  fi
  wait_for_exit "$GUI_PID" 20
  expect_eq "[$comment]: Escape ends it with 0" 0 "$EXIT_STATUS"
  check "[$comment]: no command ran" test ! -e "$SCRATCH/$name/ran"
done

# --- A multi-line command with quotes and blanks reaches the shell as it
# is in the comment, trailing newline included ---
command=$(cat <<'EOF'
$AUTORUN$>cp /proc/$$/cmdline cmdline.bin
printf '%s\n' 'it'"'"'s "quoted"'   "say \"hi\" 'there'"	'two  blanks	and a tab' > args.txt
echo   one    "two  three" >> args.txt
EOF
)
command="$command
"
new_run multiline "$command" plain.txt
gui_start "$SCRATCH/multiline.err" "$SCRATCH/multiline" "$SCRATCH/bin/multiline"
wait_for_exit "$GUI_PID" 30
expect_eq "multi-line: the run ends by itself with 0" 0 "$EXIT_STATUS"
expected_args=$(printf '%s\n' "it's \"quoted\"" "say \"hi\" 'there'" "two  blanks	and a tab" "one two  three")
expect_eq "multi-line: quotes, blanks and lines act as in the comment" "$expected_args" \
  "$(cat "$SCRATCH/multiline/args.txt" 2>/dev/null || true)"
# The shell's last argument is the command text; compare it byte for byte.
python3 - "$SCRATCH/multiline/cmdline.bin" "$command" > "$SCRATCH/multiline.cmp" <<'EOF' || true
import os, sys
try:
    got = open(sys.argv[1], "rb").read().split(b"\0")[-2]
except (OSError, IndexError):
    got = b"<no command line recorded>"
want = os.fsencode(sys.argv[2])[len(b"$AUTORUN$>"):]
print("same" if got == want else "got %r, want %r" % (got, want))
EOF
expect_eq "multi-line: the shell gets the command byte for byte" same "$(cat "$SCRATCH/multiline.cmp")"

# --- Closing the window while the command still runs ends the run with 0
# at once; the command itself is not waited for ---
new_run long '$AUTORUN$>touch started; echo $$ > command.pid; exec sleep 30' plain.txt
gui_start "$SCRATCH/long.err" "$SCRATCH/long" "$SCRATCH/bin/long"
window=$(wait_for_window "$TITLE" 20 || true)
check "long command: the window appears" test -n "$window"
check "long command: the command starts" gui_wait_for test -s "$SCRATCH/long/command.pid"
command_pid=$(cat "$SCRATCH/long/command.pid" 2>/dev/null || true)
check "long command: the run waits while the command runs" gui_alive "$GUI_PID"
if [ -n "$window" ]; then gui_key "$window" Escape; fi
wait_for_exit "$GUI_PID" 15
expect_eq "long command: closing the window ends the run with 0" 0 "$EXIT_STATUS"
check "long command: the run ended while the command still ran" \
  test -n "$command_pid" -a -d "/proc/$command_pid"
if [ -n "$command_pid" ]; then kill "$command_pid" 2>/dev/null || true; fi

finish
