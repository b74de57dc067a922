#!/bin/bash
# shellcheck disable=SC2016 # "$AUTORUN$" is meant literally
# What people and their machines do to a run costs them nothing: a mount
# inside the old tree, leftovers the user cannot remove, closing the
# window, a lost display, missing fonts, little memory, a killed run, a
# closed stderr, an odd argv[0]. Each case ends with the old tree intact or
# the new one complete, nothing hidden left, and a status that says which.
. "$(dirname "$0")/lib.sh"

umask 022
cd "$SCRATCH" || exit 1
start_xvfb
gui_hold_display

make_run_installers
is_root=no
[ "$(id -u)" = 0 ] && is_root=yes

# ---- Mounts inside the old tree are never crossed ----

if [ "$is_root" = yes ] && mkdir -p mnt/probe && mount -t tmpfs tmpfs mnt/probe 2>/dev/null; then
  umount mnt/probe
  for kind in bind tmpfs; do
    dir=$SCRATCH/mount-$kind
    with_old_tree "$dir"
    mkdir -p "$dir/pkg/data" "$SCRATCH/elsewhere-$kind"
    printf 'precious\n' >"$SCRATCH/elsewhere-$kind/keep.txt"
    if [ $kind = bind ]; then
      mount --bind "$SCRATCH/elsewhere-$kind" "$dir/pkg/data"
    else
      mount -t tmpfs tmpfs "$dir/pkg/data"
      printf 'precious\n' >"$dir/pkg/data/keep.txt"
    fi
    before=$(snapshot "$dir")
    sfx_run "$dir" "$SCRATCH/good.run"
    sfx_expect "a $kind mount inside the old tree: status 3, names the mount" 3 \
      "morrowline-sfx: cannot replace directory: $dir/pkg: a file system is mounted at $dir/pkg/data"
    expect_eq "a $kind mount: nothing touched, the mount's files included" "$before" "$(snapshot "$dir")"
    check "a $kind mount: nothing hidden left, no autorun" \
      sh -c '[ -z "$(find "$1" -name ".morrowline-*" -o -name autorun-ran)" ]' - "$dir"
    umount "$dir/pkg/data"
  done

  # A live session or a container: the old tree in an overlay's lower
  # layer, which cannot be renamed.
  mkdir -p ovl/lower ovl/upper ovl/work ovl/merged
  with_old_tree ovl/lower
  if mount -t overlay overlay -o lowerdir=ovl/lower,upperdir=ovl/upper,workdir=ovl/work ovl/merged 2>/dev/null; then
    sfx_run ovl/merged "$SCRATCH/good.run"
    sfx_expect "an old tree in an overlay's lower layer: status 0" 0 ""
    expect_eq "overlay: the new tree replaces the old one" "$NEW_TREE" "$(new_tree ovl/merged)"
    check "overlay: nothing hidden left" no_debris ovl/merged
    check "overlay: the autorun command ran" test -e ovl/merged/autorun-ran
    umount ovl/merged
  else
    echo "skip - an overlay lower layer: cannot mount an overlay here"
  fi
else
  echo "skip - mounts: need root and mount"
fi

# ---- What the user cannot remove stops a reinstall before it starts ----

nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
if [ "$is_root" = yes ] && "${nobody[@]}" true 2>/dev/null; then
  chmod 0711 "$SCRATCH"
  chmod 0755 good.run
  # An earlier `sudo ./app` left a root-owned logs/ in the user's tree.
  dir=$SCRATCH/sudo-leftover
  with_old_tree "$dir"
  chown -R 65534:65534 "$dir"
  mkdir "$dir/pkg/logs"
  printf 'root wrote this\n' >"$dir/pkg/logs/app.log"
  before=$(snapshot "$dir")
  sfx_run "$dir" "${nobody[@]}" "$SCRATCH/good.run"
  sfx_expect "a root-owned leftover, run as the user: status 3, names it" 3 \
    "morrowline-sfx: cannot replace directory: $dir/pkg: $dir/pkg/logs: Permission denied"
  expect_eq "a root-owned leftover: nothing touched" "$before" "$(snapshot "$dir")"
  check "a root-owned leftover: nothing hidden left" no_debris "$dir"

  # A umask that leaves the user nothing, or no write bit: what the run
  # makes it can still fill, and every entry gets its stored mode.
  for mask in 0777 0222; do
    dir=$SCRATCH/umask-$mask
    mkdir "$dir"
    chown 65534:65534 "$dir"
    sfx_run "$dir" "${nobody[@]}" sh -c 'umask "$1" && exec "$2"' - "$mask" "$SCRATCH/good.run"
    sfx_expect "umask $mask (as the user): status 0" 0 ""
    expect_eq "umask $mask: the stored modes" "$NEW_TREE" "$(new_tree "$dir")"
  done

  # As few processes as the user may have: no thread can start (limit 1),
  # no reading thread (2), or no thread for the sync, which then runs on
  # the extracting thread (3).
  for limit in 1:3:"morrowline-sfx: cannot start a thread: Resource temporarily unavailable" \
    2:3:"morrowline-sfx: cannot start a thread: Resource temporarily unavailable" 3:0:""; do
    count=${limit%%:*}
    dir=$SCRATCH/nproc-$count
    with_old_tree "$dir"
    chown -R 65534:65534 "$dir"
    before=$(snapshot "$dir")
    # LeakSanitizer's check at exit needs a thread of its own (the
    # sanitizer build).
    ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" \
      sfx_run "$dir" "${nobody[@]}" bash -c 'ulimit -c 0 -u "$1" && exec "$2"' - "$count" \
      "$SCRATCH/good.run"
    expected=${limit#*:}
    if [ "${expected%%:*}" = 3 ]; then
      sfx_expect "at most $count processes (as the user): status 3, one line" 3 "${expected#*:}"
      expect_eq "at most $count processes: the old tree is as it was" "$before" "$(snapshot "$dir")"
    else
      # The autorun command's shell may not fork then: its own message.
      expect_eq "at most $count processes: status 0, nothing said by the installer" \
        "status 0" "status $RUN_STATUS$(grep morrowline-sfx <<<"$RUN_STDERR" || true)"
      expect_eq "at most $count processes: the new tree" "$NEW_TREE" "$(new_tree "$dir")"
    fi
    check "at most $count processes: nothing hidden left" no_debris "$dir"
  done
else
  echo "skip - a root-owned leftover: needs root and a working setpriv"
fi

# Deeper than the open-file limit lets a removal go. The run starts with
# only stdin, stdout and stderr, whatever the harness leaks, so that what
# it holds is its own.
with_file_limit='for fd in /proc/$$/fd/*; do fd=${fd##*/}; [ "$fd" -gt 2 ] && eval "exec $fd>&-"; done
ulimit -n "$1" && exec "$0"'
dir=$SCRATCH/deep
with_old_tree "$dir"
mkdir -p "$dir/pkg/$(printf 'd/%.0s' $(seq 80))"
before=$(snapshot "$dir")
sfx_run "$dir" bash -c "$with_file_limit" "$SCRATCH/good.run" 64
sfx_expect_like "80 levels under ulimit -n 64: status 3, names the deepest" 3 \
  "morrowline-sfx: cannot replace directory: $dir/pkg: $dir/pkg/d/*/d: nested too deep to remove within the open-file limit of 64"
expect_eq "80 levels: nothing touched" "$before" "$(snapshot "$dir")"
# 56 levels can be walked, not removed beside the ten or so descriptors
# the run holds: it says so.
dir=$SCRATCH/deep-56
with_old_tree "$dir"
mkdir -p "$dir/pkg/$(printf 'd/%.0s' $(seq 55))"
sfx_run "$dir" bash -c "$with_file_limit" "$SCRATCH/good.run" 64
sfx_expect_like "56 levels under ulimit -n 64: status 3, counts what the removal needs" 3 \
  "morrowline-sfx: cannot replace directory: $dir/pkg: $dir/pkg/d/*/d: nested too deep to remove within the open-file limit of 64 (a descriptor for each of its 56 levels and one more, beside the * the run holds)"
# A flat old tree needs a few descriptors: unzip -o manages under such a
# limit, and so does the installer.
for limit in 20 16; do
  dir=$SCRATCH/flat-$limit
  with_old_tree "$dir"
  sfx_run "$dir" bash -c "$with_file_limit" "$SCRATCH/good.run" "$limit"
  sfx_expect "a flat reinstall under ulimit -n $limit: status 0" 0 ""
  expect_eq "a flat reinstall under ulimit -n $limit: the new tree" "$NEW_TREE" "$(new_tree "$dir")"
done

# Immutable files, on a file system of our own that keeps the flag.
if [ "$is_root" = yes ] && command -v mkfs.ext2 >/dev/null && command -v chattr >/dev/null &&
  truncate -s 1200M ext2.img && mkfs.ext2 -q ext2.img && mkdir ext2 &&
  mount -o loop ext2.img ext2 2>/dev/null; then
  dir=$SCRATCH/ext2/immutable
  with_old_tree "$dir"
  chattr +i "$dir/pkg/lib/b.txt"
  before=$(snapshot "$dir")
  sfx_run "$dir" "$SCRATCH/good.run"
  sfx_expect "an immutable file in the old tree: status 3, names it" 3 \
    "morrowline-sfx: cannot replace directory: $dir/pkg: $dir/pkg/lib/b.txt is immutable"
  expect_eq "an immutable file: nothing touched" "$before" "$(snapshot "$dir")"
  chattr -i "$dir/pkg/lib/b.txt"

  # Made immutable once the check has passed: the new tree is in place,
  # so the run succeeds and says what it left, and where.
  dir=$SCRATCH/ext2/late
  with_old_tree "$dir"
  start_run "$dir" big.run
  in_big_member "$dir" || true
  chattr +i "$dir/pkg/notes.txt"
  wait_for_exit "$RUN_PID" 60
  expect_eq "the old tree cannot be removed after the swap: status 0, one warning" \
    "status 0, stderr [morrowline-sfx: warning: the old $dir/pkg could not be removed (cannot remove directory: $dir/.morrowline-$RUN_PID-0.new/notes.txt: Operation not permitted); what is left of it is in $dir/pkg.old]" \
    "status $EXIT_STATUS, stderr [$(cat "$dir.err")]"
  check "after the swap: the new tree is complete" test "$(stat -c %s "$dir/pkg/big.bin")" = $((1 << 30))
  check "after the swap: the autorun command ran" test -e "$dir/autorun-ran"
  expect_eq "after the swap: what was left is visible, nothing hidden" "pkg.old/notes.txt" \
    "$(cd "$dir" && find . -mindepth 2 -path './pkg.old/*' -o -name '.morrowline-*' | sed 's|^\./||' | paste -sd'|')"
  chattr -i "$dir/pkg.old/notes.txt"
  rm -f "$dir/pkg/big.bin"
  umount ext2
else
  echo "skip - immutable files: need root, mkfs.ext2, chattr and a loop device"
fi

# A read-only btrfs snapshot in the old tree: no mount of its own, and
# root may write everywhere else, but nothing in it can be removed.
if [ "$is_root" = yes ] && command -v mkfs.btrfs >/dev/null && command -v btrfs >/dev/null &&
  truncate -s 256M btrfs.img && mkfs.btrfs -q btrfs.img >/dev/null 2>&1 && mkdir btrfs &&
  mount -o loop btrfs.img btrfs 2>/dev/null; then
  dir=$SCRATCH/btrfs/snapshot
  with_old_tree "$dir"
  btrfs -q subvolume create "$dir/pkg/volume" >/dev/null
  printf 'kept\n' >"$dir/pkg/volume/data"
  btrfs -q subvolume snapshot -r "$dir/pkg/volume" "$dir/pkg/backup" >/dev/null
  before=$(snapshot "$dir")
  sfx_run "$dir" "$SCRATCH/good.run"
  sfx_expect "a read-only snapshot in the old tree: status 3 before anything is written" 3 \
    "morrowline-sfx: cannot replace directory: $dir/pkg: $dir/pkg/backup: Read-only file system"
  expect_eq "a read-only snapshot: nothing touched" "$before" "$(snapshot "$dir")"
  check "a read-only snapshot: nothing hidden left" no_debris "$dir"
  umount btrfs
else
  echo "skip - a read-only btrfs snapshot: needs root, mkfs.btrfs and a loop device"
fi

# On FUSE (an exFAT stick through exfat-fuse) a file unlinked while still
# open stays as a hidden .fuse_hidden* entry: a failed run keeps nothing
# open in its staging directory, which then goes too.
if [ "$is_root" = yes ] && command -v mkfs.exfat >/dev/null &&
  command -v mount.exfat-fuse >/dev/null && [ -e /dev/fuse ] && losetup -f >/dev/null 2>&1; then
  truncate -s 64M exfat.img
  mkfs.exfat exfat.img >/dev/null
  exfat_device=$(losetup -f --show exfat.img)
  mkdir exfat
  mount.exfat-fuse -o uid=0,gid=0,umask=022 "$exfat_device" exfat >/dev/null
  dir=$SCRATCH/exfat
  with_old_tree "$dir"
  before=$(snapshot "$dir")
  sfx_run "$dir" "$SCRATCH/damaged.run"
  expect_eq "FUSE: a damaged reinstall fails, status 3" 3 "$RUN_STATUS"
  expect_eq "FUSE: the old tree is as it was" "$before" "$(snapshot "$dir")"
  expect_eq "FUSE: no staging folder left" "" "$(ls -A "$dir" | grep -v '^pkg$' || true)"
  umount exfat
  losetup -d "$exfat_device"
else
  echo "skip - FUSE: needs root, mkfs.exfat, exfat-fuse and a loop device"
fi

# ---- Closing the window during the extraction cancels it ----

for way in escape wm-close; do
  dir=$SCRATCH/close-$way
  with_old_tree "$dir"
  before=$(snapshot "$dir")
  start_run "$dir" big.run
  window=$(window_of_run)
  in_big_member "$dir" || true
  expect_eq "$way during the extraction: the staging directory is private (0700)" 700 \
    "$(stat -c %a "$dir"/.morrowline-*.new 2>/dev/null)"
  if [ $way = escape ]; then gui_key "$window" Escape; else gui_wm_close "$window"; fi
  wait_for_exit "$RUN_PID" 10
  stopped_cleanly "$way during the extraction" "$dir" 3 "morrowline-sfx: cancelled" "$before"
done

# A first install closed the same way leaves nothing visible.
mkdir first-close
start_run first-close big.run
window=$(window_of_run)
in_big_member first-close || true
gui_key "$window" Escape
wait_for_exit "$RUN_PID" 10
stopped_cleanly "Escape during a first install" first-close 3 "morrowline-sfx: cancelled" ""

# ---- The display goes away during the extraction ----

# kill_client WINDOW: drops the window's client as xkill does.
kill_client() {
  timeout 20 python3 - "$1" <<'EOF'
import ctypes, sys
x = ctypes.CDLL("libX11.so.6")
x.XOpenDisplay.restype = ctypes.c_void_p
x.XOpenDisplay.argtypes = [ctypes.c_char_p]
x.XKillClient.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
x.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
display = x.XOpenDisplay(None)
x.XKillClient(display, int(sys.argv[1], 0))
x.XSync(display, 0)
EOF
}

for way in kill-client kill-server; do
  dir=$SCRATCH/lost-$way
  with_old_tree "$dir"
  before=$(snapshot "$dir")
  saved_display=$DISPLAY saved_xvfb=$XVFB_PID
  if [ $way = kill-server ]; then start_xvfb; fi
  start_run "$dir" big.run
  window=$(window_of_run)
  in_big_member "$dir" || true
  if [ $way = kill-client ]; then kill_client "$window"; else kill "$XVFB_PID"; fi
  wait_for_exit "$RUN_PID" 10
  DISPLAY=$saved_display XVFB_PID=$saved_xvfb
  stopped_cleanly "the display lost ($way)" "$dir" 3 \
    "morrowline-sfx: lost the connection to the display" "$before"
done

# ---- A machine without fonts: the window has its own ----

printf '<?xml version="1.0"?>\n<fontconfig></fontconfig>\n' >no-fonts.conf
dir=$SCRATCH/no-fonts
with_old_tree "$dir"
sfx_run "$dir" env FONTCONFIG_FILE="$SCRATCH/no-fonts.conf" "$SCRATCH/good.run"
sfx_expect "no fonts on the machine: status 0" 0 ""
expect_eq "no fonts on the machine: the tree lands" "$NEW_TREE" "$(new_tree "$dir")"

# AddressSanitizer reserves terabytes of address space: only the real
# program can run under a cap.
if readelf -d "$MORROWLINE_SFX" | grep -q 'libasan'; then
  echo "skip - ulimit -v 51200: the sanitizer build cannot run under it"
else
  mkdir little-memory
  sfx_run little-memory bash -c 'ulimit -v 51200 && exec "$0"' "$SCRATCH/big.run"
  if [ "$RUN_STATUS" = 0 ]; then
    check "ulimit -v 51200: the run completes" test "$(stat -c %s little-memory/pkg/big.bin)" = $((1 << 30))
  else
    expect_eq "ulimit -v 51200: a failure says so and leaves nothing" "3|1|" \
      "$RUN_STATUS|$(printf '%s\n' "$RUN_STDERR" | grep -c '^morrowline-sfx: ')|$(ls -A little-memory)"
  fi
  rm -rf little-memory/pkg
fi

# ---- Killed runs leave nothing the next run keeps ----

mkdir killed
start_run killed big.run
in_big_member killed || true
kill -KILL "$RUN_PID"
wait "$RUN_PID" 2>/dev/null || true
expect_eq "SIGKILL during a first install: nothing visible" "" "$(ls killed)"
sfx_run killed "$SCRATCH/good.run"
sfx_expect "the next run: status 0" 0 ""
expect_eq "the next run: the tree is complete" "$NEW_TREE" "$(new_tree killed)"
check "the next run removed the killed run's staging" no_debris killed

# ---- Small ones ----

# A failure still reaches the window when stderr is a closed pipe.
mkdir closed-pipe
(cd closed-pipe && exec timeout 30 "$SCRATCH/damaged.run" 2> >(exit 0) >/dev/null) &
pipe_run=$!
window=$(window_of_run)
check "stderr a closed pipe: the window turns red" gui_wait_for gui_window_pixel_is "$window" 10 53 255,0,0
check "stderr a closed pipe: the run lives on to show its failure" gui_alive "$pipe_run"
gui_key "$window" Escape
wait_for_exit "$pipe_run" 10
expect_eq "stderr a closed pipe: status 3" 3 "$EXIT_STATUS"

# argv[0] that names no file: the running program is read instead.
mkdir odd-name
sfx_run odd-name bash -c 'exec -a /nowhere/setup "$0"' "$SCRATCH/good.run"
sfx_expect "argv[0] naming no file: status 0" 0 ""
expect_eq "argv[0] naming no file: the tree lands" "$NEW_TREE" "$(new_tree odd-name)"

finish
