#!/bin/bash
# shellcheck disable=SC2016 # "$AUTORUN$" and the sh -c scripts are meant literally
# A neighbour who renames what the installer makes, as root runs it: in a
# folder anyone may write to, the run refuses before writing anything; in
# a sticky /tmp-like folder it installs, and nothing of the neighbour's is
# used; in a folder of a trusted group, a swap still made is noticed
# before the run reports success or starts its command.
. "$(dirname "$0")/lib.sh"

nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
if [ "$(id -u)" != 0 ] || ! "${nobody[@]}" true 2>/dev/null; then
  echo "skip - a neighbour's swaps: need root and a working setpriv"
  exit 0
fi
umask 022
cd "$SCRATCH" || exit 1
chmod 0711 "$SCRATCH"
start_xvfb

# A few hundred files and one 8 MiB stored member: the run lasts long
# enough for a neighbour's loop to find its staging directory.
mkdir -p src/pkg
for i in $(seq -w 0 299); do echo "file $i" >"src/pkg/f$i"; done
head -c $((8 << 20)) /dev/urandom >src/pkg/big.bin
printf 'echo ours > ran-by\n' >src/pkg/setup.sh
python3 - <<'EOF2'
import os, zipfile
with zipfile.ZipFile("app.zip", "w", zipfile.ZIP_DEFLATED) as z:
    z.write("src/pkg", "pkg/")  # first: a reinstall replaces the tree whole
    for name in sorted(os.listdir("src/pkg")):
        kind = zipfile.ZIP_STORED if name == "big.bin" else zipfile.ZIP_DEFLATED
        z.write("src/pkg/" + name, "pkg/" + name, kind)
    z.comment = b"$AUTORUN$>sh pkg/setup.sh"
EOF2
make_installer app.run app.zip

# The neighbour's own tree, which it wants root to run.
mkdir -p neighbour/pkg
printf 'echo neighbour > ran-by\n' >neighbour/pkg/setup.sh
chown -R 65534:65534 neighbour

# folder_with_old_tree DIR MODE [GROUP]
folder_with_old_tree() {
  mkdir "$1"
  with_old_tree "$1"
  chmod "$2" "$1"
  if [ -n "${3:-}" ]; then chgrp "$3" "$1"; fi
}

# The neighbour's loop: each staging directory it sees goes aside, and a
# link to its own tree takes the name.
start_swapper() {
  "${nobody[@]}" sh -c '
    cd "$1" || exit 1
    n=0
    while :; do
      for entry in .morrowline-*.new; do
        [ -d "$entry" ] && [ ! -L "$entry" ] || continue
        n=$((n + 1))
        mv "$entry" "stolen-$n" 2>/dev/null && ln -s "$2/pkg" "$entry" && echo swapped >>"$3"
      done
    done' - "$1" "$SCRATCH/neighbour" "$SCRATCH/neighbour/$(basename "$1").swaps" &
  SWAPPER=$!
}
stop_swapper() {
  kill "$SWAPPER" 2>/dev/null || true
  wait "$SWAPPER" 2>/dev/null || true
}

# ---- Anyone may rename entries here: refused before anything is written ----

folder_with_old_tree open 0777
before=$(snapshot open)
start_swapper "$SCRATCH/open"
sfx_run open "$SCRATCH/app.run"
stop_swapper
sfx_expect "a folder anyone may write to: refused, status 3" 3 \
  "morrowline-sfx: folder writable by other users: $SCRATCH/open: any user may swap what the installer puts there (mode 0777, no sticky bit); run chmod o-w (or chmod +t) on it first"
expect_eq "a folder anyone may write to: the old tree as it was" "$before" "$(snapshot open)"
check "a folder anyone may write to: no command ran" test ! -e open/ran-by
check "a folder anyone may write to: nothing of the run's there" no_debris open

# A 0777 folder inside the working directory reopens the hole: its in-place
# member is refused as well.
mkdir -p nested/shared
chmod 0777 nested/shared
python3 - <<'EOF'
import zipfile
with zipfile.ZipFile("nested.zip", "w") as z:
    z.writestr("shared/notes.txt", "notes\n")
    z.comment = b"$AUTORUN$>true"
EOF
make_installer nested.run nested.zip
sfx_run nested "$SCRATCH/nested.run"
sfx_expect "a 0777 folder below the working directory: refused" 3 \
  "morrowline-sfx: folder writable by other users: $SCRATCH/nested/shared: any user may swap what the installer puts there (mode 0777, no sticky bit); run chmod o-w (or chmod +t) on it first"
check "a 0777 folder below the working directory: nothing written" test ! -e nested/shared/notes.txt

# ---- A sticky folder: the neighbour cannot rename root's entries ----

folder_with_old_tree sticky 1777
start_swapper "$SCRATCH/sticky"
sfx_run sticky "$SCRATCH/app.run"
stop_swapper
sfx_expect "a sticky folder: installed, status 0" 0 ""
check "a sticky folder: the new tree, a real folder" \
  sh -c 'test ! -L sticky/pkg && diff -r src/pkg sticky/pkg'
expect_eq "a sticky folder: the installer's own command ran" "ours" "$(cat sticky/ran-by)"
check "a sticky folder: the neighbour swapped nothing" test ! -e neighbour/sticky.swaps

# ---- An exFAT stick mounted for one user, showing mode 0777 to everyone ----

if command -v mkfs.exfat >/dev/null && command -v mount.exfat-fuse >/dev/null &&
  losetup -f >/dev/null 2>&1 && [ -e /dev/fuse ]; then
  truncate -s 32M stick.img
  mkfs.exfat stick.img >/dev/null
  stick_device=$(losetup -f --show stick.img)
  mkdir stick
  trap 'umount "$SCRATCH/stick" 2>/dev/null; losetup -d "$stick_device" 2>/dev/null; cleanup' EXIT
  mount.exfat-fuse -o uid=65534,gid=65534,umask=000 "$stick_device" stick >/dev/null
  sfx_run stick "${nobody[@]}" "$SCRATCH/app.run"
  sfx_expect "an exFAT stick, run by the user it is mounted for: installed" 0 ""
  check "an exFAT stick, run by its user: the new tree" diff -r src/pkg stick/pkg
  sfx_run stick "$SCRATCH/app.run"
  sfx_expect "an exFAT stick, run by root: refused" 3 \
    "morrowline-sfx: folder writable by other users: $SCRATCH/stick: any user may swap what the installer puts there (its file system gives everyone write access, mode 0777); mount it without that (umask=022), or run the installer as the user it is mounted for"
  umount stick
  losetup -d "$stick_device"
  trap cleanup EXIT
else
  echo "skip - an exFAT stick: needs loop devices, FUSE, mkfs.exfat and mount.exfat-fuse"
fi

# ---- A folder its group may write to: the group is trusted, a swap caught ----

folder_with_old_tree group 0775 nogroup
grouped=(setpriv --reuid=65534 --regid=65534 --clear-groups)
before=$(snapshot group)
# Right after the new tree took its name, a member of the group moves it
# aside and puts a link of its own there.
sfx_run group "$MORROWLINE_CALL_HOOK" after renameat2 \
  "${grouped[*]} sh -c 'mv pkg stolen && ln -s $SCRATCH/neighbour/pkg pkg'" "$SCRATCH/app.run"
sfx_expect "a swap right after the exchange: caught, status 3" 3 \
  "morrowline-sfx: cannot replace directory: $SCRATCH/group/pkg: something else was put in its place during the run"
expect_eq "a swap right after the exchange: the old tree is back" "$before" \
  "$(snapshot group | grep -v stolen)"
check "a swap right after the exchange: no command ran" test ! -e group/ran-by

# The neighbour's loop, as it would run: whenever it swaps in time, the run
# fails; the neighbour's tree is never installed nor run.
rm -rf group
folder_with_old_tree group 0775 nogroup
start_swapper "$SCRATCH/group"
sfx_run group "$SCRATCH/app.run"
stop_swapper
case "$RUN_STATUS:$(cat group/ran-by 2>/dev/null)" in
  0:ours) check "the group's loop: installed, the installer's own command ran" \
    sh -c 'test ! -L group/pkg && diff -r src/pkg group/pkg' ;;
  3:) expect_eq "the group's loop: caught, the old tree stands" "d 755 - pkg" \
    "$(sfx_tree group | grep ' pkg$')" ;;
  *) expect_eq "the group's loop: installed or caught" "0:ours or 3:" \
    "$RUN_STATUS:$(cat group/ran-by 2>/dev/null)" ;;
esac

finish
