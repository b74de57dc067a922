#!/bin/bash
# A run writes nothing outside the folder it was started in, once its
# window has been used too: no preferences of the toolkit's, no font cache
# of fontconfig's, nothing in HOME, the XDG folders or /tmp. Every call
# that could create or change a file is watched (strace), and HOME holds a
# font of the user's that no cache knows yet, so that fontconfig would
# want to write one.
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
done

finish
