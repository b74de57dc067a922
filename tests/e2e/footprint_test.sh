#!/bin/bash
# A run writes nothing outside the folder it was started in, once its
# window has been used too: no preferences of the toolkit's, no font cache
# of fontconfig's, nothing in HOME, the XDG folders or /tmp. Every call
# that could create or change a file is watched (strace), and HOME holds a
# font of the user's that no cache knows yet, so that fontconfig would
# want to write one. Nor does a run read the machine's fonts, font
# configuration or caches (nor, linked whole, any shared library), unless
# a member's name has characters the program's own font lacks: then that
# label is drawn as the machine draws it.
. "$(dirname "$0")/lib.sh"

umask 022
cd "$SCRATCH" || exit 1
if ! command -v strace >/dev/null; then
  echo "skip - what a run writes: needs strace"
  finish
  exit
fi
start_xvfb
gui_hold_display

mkdir -p src/pkg
printf 'hello\n' >src/pkg/a.txt
gui_zip src.zip "" src pkg/a.txt
make_installer app.run src.zip

# As nobody where the test runs as root: then not even the system's shared
# font caches can be written, and nothing at all may change outside.
as=()
user_label="this user"
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null &&
  setpriv --reuid=65534 --regid=65534 --clear-groups true 2>/dev/null; then
  as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  user_label=nobody
  chmod 0711 "$SCRATCH"
  chmod 0755 "$SCRATCH/app.run"
fi

# writes_outside TRACE DIR: the calls in TRACE that created or changed an
# entry by a path outside DIR (calls relative to a descriptor of the run's
# are below DIR by construction), /dev/null aside. Failed calls changed
# nothing.
writes_outside() {
  grep -E '(O_CREAT|O_WRONLY|O_RDWR|O_TRUNC)|^[0-9]+ +(mkdir|rename|unlink|rmdir|link|symlink|chmod|chown|truncate|utime|creat)' "$1" |
    grep -v -e '= -1 ' -e '<unfinished' -e 'resumed>' |
    grep -E '^[0-9]+ +[a-z0-9_]+\((AT_FDCWD, )?"' |
    grep -v -E -e "\"$2(/|\")" -e '"/dev/null"' || true
}

# font_files TRACE: the fonts, font configuration and font caches TRACE
# looked at, or looked for.
font_files() {
  grep -oE '"[^"]*(/fonts|fontconfig|\.fonts|\.(ttf|ttc|otf|pcf|pfb)(\.gz)?)(/[^"]*)?"' "$1" || true
}

for way in fechar escape; do
  home=$SCRATCH/home-$way
  dest=$SCRATCH/dest-$way
  mkdir -p "$home/.local/share/fonts" "$dest"
  cp "$(fc-match -f '%{file}' sans)" "$home/.local/share/fonts/"
  [ ${#as[@]} -eq 0 ] || chown -R 65534:65534 "$home" "$dest"
  before=$(cd "$home" && find . | LC_ALL=C sort)
  # LeakSanitizer cannot work under ptrace (the sanitizer build).
  (cd "$dest" && exec env -u XDG_CONFIG_HOME -u XDG_CACHE_HOME -u XDG_DATA_HOME -u XDG_STATE_HOME \
    HOME="$home" TMPDIR=/tmp ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" strace -f -qq -o "$SCRATCH/$way.trace" -e trace=%file,%desc \
    "${as[@]}" "$SCRATCH/app.run") >"$SCRATCH/$way.out" 2>"$SCRATCH/$way.err" </dev/null &
  pid=$!
  window=$(wait_for_window "Morrowline SFX Tool" 20 || true)
  check "$way: the window appears" test -n "$window"
  # The pointer over the caption, the bar and the button, a Tab for the
  # keyboard focus: what makes the toolkit ask for its options.
  for spot in "60 25" "300 60" "527 112" "300 60"; do
    timeout 10 xdotool mousemove --window "$window" $spot >/dev/null 2>&1 || true
    sleep 0.3
  done
  gui_key "$window" Tab
  gui_wait_for gui_fechar_active "$window" || true
  if [ $way = fechar ]; then gui_click "$window" 527 112; else gui_key "$window" Escape; fi
  wait_for_exit "$pid" 30
  expect_eq "$way: status 0, nothing on stderr" "status 0, stderr []" \
    "status $EXIT_STATUS, stderr [$(cat "$SCRATCH/$way.err")]"
  check "$way: the member is in place" test -f "$dest/pkg/a.txt"
  expect_eq "$way: HOME is as it was" "$before" "$(cd "$home" && find . | LC_ALL=C sort)"
  expect_eq "$way (as $user_label): nothing created or changed outside the working directory" "" \
    "$(writes_outside "$SCRATCH/$way.trace" "$dest")"
  expect_eq "$way: no font, font configuration or font cache looked at" "" \
    "$(font_files "$SCRATCH/$way.trace" | sort -u)"
  if [ "${MORROWLINE_PORTABLE:-}" = ON ]; then
    # From the installer's start on: setpriv, which starts it, is a
    # program of this machine's.
    expect_eq "$way: no shared library looked for" "" \
      "$(sed -n '/execve("[^"]*\/app\.run", .* = 0$/,$p' "$SCRATCH/$way.trace" |
        grep -oE '"[^"]*\.so(\.[0-9]+)*"' | sort -u)"
  fi
done

# ---- A name the program's own font lacks ----

# Drawn with the machine's face for those characters, as the machine drew
# it before the program had its own font: under a Chinese locale the whole
# window took WenQuanYi Micro Hei then, and the label still does; under
# C.UTF-8 the label showed boxes then, and now shows the name too.
if fc-list 2>/dev/null | grep -q 'WenQuanYi Micro Hei'; then
  python3 -c '
import zipfile
with zipfile.ZipFile("cjk.zip", "w") as z:
    z.writestr("游戏/", b"")
    z.writestr("游戏/说明.txt", b"read me\n")'
  make_installer cjk.run cjk.zip
  # bar FILE: the progress bar of the window picture FILE, as FILE.bar.png.
  bar() { convert "$1" -crop 595x35+5+48 +repage "$1.bar.png"; }
  mkdir cjk
  LANG=zh_CN.UTF-8 "$MORROWLINE_WINDOW_PICTURE" --machine-fonts "$SCRATCH/cjk/游戏" \
    "$SCRATCH/cjk/游戏/说明.txt" >/dev/null 2>&1 &
  pid=$!
  window=$(wait_for_window "Morrowline SFX Tool" 20 || true)
  if [ -n "$window" ]; then gui_screenshot "$window" machine.png && bar machine.png; fi
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  for locale in zh_CN.UTF-8 C.UTF-8; do
    rm -rf cjk/*
    (cd cjk && exec env LANG=$locale ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" \
      strace -f -qq -o "$SCRATCH/$locale.trace" -e trace=%file "$SCRATCH/cjk.run") \
      >/dev/null 2>"$locale.err" </dev/null &
    pid=$!
    window=$(wait_for_window "Morrowline SFX Tool" 20 || true)
    if [ -n "$window" ] && gui_wait_for gui_fechar_active "$window"; then
      gui_screenshot "$window" "$locale.png" && bar "$locale.png"
      gui_key "$window" Escape
    fi
    wait_for_exit "$pid" 30
    expect_eq "$locale: 游戏: the label as the machine draws it under zh_CN" 0 \
      "$(compare -metric AE "$locale.png.bar.png" machine.png.bar.png null: 2>&1 || true)"
    check "$locale: 游戏: the machine's fonts were looked up" \
      test -n "$(font_files "$SCRATCH/$locale.trace")"
    expect_eq "$locale: 游戏: nothing created or changed outside the working directory" "" \
      "$(writes_outside "$SCRATCH/$locale.trace" "$SCRATCH/cjk")"
  done
else
  echo "skip - a name the program's own font lacks: needs fonts-wqy-microhei"
fi

finish
