#!/bin/bash
# A reported success is on the disk. Power cuts for real, on loop-mounted
# file systems of our own: ext4 and xfs shut down without a log flush
# (xfs_io's shutdown: what sits only in memory is lost, as in a power cut),
# btrfs, which has no such call here, by a copy of its device taken at
# that moment. After status 0, at any moment, the new tree is there whole;
# after a run killed at any moment, the old tree or the new one, never a
# mix, and the next run installs cleanly. Also: the order of the calls
# (strace) and a disk that fails its syncs.
. "$(dirname "$0")/lib.sh"

umask 022
cd "$SCRATCH" || exit 1
start_xvfb
gui_hold_display

# The old and the new release: 200 files of 4 KiB in pkg/ with mixed
# modes, a folder, a file only the old one has; beside pkg/, a file that
# replaces the old one in place and a new folder.
python3 - <<'EOF'
import os, random, zipfile
random.seed(25)
def tree(top, version):
    os.makedirs(f"{top}/pkg/sub")
    for i in range(200):
        path = f"{top}/pkg/f{i:03d}"
        with open(path, "wb") as f:
            f.write(random.randbytes(4096))
        os.chmod(path, 0o755 if i % 7 == 0 else 0o600 if i % 11 == 0 else 0o644)
    with open(f"{top}/pkg/sub/{version}.txt", "w") as f:
        f.write(version * 100)
    # Long enough to write that a run can be killed in each of its steps.
    with open(f"{top}/pkg/big.bin", "wb") as f:
        f.write(random.randbytes(48 << 20))
    with open(f"{top}/readme.txt", "w") as f:
        f.write(f"readme of the {version} release\n")
tree("old", "old")
tree("new", "new")
os.makedirs("new/docs")
with open("new/docs/notes.txt", "w") as f:
    f.write("notes\n" * 500)
names = ["pkg/", "pkg/sub/"] + [f"pkg/f{i:03d}" for i in range(200)] + \
    ["pkg/sub/new.txt", "pkg/big.bin", "readme.txt", "docs/", "docs/notes.txt"]
with zipfile.ZipFile("new.zip", "w", zipfile.ZIP_DEFLATED) as z:
    for name in names:
        z.write("new/" + name.rstrip("/"), name)
    z.comment = b"$AUTORUN$>true"
EOF
make_installer new.run new.zip

# tree_of DIR: what a user sees below DIR, hidden entries of ours and the
# file system's lost+found aside.
tree_of() {
  snapshot "$1" | { grep -v -e 'lost+found' -e '\.morrowline-' || true; }
}
OLD_TREE=$(tree_of old)
NEW_TREE=$(tree_of new)
# The parts of each that a killed run may leave apart: pkg/ moves as one,
# each file beside it on its own.
part_of() { grep -E "$2" <<<"$1" || true; }

# fs_make KIND DIR: a fresh file system of KIND in DIR.img, mounted at DIR.
fs_make() {
  rm -f "$2.img"
  truncate -s 320M "$2.img"
  case $1 in
    ext4) mkfs.ext4 -q -F "$2.img" ;;
    xfs) mkfs.xfs -q -f "$2.img" ;;
    btrfs) mkfs.btrfs -q -f "$2.img" ;;
  esac >/dev/null 2>&1 || return 1
  mkdir -p "$2"
  mount -o loop "$2.img" "$2"
}

# power_cut KIND DIR: the power goes now; the machine comes back up and
# mounts what the device held at DIR again.
power_cut() {
  if [ "$1" = btrfs ]; then
    # What the device holds at this moment: btrfs never writes over the
    # blocks of its last commit, so a copy read from its start is one.
    cp --sparse=always "$2.img" "$2.cut"
    umount "$2"
    # The copy has the file system's identity: the kernel must forget the
    # device it was mounted from first.
    while losetup -j "$2.img" | grep -q .; do sleep 0.1; done
    btrfs device scan --forget >/dev/null 2>&1 || true
    mv "$2.cut" "$2.img"
  else
    xfs_io -x -c shutdown "$2"
    umount "$2"
  fi
  mount -o loop "$2.img" "$2" 2>"$2.mount" || { echo "cannot mount it again: $(cat "$2.mount")"; return 1; }
}

# sync_kind DIR: how the installer makes what it writes in DIR durable,
# as it tells: "none" (tmpfs), "entry" (an fsync of each entry: FUSE,
# network and stacked file systems, kernels before 5.8) or "whole" (one
# syncfs).
sync_kind() {
  case $(stat -f -c %t "$1") in
    1021994 | 858458f6) echo none ;;
    65735546 | 6969 | 517b | ff534d42 | fe534d42 | 1021997 | c36400 | 5346414f | 6b414653 | \
      73757245 | 794c7630 | f15f | 786f4256) echo entry ;;
    *) awk -F. '{ exit !($1 > 5 || ($1 == 5 && $2 >= 8)) }' <<<"$(uname -r)" && echo whole ||
      echo entry ;;
  esac
}

# The checks below run on an ext4 of their own where one can be mounted,
# else where the test runs, with what its file system calls for.
checks=$SCRATCH/checks
if [ "$(id -u)" = 0 ] && command -v mkfs.ext4 >/dev/null && losetup -f >/dev/null 2>&1 &&
  fs_make ext4 "$checks"; then
  checks_mounted=yes
else
  mkdir -p "$checks"
  checks_mounted=no
fi
kind=$(sync_kind "$checks")
sync_call=syncfs
[ "$kind" = entry ] && sync_call=fsync

# ---- The order of the calls ----

if [ "$kind" = none ]; then
  echo "skip - the order of the calls and failing syncs: $checks keeps nothing over a power cut"
elif command -v strace >/dev/null; then
  cp -a old "$checks/order"
  (cd "$checks/order" && strace -f -qq -o "$SCRATCH/order.trace" \
    -e trace=syncfs,fsync,renameat2,execve "$SCRATCH/new.run" >/dev/null 2>&1)
  # One line per call, where it returned: one that another thread's calls
  # interrupted counts at its end.
  sed -E 's/^[0-9]+ +//' order.trace | grep -v '<unfinished \.\.\.>$' |
    sed -E 's/^<\.\.\. ([a-z0-9_]+) resumed>/\1(/' | grep -v '^execve("'"$SCRATCH"'/new.run' \
    >order.calls
  exchange_at=$(grep -n 'RENAME_EXCHANGE' order.calls | cut -d: -f1)
  sync_at=$(awk -v x="${exchange_at:-0}" -v call="^$sync_call\\(" 'NR < x && $0 ~ call { at = NR }
    END { print at }' order.calls)
  parent_at=$(awk -v x="$exchange_at" 'NR > x && /^fsync\(/ { print NR; exit }' order.calls)
  command_at=$(grep -n '^execve("/bin/sh"' order.calls | cut -d: -f1)
  check "order: the tree is synced ($sync_call at ${sync_at:-none}) before it is exchanged (at ${exchange_at:-none})" \
    test -n "$sync_at" -a -n "$exchange_at"
  check "order: the parent is synced before the autorun command starts (fsync at ${parent_at:-none}, command at ${command_at:-none})" \
    test -n "$parent_at" -a -n "$command_at" -a "${parent_at:-0}" -lt "${command_at:-0}"
  grep -q "^$sync_call(.*= 0\$" order.calls || { echo "  calls:"; sed 's/^/    /' order.calls; }

  # A sync held for three seconds: meanwhile the bar is full, "Fechar"
  # inactive, and the old tree still in place.
  cp -a old "$checks/waiting"
  (cd "$checks/waiting" && exec strace -f -qq -o /dev/null -e trace="$sync_call" \
    -e inject="$sync_call":delay_enter=3000000 "$SCRATCH/new.run") >/dev/null 2>waiting.err </dev/null &
  pid=$!
  window=$(wait_for_window "Morrowline SFX Tool" 20 || true)
  sleep 1.5  # the members take a fraction of that
  gui_screenshot "$window" syncing.png || true
  check "while the tree is synced: the bar is full" \
    test "$(gui_pixel syncing.png 595 53)" = 0,0,255
  expect_eq "while the tree is synced: \"Fechar\" is inactive" 0 \
    "$(gui_dark_pixels syncing.png 120x21+467+102)"
  expect_eq "while the tree is synced: the old tree is still there" "$(part_of "$OLD_TREE" pkg)" \
    "$(part_of "$(tree_of "$checks/waiting")" pkg)"
  wait_for_exit "$pid" 60
  expect_eq "after the sync: status 0, the new tree" "status 0, stderr []|$NEW_TREE" \
    "status $EXIT_STATUS, stderr [$(cat waiting.err)]|$(tree_of "$checks/waiting")"
else
  echo "skip - the order of the calls: needs strace"
fi

# ---- A disk that fails its syncs ----

# sync_fails LABEL DIR MESSAGE: a reinstall in DIR whose syncs fail with
# EIO ends with status 3 and MESSAGE, the old tree as it was.
sync_fails() {
  local label=$1 dir=$2 before
  before=$(snapshot "$dir")
  sfx_run "$dir" "$MORROWLINE_FAILING_CALLS" EIO syncfs,fsync,fdatasync "$SCRATCH/new.run"
  sfx_expect "$label: status 3, says why" 3 "$3"
  expect_eq "$label: the old tree is as it was" "$before" "$(snapshot "$dir")"
  check "$label: nothing hidden left" no_debris "$dir"
}
if [ "$kind" != none ]; then
  cp -a old "$checks/failing"
  failing_at=$checks/failing/pkg
  [ "$kind" = entry ] && failing_at=$checks/failing/pkg/f000  # the first file written
  sync_fails "$sync_call answers EIO" "$checks/failing" \
    "morrowline-sfx: cannot write to disk: $failing_at: Input/output error"
fi
# Past big.bin the run starts a sync while it writes on. Only that one
# fails here, the final one would pass: what it met must not be lost,
# for syncfs reports an error once.
if [ "$kind" = whole ]; then
  cp -a old "$checks/early"
  before=$(snapshot "$checks/early")
  sfx_run "$checks/early" "$MORROWLINE_CALL_HOOK" fail 1 syncfs EIO "$SCRATCH/new.run"
  sfx_expect "the early sync answers EIO, the final one would not: status 3" 3 \
    "morrowline-sfx: cannot write to disk: $checks/early/pkg: Input/output error"
  expect_eq "after a failed early sync: the old tree is as it was" "$before" \
    "$(snapshot "$checks/early")"
  check "after a failed early sync: nothing hidden left" no_debris "$checks/early"
fi
o=$checks/overlay
if [ "$(id -u)" = 0 ] && mkdir "$o" "$o/lower" "$o/upper" "$o/work" "$o/merged" &&
  mount -t overlay overlay -o "lowerdir=$o/lower,upperdir=$o/upper,workdir=$o/work" \
    "$o/merged" 2>/dev/null; then
  # Synced file by file there: the first file's fsync fails.
  cp -a old/. "$o/merged/"
  sync_fails "on an overlay, fsync answers EIO" "$o/merged" \
    "morrowline-sfx: cannot write to disk: $o/merged/pkg/f000: Input/output error"
  umount "$o/merged"
  mkdir "$checks/tmpfs"
  mount -t tmpfs tmpfs "$checks/tmpfs"
  cp -a old/. "$checks/tmpfs/"
  sfx_run "$checks/tmpfs" "$MORROWLINE_FAILING_CALLS" EIO syncfs,fsync,fdatasync "$SCRATCH/new.run"
  sfx_expect "on a tmpfs, which keeps nothing over a power cut, nothing is synced" 0 ""
  expect_eq "on a tmpfs: the new tree" "$NEW_TREE" "$(tree_of "$checks/tmpfs")"
  umount "$checks/tmpfs"
else
  echo "skip - syncs on an overlay and a tmpfs: need root and mount"
fi
[ "$checks_mounted" = no ] || umount "$checks"

# ---- Power cuts ----

kinds=""
if [ "$(id -u)" = 0 ] && command -v losetup >/dev/null && losetup -f >/dev/null 2>&1; then
  command -v mkfs.ext4 >/dev/null && command -v xfs_io >/dev/null && kinds="ext4"
  command -v mkfs.xfs >/dev/null && command -v xfs_io >/dev/null && kinds="$kinds xfs"
  command -v mkfs.btrfs >/dev/null && kinds="$kinds btrfs"
fi

# after_success KIND DELAY: a reinstall that ends with status 0, and the
# power cut DELAY seconds later. The outcome goes to the file DIR.outcome.
after_success() {
  local dir=$SCRATCH/$1-after-$2 status=0
  fs_make "$1" "$dir" || { echo "no $1 here" >"$dir.outcome"; return; }
  cp -a old/. "$dir/"
  sync -f "$dir"
  (cd "$dir" && exec timeout 60 "$SCRATCH/new.run") >/dev/null 2>"$dir.err" </dev/null || status=$?
  sleep "$2"
  power_cut "$1" "$dir" >"$dir.outcome" || return 0
  {
    echo "status $status, stderr [$(cat "$dir.err")]"
    tree_of "$dir"
  } >"$dir.outcome"
  umount "$dir"
  rm -f "$dir.img"
}

# killed KIND CASE DELAY: an install (CASE: first or reinstall) killed
# DELAY seconds after it started, then the power cut. What pkg/ and each
# file beside it hold, old or new or nothing, goes to DIR.outcome, then
# how the next run ended.
killed() {
  local dir=$SCRATCH/$1-$2-$3 pid status=0 left
  fs_make "$1" "$dir" || { echo "no $1 here" >"$dir.outcome"; return; }
  [ "$2" = reinstall ] && cp -a old/. "$dir/"
  sync -f "$dir"
  (cd "$dir" && exec "$SCRATCH/new.run") >/dev/null 2>&1 </dev/null &
  pid=$!
  sleep "$3"
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  power_cut "$1" "$dir" >"$dir.outcome" || return 0
  left=$(tree_of "$dir")
  {
    for part in pkg readme.txt docs/notes.txt; do
      got=$(part_of "$left" "$part")
      if [ -z "$got" ]; then echo "$part: none"
      elif [ "$got" = "$(part_of "$OLD_TREE" "$part")" ]; then echo "$part: old"
      elif [ "$got" = "$(part_of "$NEW_TREE" "$part")" ]; then echo "$part: new"
      else echo "$part: MIXED"; fi
    done
    (cd "$dir" && exec timeout 60 "$SCRATCH/new.run") >/dev/null 2>"$dir.err" </dev/null ||
      status=$?
    echo "next run: status $status, stderr [$(cat "$dir.err")]"
    [ "$(tree_of "$dir")" = "$NEW_TREE" ] && echo "next run: the new tree" || echo "next run: OTHER TREE"
    no_debris "$dir" && echo "next run: nothing hidden" || echo "next run: DEBRIS"
  } >"$dir.outcome"
  umount "$dir"
  rm -f "$dir.img"
}

if [ -n "$kinds" ]; then
  delays="0 2 8 15 35"
  kill_delays="0.05 0.1 0.15 0.2 0.25 0.3 0.6"
  cases=()
  for kind in $kinds; do
    for delay in $delays; do
      after_success "$kind" "$delay" &
      cases+=($!)
    done
    # One after another on each kind, the kinds side by side.
    (
      for delay in $kill_delays; do
        killed "$kind" reinstall "$delay"
        killed "$kind" first "$delay"
      done
    ) &
    cases+=($!)
  done
  wait "${cases[@]}" || true
  expected="status 0, stderr []
$NEW_TREE"
  for kind in $kinds; do
    for delay in $delays; do
      outcome=$SCRATCH/$kind-after-$delay.outcome
      if [ "$(head -n1 "$outcome" 2>/dev/null || true)" = "no $kind here" ]; then
        echo "skip - $kind: cannot make one here"
        continue 2
      fi
      expect_eq "$kind, power cut ${delay} s after status 0: exactly the new tree" "$expected" \
        "$(cat "$outcome" 2>/dev/null || true)"
    done
    for delay in $kill_delays; do
      for case in reinstall first; do
        outcome=$(cat "$SCRATCH/$kind-$case-$delay.outcome" 2>/dev/null || true)
        echo "  $kind, $case killed at $delay s: $(head -n3 <<<"$outcome" | paste -sd' ')"
        check "$kind, $case killed at $delay s, then a power cut: each part old, new or absent, never mixed or cut short" \
          test -z "$(grep MIXED <<<"$outcome")"
        if [ $case = reinstall ]; then
          check "$kind, reinstall killed at $delay s: pkg/ is there, old or new" \
            grep -qE '^pkg: (old|new)$' <<<"$outcome"
        else
          check "$kind, first install killed at $delay s: pkg/ is absent or new" \
            grep -qE '^pkg: (none|new)$' <<<"$outcome"
        fi
        expect_eq "$kind, $case killed at $delay s: the next run installs cleanly" \
          "next run: status 0, stderr []|next run: the new tree|next run: nothing hidden" \
          "$(grep '^next run' <<<"$outcome" | paste -sd'|')"
      done
    done
  done
else
  echo "skip - power cuts: need root, loop devices, mkfs.ext4, mkfs.xfs and xfs_io"
fi

finish
