#!/bin/bash
# The window of a real run under Xvfb: its names, size and icon, what it
# shows once every member is out, the three ways to close it, and the
# "Fechar" button that does nothing while it is inactive.
. "$(dirname "$0")/lib.sh"

TITLE="Morrowline SFX Tool"
start_xvfb
gui_hold_display

# An ordinary archive without autorun: three members, the last one deepest.
mkdir -p "$SCRATCH/src/docs/deep" "$SCRATCH/bin"
printf 'read me\n' > "$SCRATCH/src/readme.txt"
printf 'a guide\n' > "$SCRATCH/src/docs/guide.txt"
printf 'the last one\n' > "$SCRATCH/src/docs/deep/last.txt"
gui_zip "$SCRATCH/plain.zip" "" "$SCRATCH/src" readme.txt docs/guide.txt docs/deep/last.txt
INSTALLER="$SCRATCH/bin/installer"
make_installer "$INSTALLER" "$SCRATCH/plain.zip"

members_out() {
  cmp -s "$1/readme.txt" "$SCRATCH/src/readme.txt" &&
    cmp -s "$1/docs/guide.txt" "$SCRATCH/src/docs/guide.txt" &&
    cmp -s "$1/docs/deep/last.txt" "$SCRATCH/src/docs/deep/last.txt"
}

# --- A finished run: names, size, icon, picture; closed with "Fechar" ---
mkdir "$SCRATCH/done"
gui_start "$SCRATCH/done.err" "$SCRATCH/done" "$INSTALLER"
window=$(wait_for_window "$TITLE" 20 || true)
check "the window appears with its title" test -n "$window"
if [ -n "$window" ]; then
  expect_eq "window title" "WM_NAME = \"$TITLE\"" "$(timeout 10 xprop -id "$window" -notype WM_NAME)"
  expect_eq "icon label" "WM_ICON_NAME = \"$TITLE\"" "$(timeout 10 xprop -id "$window" -notype WM_ICON_NAME)"
  info=$(timeout 10 xwininfo -id "$window" || true)
  expect_eq "xwininfo width" "605" "$(echo "$info" | sed -n 's/^ *Width: *//p')"
  expect_eq "xwininfo height" "140" "$(echo "$info" | sed -n 's/^ *Height: *//p')"
  expect_eq "xdotool geometry" "605x140" \
    "$(timeout 10 xdotool getwindowgeometry "$window" | sed -n 's/^ *Geometry: *//p')"

  # The icon: width, height, then one ARGB value per pixel.
  icon=$(timeout 10 xprop -id "$window" -notype -f _NET_WM_ICON 32c _NET_WM_ICON | sed 's/^[^=]*= //')
  expect_eq "_NET_WM_ICON is 128x128" "128, 128" "$(echo "$icon" | cut -d, -f1-2)"
  expect_eq "_NET_WM_ICON holds 128*128 pixels" "$((2 + 128 * 128))" \
    "$(echo "$icon" | tr ',' '\n' | grep -c '[0-9]')"
  check "_NET_WM_ICON is a picture, not one flat colour" \
    test "$(echo "$icon" | tr -d ' ' | tr ',' '\n' | tail -n +3 | sort -u | wc -l)" -gt 2

  check "every member lands in the working directory" gui_wait_for members_out "$SCRATCH/done"
  check "\"Fechar\" turns active once the last member is out" gui_wait_for gui_fechar_active "$window"
  shot="$SCRATCH/done.png"
  gui_screenshot "$window" "$shot"
  cp "$shot" /tmp/window_done.png 2>/dev/null || true
  check "screenshot of the finished window saved" test -s "$shot"

  # The bar is full and blue all along, above and below its centred label.
  bar_ok=yes
  for x in 10 60 150 250 300 350 450 550 594; do
    for y in 53 77; do
      colour=$(gui_pixel "$shot" "$x" "$y")
      if [ "$colour" != "0,0,255" ]; then
        echo "  bar pixel $x,$y is $colour"
        bar_ok=no
      fi
    done
  done
  expect_eq "the finished bar is pure blue (0,0,255) from end to end" yes "$bar_ok"
  label_pixels=$(convert "$shot" -crop 400x14+100+58 +repage -colorspace gray -threshold 50% \
    -format '%[fx:round(w*h*mean)]' info:)
  check "the bar carries a label (light text over the blue)" test "$label_pixels" -gt 30
  check "the caption shows dark text at the left" \
    test "$(gui_dark_pixels "$shot" 200x29+5+13)" -gt 40
  expect_eq "the caption's right half is empty (text aligned left)" 0 \
    "$(gui_dark_pixels "$shot" 290x29+305+13)"

  check "the process waits while the window is open" gui_alive "$GUI_PID"
  gui_click "$window" 527 112
  wait_for_exit "$GUI_PID" 20
  expect_eq "clicking \"Fechar\" ends the run with status 0" 0 "$EXIT_STATUS"
  check "the window is gone after \"Fechar\"" gui_wait_for gui_window_gone "$TITLE"
  expect_eq "a clean run prints nothing on stderr" "" "$(cat "$SCRATCH/done.err")"
else
  wait_for_exit "$GUI_PID" 1
fi

# --- The finished window is the reference layout, pixel for pixel: the
# bar full and labelled with the last member's path (not the folder the
# durability wait named), "Fechar" active ---
python3 -c '
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w") as z:
    z.writestr("pkg/", b"")
    for i in range(5):
        z.writestr("pkg/f%03d" % i, b"%d\n" % i)' "$SCRATCH/five.zip"
make_installer "$SCRATCH/bin/five" "$SCRATCH/five.zip"
mkdir "$SCRATCH/five"
gui_start "$SCRATCH/five.err" "$SCRATCH/five" "$SCRATCH/bin/five"
window=$(wait_for_window "$TITLE" 20 || true)
if [ -n "$window" ] && gui_wait_for gui_fechar_active "$window"; then
  gui_screenshot "$window" "$SCRATCH/five.png"
  gui_key "$window" Escape
fi
wait_for_exit "$GUI_PID" 20
"$MORROWLINE_WINDOW_PICTURE" "$SCRATCH/five/pkg" "$SCRATCH"/five/pkg/f00{0,1,2,3,4} &
picture_pid=$!
window=$(wait_for_window "$TITLE" 20 || true)
if [ -n "$window" ]; then gui_screenshot "$window" "$SCRATCH/five-reference.png"; fi
kill "$picture_pid" 2>/dev/null || true
wait "$picture_pid" 2>/dev/null || true
expect_eq "the finished window is the reference layout, labelled .../pkg/f004" 0 \
  "$(compare -metric AE "$SCRATCH/five.png" "$SCRATCH/five-reference.png" null: 2>&1 || true)"

# --- Escape and the window manager's close request end the run with 0 ---
for way in escape wm-close; do
  mkdir "$SCRATCH/$way"
  gui_start "$SCRATCH/$way.err" "$SCRATCH/$way" "$INSTALLER"
  window=$(wait_for_window "$TITLE" 20 || true)
  check "$way: the window appears" test -n "$window"
  if [ -n "$window" ]; then
    check "$way: the members land" gui_wait_for members_out "$SCRATCH/$way"
    gui_wait_for gui_fechar_active "$window" || true
    case $way in
      escape) gui_key "$window" Escape ;;
      wm-close) gui_wm_close "$window" ;;
    esac
  fi
  wait_for_exit "$GUI_PID" 20
  expect_eq "$way: closing the window ends the run with status 0" 0 "$EXIT_STATUS"
  check "$way: the window is gone" gui_wait_for gui_window_gone "$TITLE"
done

# --- Clicks on the inactive "Fechar" during a long extraction do nothing ---
COUNT=30000
python3 - "$SCRATCH/bulk.zip" "$COUNT" <<'EOF'
import sys, zipfile
out, count = sys.argv[1], int(sys.argv[2])
with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
    for i in range(count):
        z.writestr("bulk/f%05d.txt" % i, "member %d\n" % i)
EOF
gui_launch bulk "$SCRATCH/bulk.zip" "bulk" bulk-installer
window=$LAUNCHED_WINDOW
# Counted in the hidden staging directory too, where bulk/ is built.
extracted() { find "$SCRATCH/bulk" -type f 2>/dev/null | wc -l; }
if [ -n "$window" ]; then
  # Clicks stop well before the end, so none can still be queued when the
  # last member makes the button active.
  # The installer is stopped while the files are counted, the picture
  # taken and the click made, so that however fast it extracts, several
  # clicks come during the extraction; each is handled once it goes on.
  installer_pid=$(pgrep -P "$GUI_PID" | head -n1)
  clicks=0
  inactive_seen=no
  exited_early=no
  for _ in $(seq 2000); do
    if ! kill -STOP "$installer_pid" 2>/dev/null; then
      exited_early=yes
      break
    fi
    if [ "$(extracted)" -ge $((COUNT * 2 / 3)) ]; then
      kill -CONT "$installer_pid"
      break
    fi
    if [ "$inactive_seen" = no ]; then
      gui_screenshot "$window" "$SCRATCH/busy.png" || true
      [ "$(gui_dark_pixels "$SCRATCH/busy.png" 120x21+467+102)" = 0 ] && inactive_seen=yes
    fi
    gui_click "$window" 527 112
    clicks=$((clicks + 1))
    kill -CONT "$installer_pid"
    sleep 0.01
  done
  echo "  $clicks clicks on the inactive button"
  check "bulk: several clicks were made during the extraction" test "$clicks" -ge 3
  expect_eq "bulk: \"Fechar\" is drawn inactive during the extraction" yes "$inactive_seen"
  expect_eq "bulk: the process did not end while extracting" no "$exited_early"
  GUI_WAIT=60 gui_wait_for test -f "$SCRATCH/bulk/bulk/f$(printf %05d $((COUNT - 1))).txt" || true
  check "bulk: \"Fechar\" turns active at the end" gui_wait_for gui_fechar_active "$window"
  check "bulk: the process is still running after the extraction" gui_alive "$GUI_PID"
  check "bulk: the window is still there" test -n "$(timeout 10 xdotool search --onlyvisible --name "^$TITLE\$" 2>/dev/null || true)"
  expect_eq "bulk: every member is on disk" "$COUNT" "$(find "$SCRATCH/bulk/bulk" -type f | wc -l)"
  expect_eq "bulk: a member's content" "member 1234" "$(cat "$SCRATCH/bulk/bulk/f01234.txt" 2>/dev/null || true)"
  gui_click "$window" 527 112
fi
wait_for_exit "$GUI_PID" 20
expect_eq "bulk: the now active \"Fechar\" ends the run with status 0" 0 "$EXIT_STATUS"

# --- The bar moves while one big member is written, and never back ---
python3 - "$SCRATCH/one-big.zip" <<'EOF'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("one/", "")
    with z.open("one/big.bin", "w", force_zip64=True) as member:  # 2 GiB
        block = bytes(1 << 20)
        for _ in range(2048):
            member.write(block)
EOF
# bar_width FILE: how many pixels of the bar's top row are its blue.
bar_width() {
  convert "$1" -crop 595x1+5+53 +repage -fill black +opaque '#0000FF' -fill white \
    -opaque '#0000FF' -format '%[fx:round(w*mean)]' info: 2>/dev/null
}
gui_launch one-big "$SCRATCH/one-big.zip" "one big member" one-big-installer
window=$LAUNCHED_WINDOW
if [ -n "$window" ]; then
  # The run goes on a tenth of a second at a time and is stopped for each
  # picture, so that a fast disk still gives several within the member.
  widths=""
  while gui_alive "$GUI_PID" && kill -STOP "$GUI_PID" 2>/dev/null; do
    sleep 0.05
    if gui_screenshot "$window" "$SCRATCH/one-big.png"; then
      widths="$widths $(bar_width "$SCRATCH/one-big.png")"
    fi
    kill -CONT "$GUI_PID"
    [ -e "$SCRATCH/one-big/one/big.bin" ] && break  # in place: the member is written
    sleep 0.1
  done
  kill -CONT "$GUI_PID" 2>/dev/null || true
  echo "  bar widths:$widths"
  gui_wait_for gui_fechar_active "$window" || true
  gui_screenshot "$window" "$SCRATCH/one-big-done.png" || true
  full=$(bar_width "$SCRATCH/one-big-done.png")
  check "one big member: the bar is full at the end ($full pixels)" test "$full" -ge 585
  # Past the first member's step (half the bar), short of the full bar;
  # two pictures with no event pass between them (a busy machine) count
  # as one.
  inside=$(tr ' ' '\n' <<<"$widths" | awk -v full="$full" '$1 > full / 2 + 1 && $1 < full' |
    uniq | paste -sd' ')
  check "one big member: at least three pictures while it is written" \
    test "$(wc -w <<<"$inside")" -ge 3
  check "one big member: the bar grows from each picture to the next" \
    awk '{ for (i = 2; i <= NF; i++) if ($i <= $(i - 1)) exit 1 }' <<<"$inside"
  check "one big member: the bar never goes back" \
    awk '{ for (i = 2; i <= NF; i++) if ($i < $(i - 1)) exit 1 }' <<<"$widths"
  gui_click "$window" 527 112
fi
wait_for_exit "$GUI_PID" 60
expect_eq "one big member: the run ends with status 0" 0 "$EXIT_STATUS"
rm -rf "$SCRATCH/one-big"

# --- A click on the inactive "Fechar" while the last-but-one member is
# still being written does nothing either: the last member's arrival makes
# the button active, and a click made before must not count then ---
python3 - "$SCRATCH/race.zip" <<'EOF'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("first.txt", "first\n")
    with z.open("big.bin", "w", force_zip64=True) as member:  # 2 GiB of zeros, long to write
        block = bytes(1 << 20)
        for _ in range(2048):
            member.write(block)
    z.writestr("last.txt", "last\n")
EOF
gui_launch race "$SCRATCH/race.zip" "race" race-installer
window=$LAUNCHED_WINDOW
if [ -n "$window" ]; then
  # The big member's bytes so far, beside its name or (written by the
  # second lane) in a file without one that the installer holds.
  written_beside() {
    local fd
    for fd in /proc/"$(pgrep -P "$GUI_PID" | head -n1)"/fd/*; do
      case $(readlink "$fd" 2>/dev/null) in
        "$SCRATCH/race/"*) find -L "$fd" -maxdepth 0 -size "$1" 2>/dev/null | grep -q . && return 0 ;;
      esac
    done
    return 1
  }
  gui_wait_for written_beside +1M || true
  gui_screenshot "$window" "$SCRATCH/race-busy.png" || true
  gui_click "$window" 527 112
  # big.bin short of its 2 GiB: the click came before the last member.
  check "race: the click came while the big member was being written" \
    written_beside -$((2048 << 10))k
  expect_eq "race: \"Fechar\" was drawn inactive then" 0 \
    "$(gui_dark_pixels "$SCRATCH/race-busy.png" 120x21+467+102)"
  GUI_WAIT=60 gui_wait_for test -f "$SCRATCH/race/last.txt" || true
  GUI_WAIT=5 gui_wait_for gui_fechar_active "$window" || true
  check "race: the run still waits for the window after the extraction" gui_alive "$GUI_PID"
  check "race: the window is still there" \
    test -n "$(timeout 10 xdotool search --onlyvisible --name "^$TITLE\$" 2>/dev/null || true)"
  gui_click "$window" 527 112
fi
wait_for_exit "$GUI_PID" 60
expect_eq "race: the run ends with status 0" 0 "$EXIT_STATUS"
rm -f "$SCRATCH/race/big.bin"

# --- On a display of 256 colours (some VNC servers), text stays text ---
# Antialiased glyphs there came out on dark boxes: the caption then had
# some four times the dark pixels its letters have.
fd_file=$SCRATCH/.xvfb8
Xvfb -displayfd 3 -screen 0 1024x768x8 -nolisten tcp -noreset 3>"$fd_file" >/dev/null 2>&1 &
XVFB8_PID=$!
gui_wait_for test -s "$fd_file" || true
mkdir "$SCRATCH/depth8"
DISPLAY=":$(head -n1 "$fd_file")" gui_start "$SCRATCH/depth8.err" "$SCRATCH/depth8" "$INSTALLER"
window=$(DISPLAY=":$(head -n1 "$fd_file")" wait_for_window "$TITLE" 20 || true)
check "depth 8: the window appears" test -n "$window"
if [ -n "$window" ]; then
  DISPLAY=":$(head -n1 "$fd_file")" gui_wait_for gui_fechar_active "$window" || true
  DISPLAY=":$(head -n1 "$fd_file")" gui_screenshot "$window" "$SCRATCH/depth8.png" || true
  # half_dark FILE GEOMETRY: pixels darker than half brightness there.
  half_dark() {
    convert "$1" -crop "$2" +repage -colorspace gray -threshold 50% \
      -format '%[fx:round(w*h*(1-mean))]' info: 2>/dev/null
  }
  for region in caption:150x22+5+16:900 Fechar:120x21+467+102:300; do
    dark=$(half_dark "$SCRATCH/depth8.png" "$(cut -d: -f2 <<<"$region")")
    check "depth 8: the ${region%%:*} text is drawn as letters ($dark dark pixels)" \
      test "${dark:-99999}" -gt 20 -a "${dark:-99999}" -lt "${region##*:}"
  done
  DISPLAY=":$(head -n1 "$fd_file")" gui_key "$window" Escape
fi
wait_for_exit "$GUI_PID" 20
expect_eq "depth 8: status 0, nothing on stderr" "status 0, stderr []" \
  "status $EXIT_STATUS, stderr [$(cat "$SCRATCH/depth8.err")]"
kill "$XVFB8_PID" 2>/dev/null || true

finish
