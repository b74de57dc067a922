#!/bin/bash
# Archives cut short, with lying sizes, offsets and counts, with members
# that share bytes, with hostile names and with members that cannot be
# unpacked (tests/hostile/make_corpus.py makes them and says what each must
# do): every run ends with the status and the one stderr line expected,
# writes nothing beside its working directory, leaves an older pkg/ tree as
# it was and nothing hidden of ours behind, and runs the autorun command
# only after a run that succeeded.
. "$(dirname "$0")/lib.sh"

umask 022
cd "$SCRATCH" || exit 1
python3 "$MORROWLINE_SOURCE/tests/hostile/make_corpus.py" corpus
echo "# the corpus holds $(wc -l <corpus/manifest.tsv) archives"
mkdir installers
start_xvfb

# with_old_tree DIR: DIR holds an older pkg/: a file the archive replaces,
# the user's own file, and a private subdirectory with a file in it.
with_old_tree() {
  mkdir -p "$1/pkg/old"
  printf 'old readme\n' >"$1/pkg/readme.txt"
  printf 'my own notes\n' >"$1/pkg/notes.txt"
  printf 'old setting\n' >"$1/pkg/old/settings.conf"
  chmod 0700 "$1/pkg/old"
  chmod 0600 "$1/pkg/notes.txt"
}

# zip_sums ZIP: the md5 sums of ZIP's files below pkg/, as md5sum shows
# them from inside pkg/.
zip_sums() {
  python3 - "$1" <<'EOF' | LC_ALL=C sort
import hashlib, sys, zipfile
archive = zipfile.ZipFile(sys.argv[1])
for info in archive.infolist():
    if not info.is_dir() and info.filename.startswith("pkg/"):
        print("%s  ./%s" % (hashlib.md5(archive.read(info)).hexdigest(), info.filename[4:]))
EOF
}

# one_clean_line STATUS: stderr (as the run wrote it) is one line ending in
# a newline, without any other control byte; empty when STATUS is 0 or 2.
one_clean_line() {
  local err="$SCRATCH/.sfx_run.err"  # sfx_run's capture, byte for byte
  if [ "$1" = 0 ] || [ "$1" = 2 ]; then
    [ ! -s "$err" ]
  else
    [ "$(wc -l <"$err")" = 1 ] && [ -z "$(tail -c1 "$err")" ] &&
      [ "$(LC_ALL=C tr -d '\040-\176\200-\377\n' <"$err" | wc -c)" = 0 ]
  fi
}

# only_inside CASE_DIR OUTSIDE_BEFORE STATUS: CASE_DIR holds just dest and
# outside; outside is as it was; dest kept its mode; nothing of ours is
# hidden below CASE_DIR; autorun-ran exists only as dest/autorun-ran, and
# only when the run was to succeed.
only_inside() {
  local ran entries
  ran=$(cd "$1" && find . -name autorun-ran | paste -sd' ')
  entries=$(find "$1" -mindepth 1 -maxdepth 1 -printf '%f\n' | LC_ALL=C sort | paste -sd' ')
  [ "$entries" = "dest outside" ] &&
    [ "$(snapshot "$1/outside")" = "$2" ] &&
    [ "$(stat -c %a "$1/dest")" = 750 ] &&
    [ -z "$(find "$1" -name '.morrowline-*')" ] &&
    if [ "$3" = 0 ]; then [ "$ran" = ./dest/autorun-ran ]; else [ -z "$ran" ]; fi
}

count=0
sound_tree=""
while IFS= read -r -u 3 line; do
  # Split by hand: read would merge the two tabs around an empty glob.
  name=${line%%$'\t'*} line=${line#*$'\t'}
  status=${line%%$'\t'*} line=${line#*$'\t'}
  pattern=${line%$'\t'*} old_tree=${line##*$'\t'}
  count=$((count + 1))
  dir="$SCRATCH/case-$count"
  installer="$SCRATCH/installers/$name"
  make_installer "$installer" "corpus/$name.zip"
  mkdir -p "$dir/dest" "$dir/outside"
  printf 'keep out\n' >"$dir/outside/sentinel"
  chmod 0750 "$dir/dest"
  if [ "$old_tree" = 1 ]; then with_old_tree "$dir/dest"; fi
  outside_before=$(snapshot "$dir/outside")
  tree_before=""
  if [ "$old_tree" = 1 ]; then tree_before=$(snapshot "$dir/dest/pkg"); fi

  sfx_run "$dir/dest" "$installer"

  sfx_expect_like "$name: status $status, stderr as expected" "$status" \
    "${pattern//@INSTALLER@/$installer}"
  check "$name: stderr is one line without control bytes, or empty" one_clean_line "$status"
  check "$name: nothing written beside dest, nothing left hidden, autorun only on success" \
    only_inside "$dir" "$outside_before" "$status"
  if [ "$name" = sound ]; then
    # The corpus starts with the sound archive: its run gives the tree that
    # the harmless cases must give too.
    sound_tree=$(snapshot "$dir/dest/pkg")
    expect_eq "sound: pkg/ holds the archive's files and nothing else" "$(zip_sums corpus/sound.zip)" \
      "$(cd "$dir/dest/pkg" && find . -type f -exec md5sum {} + | LC_ALL=C sort)"
  elif [ "$status" = 0 ]; then
    expect_eq "$name: pkg/ is the sound archive's tree" "$sound_tree" "$(snapshot "$dir/dest/pkg")"
  elif [ "$old_tree" = 1 ]; then
    expect_eq "$name: the old pkg/ tree is as it was" "$tree_before" "$(snapshot "$dir/dest/pkg")"
  fi
done 3<corpus/manifest.tsv

# Beside the cases: the installers' directory and the absolute name.
stray_autorun() {
  [ -z "$(find "$SCRATCH" -name autorun-ran ! -path "$SCRATCH/case-*/dest/autorun-ran")" ] &&
    [ ! -e /tmp/morrowline-hostile.bin ]
}
check "no autorun or member landed beside the case directories" stray_autorun

finish
