#!/bin/bash
# Extraction benchmark: morrowline-sfx installers against unzip, bsdtar, 7z,
# busybox unzip and, as the floor, tar on an uncompressed tar; and packing
# benchmark: morrowline-pack against zip, 7z and bsdtar making a ZIP. Run by
# hand, never from ctest; bench/README.md says what it measures and how.
set -euo pipefail

usage() {
  cat <<'EOF'
usage: bench/run.sh [options]
  --rounds N      timed rounds per tool and payload, after one warm-up (default 5)
  --only NAME     small, medium, large, mixed, tiny, one or system; repeatable
                  or comma separated (default small, medium and large)
  --sfx PATH      the morrowline-sfx program (default build/bin/morrowline-sfx)
  --pack PATH     the morrowline-pack program (default build/bin/morrowline-pack)
  --work DIR      payloads, archives and outputs (default /tmp/morrowline-bench)
  --tmpfs         mount a tmpfs at DIR (root only); it stays mounted, with the
                  payloads for the next run, until 'umount DIR'
  --ext4          extract onto a fresh ext4 (root only), made in the sparse file
                  DIR/out.ext4 and mounted at DIR/out through a loop device
                  with direct I/O, as a disk takes blocks; the payloads stay
                  where they are; unmounted and removed at the end
  --buffered-loop with --ext4: the loop device writes through the page cache
                  of DIR/out.ext4, one more copy of every block on the same
                  cores (the kernel's default for loop devices)
  --scale F       multiply the payloads' file counts and big file sizes by F
                  (0.02 makes a quick check of the script itself)
  --no-pack       skip the packing tables
  --pack-only     only the packing tables: no extraction, no Xvfb
Markdown tables go to standard output and to DIR/results.md; progress to
standard error.
EOF
}

die() { echo "run.sh: $*" >&2; exit 2; }
need_value() { [ "$2" -ge 2 ] || die "$1 needs a value"; }

repo=$(cd "$(dirname "$0")/.." && pwd)
rounds=5
only=""
sfx="$repo/build/bin/morrowline-sfx"
pack="$repo/build/bin/morrowline-pack"
work=/tmp/morrowline-bench
use_tmpfs=0
use_ext4=0
loop_direct_io=on
scale=1
run_extract=1
run_pack=1

while [ $# -gt 0 ]; do
  case $1 in
    --rounds) need_value "$1" $#; rounds=$2; shift 2 ;;
    --only) need_value "$1" $#; only="$only,$2"; shift 2 ;;
    --sfx) need_value "$1" $#; sfx=$2; shift 2 ;;
    --pack) need_value "$1" $#; pack=$2; shift 2 ;;
    --work) need_value "$1" $#; work=$2; shift 2 ;;
    --tmpfs) use_tmpfs=1; shift ;;
    --ext4) use_ext4=1; shift ;;
    --buffered-loop) loop_direct_io=off; shift ;;
    --scale) need_value "$1" $#; scale=$2; shift 2 ;;
    --no-pack) run_pack=0; shift ;;
    --pack-only) run_extract=0; shift ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
  esac
done

[[ $rounds =~ ^[1-9][0-9]*$ ]] || die "--rounds must be a positive whole number"
[[ $scale =~ ^[0-9]*\.?[0-9]+$ ]] && awk -v s="$scale" 'BEGIN { exit !(s > 0) }' ||
  die "--scale must be a positive number"
payloads=()
for name in ${only//,/ }; do
  case $name in
    small | medium | large | mixed | tiny | one | system)
      [[ " ${payloads[*]-} " == *" $name "* ]] || payloads+=("$name") ;;
    *) die "unknown payload: $name" ;;
  esac
done
[ ${#payloads[@]} -gt 0 ] || payloads=(small medium large)

for program in "$sfx" "$pack"; do
  [ -x "$program" ] || die "not an executable program: $program (build it, or use --sfx/--pack)"
done
sfx=$(realpath "$sfx")
pack=$(realpath "$pack")
[ "$run_extract$run_pack" != 00 ] || die "--no-pack and --pack-only exclude each other"
required=(python3 zip unzip bsdtar sha256sum)
[ "$run_extract" = 0 ] || required+=(tar Xvfb)
for tool in "${required[@]}"; do
  command -v "$tool" >/dev/null || die "$tool is missing (tools/setup.sh installs it)"
done
[ -x /usr/bin/time ] || die "/usr/bin/time is missing: install the package 'time' (tools/setup.sh)"

[ "$use_tmpfs$use_ext4" != 11 ] || die "--tmpfs and --ext4 exclude each other"
[ "$loop_direct_io" = on ] || [ "$use_ext4" = 1 ] || die "--buffered-loop goes with --ext4"

# Tools in the order of a round; 7z and busybox only when installed. The
# installer comes three times: deflate (the default), Zstandard and XZ.
# On a disk, the installer's run ends with its tree on the disk; so do
# unzip's and bsdtar's when followed by sync -f, the same durable work.
tools=(sfx sfx-zstd sfx-xz unzip bsdtar)
have_7z=0
if command -v 7z >/dev/null; then
  have_7z=1
  tools+=(7z)
else
  echo "run.sh: 7z is not installed; skipping it" >&2
fi
if command -v busybox >/dev/null; then
  tools+=(busybox)
elif [ "$run_extract" = 1 ]; then
  echo "run.sh: busybox is not installed; skipping it" >&2
fi
tools+=(tar)
# The packers, in the order of a packing round: each makes a ZIP of pkg.
pack_tools=(pack zip)
[ "$have_7z" = 0 ] || pack_tools+=(7z)
pack_tools+=(bsdtar)

label() {
  case $1 in
    sfx) echo "morrowline-sfx" ;;
    sfx-zstd) echo "morrowline-sfx zstd" ;;
    sfx-xz) echo "morrowline-sfx xz" ;;
    unzip) echo "unzip -q" ;;
    bsdtar) echo "bsdtar -xf" ;;
    unzip-sync) echo "unzip -q, sync -f" ;;
    bsdtar-sync) echo "bsdtar -xf, sync -f" ;;
    7z) echo "7z x" ;;
    busybox) echo "busybox unzip" ;;
    tar) echo "tar -xf (floor)" ;;
  esac
}

pack_label() {
  case $1 in
    pack) echo "morrowline-pack" ;;
    zip) echo "zip -qr -6" ;;
    7z) echo "7z a -tzip -mx=5" ;;
    bsdtar) echo "bsdtar --format zip" ;;
  esac
}

umask 022
mkdir -p "$work"
work=$(realpath "$work")
mounted=0
if [ "$use_tmpfs" = 1 ]; then
  [ "$(id -u)" -eq 0 ] || die "--tmpfs needs root"
  if [ "$(stat -f -c %T "$work")" != tmpfs ]; then
    # The size is a limit, not a reservation; outputs are deleted as they go.
    mount -t tmpfs -o size=50% tmpfs "$work"
    mounted=1
  fi
fi
on_tmpfs=0
[ "$(stat -f -c %T "$work")" = tmpfs ] && on_tmpfs=1
[ "$on_tmpfs" = 1 ] || tools+=(unzip-sync bsdtar-sync)

if [ "$scale" = 1 ]; then data="$work/payloads"; else data="$work/payloads-scale$scale"; fi
out="$work/out"
trash="$work/trash"
logs="$work/logs"
packed="$work/packed"
mkdir -p "$data" "$out" "$trash" "$logs" "$packed"
ext4_image=""
ext4_loop=""
ext4_note=""
if [ "$use_ext4" = 1 ]; then
  [ "$(id -u)" -eq 0 ] || die "--ext4 needs root"
  command -v mkfs.ext4 >/dev/null || die "mkfs.ext4 is missing (tools/setup.sh installs it)"
  ext4_image="$work/out.ext4"
  umount "$out" 2>/dev/null || true
  rm -f "$ext4_image"
  # A limit, not a reservation: outputs are deleted as they go. Inode
  # tables and journal are written now, not by ext4lazyinit during the
  # rounds, whose first writes it slowed threefold.
  truncate -s 16G "$ext4_image"
  mkfs.ext4 -q -F -i 65536 -E lazy_itable_init=0,lazy_journal_init=0 "$ext4_image"
  # With direct I/O, the loop device hands each block to the file below
  # as a disk's driver takes it from the page cache; without, it copies
  # every block once more into that file's page cache, kernel work on the
  # same two cores that a real disk does not cost.
  ext4_loop=$(losetup --direct-io="$loop_direct_io" --show -f "$ext4_image")
  mount "$ext4_loop" "$out"
  rmdir "$out/lost+found"
  # losetup only warns where the file below cannot take direct I/O.
  case $(cat "/sys/block/${ext4_loop#/dev/}/loop/dio") in
    1) ext4_note=" (a loop-mounted file system of its own, direct I/O)" ;;
    *) ext4_note=" (a loop-mounted file system of its own, buffered)" ;;
  esac
fi
run_id="$(date +%Y%m%d-%H%M%S)-$$"
results="$logs/$run_id.tsv"
pack_results="$logs/$run_id-pack.tsv"

XVFB_PID=""
cleanup() {
  status=$?
  [ -z "$XVFB_PID" ] || kill "$XVFB_PID" 2>/dev/null || true
  rm -f "$packed/$run_id"-* # an interrupted packing run's output
  # Outputs go only now: this file system reuses freed inodes late, and
  # creating many files soon after deleting many is several times slower.
  if [ -n "$(ls -A "$trash")" ]; then
    echo "removing the extracted trees in $trash" >&2
    rm -rf "${trash:?}"/*
  fi
  [ "$mounted" = 0 ] || echo "the tmpfs at $work stays mounted; 'umount $work' frees it" >&2
  if [ -n "$ext4_image" ]; then
    cd / && umount "$out" && losetup -d "$ext4_loop" && rm -f "$ext4_image"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Leftovers of an interrupted run are removed with this run's at the end.
for old in "$out"/*; do
  [ -e "$old" ] && mv "$old" "$trash/old-$run_id-$(basename "$old")"
done
rm -f "$packed"/*

discard() {
  if [ "$on_tmpfs" = 1 ] || [ -n "$ext4_image" ]; then
    rm -rf "$1" # tmpfs frees at once, and memory would not hold every output
  else
    mv "$1" "$trash/"
  fi
}

# tree_digest DIR: "files=N dirs=N content=SHA modes=SHA" of DIR/pkg. The
# content sum covers the path and type of every entry and the bytes of
# every file; the modes sum covers every entry's permission bits.
tree_digest() {
  (
    cd "$1"
    files=$(find pkg -type f | wc -l)
    dirs=$(find pkg -type d | wc -l)
    content=$({
      find pkg -printf '%y %p\n' | LC_ALL=C sort
      find pkg -type f -print0 | LC_ALL=C sort -z | xargs -0r sha256sum
    } | sha256sum | cut -c1-16)
    modes=$(find pkg -printf '%m %p\n' | LC_ALL=C sort | sha256sum | cut -c1-16)
    echo "files=$files dirs=$dirs content=$content modes=$modes"
  )
}

field() { tr ' ' '\n' <<<"$1" | sed -n "s/^$2=//p"; }
mib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }

# prepare_tree PAYLOAD: makes the tree and its digest when missing or older
# than what they are made from.
prepare_tree() {
  local p=$1 base="$data/$1"
  if [ ! -f "$base/.made" ]; then
    python3 "$repo/bench/make_payloads.py" --scale "$scale" --only "$p" "$data"
  fi
  if [ ! -f "$data/$p.digest" ] || [ "$base/.made" -nt "$data/$p.digest" ]; then
    echo "computing the digest of $base/pkg" >&2
    tree_digest "$base" >"$data/$p.digest.tmp"
    mv "$data/$p.digest.tmp" "$data/$p.digest"
  fi
}

# prepare_archives PAYLOAD: makes the installers, the ZIP and the tar that
# the extraction rounds start from, when missing or older than what they
# are made from.
prepare_archives() {
  local p=$1 base="$data/$1"
  # The installers are made again whenever either program changed.
  local run method programs
  programs=$(stat -c '%n %s %Y' "$sfx" "$pack")
  for method in deflate zstd xz; do
    run="$data/$p.$method.run"
    if [ ! -f "$run" ] || [ "$base/.made" -nt "$run" ] ||
      [ "$programs" != "$(cat "$run.programs" 2>/dev/null)" ]; then
      echo "packing $run" >&2
      # deflate at the packer's default level, as zip packs the peers' archive
      if [ $method = deflate ]; then
        (cd "$base" && "$pack" -o "$run" --stub "$sfx" --run true pkg)
      else
        (cd "$base" && "$pack" -o "$run" --stub "$sfx" --method "$method" -9 --run true pkg)
      fi
      echo "$programs" >"$run.programs"
    fi
  done
  if [ ! -f "$data/$p.zip" ] || [ "$base/.made" -nt "$data/$p.zip" ]; then
    echo "zipping $data/$p.zip" >&2
    rm -f "$data/$p.tmp.zip"
    (cd "$base" && zip -qr "$data/$p.tmp.zip" pkg)
    mv "$data/$p.tmp.zip" "$data/$p.zip"
  fi
  if [ ! -f "$data/$p.tar" ] || [ "$base/.made" -nt "$data/$p.tar" ]; then
    echo "making $data/$p.tar" >&2
    tar -cf "$data/$p.tmp.tar" -C "$base" pkg
    mv "$data/$p.tmp.tar" "$data/$p.tar"
  fi
}

tool_command() { # tool_command TOOL PAYLOAD: sets the array cmd
  local z="$data/$2.zip"
  case $1 in
    sfx) cmd=("$data/$2.deflate.run") ;;
    sfx-zstd) cmd=("$data/$2.zstd.run") ;;
    sfx-xz) cmd=("$data/$2.xz.run") ;;
    unzip) cmd=(unzip -q "$z") ;;
    bsdtar) cmd=(bsdtar -xf "$z") ;;
    unzip-sync) cmd=(sh -c 'unzip -q "$1" && sync -f .' sh "$z") ;;
    bsdtar-sync) cmd=(sh -c 'bsdtar -xf "$1" && sync -f .' sh "$z") ;;
    7z) cmd=(7z x -y -bd "$z") ;;
    busybox) cmd=(busybox unzip -q "$z") ;;
    tar) cmd=(tar -xf "$data/$2.tar") ;;
  esac
}

failures=0

# timed_command DIR LOG: runs "${cmd[@]}" in DIR, its output to LOG, after
# a sync (the previous run's writeback must not land in this one's time);
# sets the caller's status, wall, user, sys and rss (peak KiB).
timed_command() {
  local timing="$logs/$run_id.time" started ended
  status=0
  sync
  # The wall time to the microsecond: time's own is in hundredths, too
  # coarse for a start-up of a few milliseconds.
  started=$EPOCHREALTIME
  (cd "$1" && /usr/bin/time -o "$timing" -f '%U %S %M' "${cmd[@]}") >"$2" 2>&1 || status=$?
  ended=$EPOCHREALTIME
  # time writes "Command exited with non-zero status N" before the numbers.
  read -r user sys rss < <(tail -n1 "$timing")
  wall=$(awk -v a="$started" -v b="$ended" 'BEGIN { printf "%.4f", b - a }')
}

# run_one PAYLOAD TOOL ROUND: extracts into a fresh folder, times the run,
# checks the tree and appends a line to the results.
run_one() {
  local p=$1 tool=$2 round=$3
  local dir="$out/$run_id-$p-$tool-$round" log="$logs/$run_id-$p-$tool-$round.log"
  local check=ok status wall user sys rss
  tool_command "$tool" "$p"
  mkdir "$dir"
  timed_command "$dir" "$log"
  local got expected
  expected=$(cat "$data/$p.digest")
  if [ "$status" -ne 0 ]; then
    check="FAIL: exit status $status"
  elif [ "$(ls -A "$dir")" != pkg ]; then
    check="FAIL: extracted '$(ls -A "$dir" | tr '\n' ' ')' instead of 'pkg'"
  else
    got=$(tree_digest "$dir")
    if [ "$(field "$got" files)" != "$(field "$expected" files)" ]; then
      check="FAIL: $(field "$got" files) files, expected $(field "$expected" files)"
    elif [ "$(field "$got" content)" != "$(field "$expected" content)" ]; then
      check="FAIL: different tree (paths, types or bytes)"
    elif [ "$(field "$got" modes)" != "$(field "$expected" modes)" ]; then
      check="modes differ"
    fi
  fi
  if [[ $check == FAIL* ]]; then
    failures=$((failures + 1))
    {
      echo "!!!!!!!! $(label "$tool") on $p, round $round: $check"
      echo "!!!!!!!! log in $log; the first failed output of each tool stays in $out:"
      tail -n5 "$log" | sed 's/^/!!!!!!!!   /'
    } >&2
    if [ -e "$out/$p-$tool.failed" ]; then
      discard "$dir" # the first failure of each tool is enough to look at
    else
      mv "$dir" "$out/$p-$tool.failed"
    fi
  else
    [ "$check" = ok ] || echo "note: $(label "$tool") on $p, round $round: $check" >&2
    discard "$dir"
  fi
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$p" "$tool" "$round" "$wall" "$user" "$sys" \
    "$rss" "$check" >>"$results"
  printf '  %-6s round %s  %-20s %7s s wall %7s s cpu  %s\n' "$p" "$round" "$(label "$tool")" \
    "$wall" "$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')" "$check" >&2
}

# report PAYLOAD: the Markdown table of one payload.
report() {
  local p=$1 digest
  digest=$(cat "$data/$p.digest")
  echo "#### $p: files $(field "$digest" files), folders $(field "$digest" dirs)," \
    "$(mib "$(du -sb "$data/$p/pkg" | cut -f1)") MiB; rounds: $rounds"
  echo
  echo "| tool | archive MiB | wall s (median) | CPU s (median) | peak RSS MiB (max) | check |"
  echo "|---|---:|---:|---:|---:|---|"
  local tool size program_size
  program_size=$(stat -c %s "$sfx")
  for tool in "${tools[@]}"; do
    # An installer's archive is what follows the program in front of it.
    case $tool in
      sfx) size=$(($(stat -c %s "$data/$p.deflate.run") - program_size)) ;;
      sfx-*) size=$(($(stat -c %s "$data/$p.${tool#sfx-}.run") - program_size)) ;;
      tar) size=$(stat -c %s "$data/$p.tar") ;;
      *) size=$(stat -c %s "$data/$p.zip") ;;
    esac
    awk -F'\t' -v p="$p" -v t="$tool" -v name="$(label "$tool")" -v size="$(mib "$size")" '
      function median(a, k,   i, j, x) {
        for (i = 2; i <= k; i++) { x = a[i]; for (j = i - 1; j > 0 && a[j] > x; j--) a[j + 1] = a[j]; a[j + 1] = x }
        return k % 2 ? a[(k + 1) / 2] : (a[k / 2] + a[k / 2 + 1]) / 2
      }
      $1 == p && $2 == t && $3 > 0 {
        n++; wall[n] = $4; cpu[n] = $5 + $6; if ($7 > rss) rss = $7
        if ($8 ~ /^FAIL/) fail++; else if ($8 != "ok") note = $8
      }
      END {
        check = fail ? sprintf("**FAILED %d of %d**", fail, n) : note ? note : "ok"
        printf "| %s | %s | %.3f | %.2f | %.1f | %s |\n", name, size, median(wall, n), median(cpu, n), rss / 1024, check
      }' "$results"
  done
  echo
  # Ratios from the rows just printed: morrowline-sfx against the fastest
  # peer that passed, and against the floor.
  awk -F'\t' -v p="$p" '
    function median(a, k,   i, j, x) {
      for (i = 2; i <= k; i++) { x = a[i]; for (j = i - 1; j > 0 && a[j] > x; j--) a[j + 1] = a[j]; a[j + 1] = x }
      return k % 2 ? a[(k + 1) / 2] : (a[k / 2] + a[k / 2 + 1]) / 2
    }
    function ratio(a, b) { return b > 0 ? sprintf("%.2fx", a / b) : "n/a" }
    $1 == p && $3 > 0 {
      t = $2; n[t]++; w[t, n[t]] = $4; c[t, n[t]] = $5 + $6; if ($7 > rss[t]) rss[t] = $7
      if ($8 ~ /^FAIL/) fail[t] = 1
    }
    END {
      for (t in n) {
        delete a; delete b
        for (i = 1; i <= n[t]; i++) { a[i] = w[t, i]; b[i] = c[t, i] }
        mw[t] = median(a, n[t]); mc[t] = median(b, n[t])
      }
      split("unzip bsdtar 7z busybox", peers, " ")
      best = ""
      for (i = 1; i <= 4; i++) {
        t = peers[i]
        if ((t in n) && !fail[t] && (best == "" || mw[t] < mw[best])) best = t
      }
      durable = ""
      split("unzip-sync bsdtar-sync", synced, " ")
      for (i = 1; i <= 2; i++) {
        t = synced[i]
        if ((t in n) && !fail[t] && (durable == "" || mw[t] < mw[durable])) durable = t
      }
      names["unzip"] = "unzip -q"; names["bsdtar"] = "bsdtar -xf"; names["7z"] = "7z x"; names["busybox"] = "busybox unzip"
      names["unzip-sync"] = "unzip -q, sync -f"; names["bsdtar-sync"] = "bsdtar -xf, sync -f"
      print "| morrowline-sfx against | wall | CPU | peak RSS |"
      print "|---|---:|---:|---:|"
      split("sfx sfx-zstd sfx-xz", ours, " ")
      split("deflate zstd xz", method, " ")
      for (i = 1; i <= 3; i++) {
        s = ours[i]
        if (!(s in n)) continue
        if (fail[s]) { printf "| (%s failed its checks) | | | |\n", method[i]; continue }
        if (best != "")
          printf "| %s, fastest peer (%s) | %s | %s | %s |\n", method[i], names[best], ratio(mw[s], mw[best]), ratio(mc[s], mc[best]), ratio(rss[s], rss[best])
        if (durable != "")
          printf "| %s, fastest durable peer (%s) | %s | %s | %s |\n", method[i], names[durable], ratio(mw[s], mw[durable]), ratio(mc[s], mc[durable]), ratio(rss[s], rss[durable])
        if (!fail["tar"])
          printf "| %s, floor (tar -xf) | %s | %s | %s |\n", method[i], ratio(mw[s], mw["tar"]), ratio(mc[s], mc["tar"]), ratio(rss[s], rss["tar"])
      }
    }' "$results"
  echo
}

pack_command() { # pack_command TOOL OUTPUT: sets the array cmd, run in the payload's folder
  case $1 in
    # deflate at the packer's default level (6), as zip -6 packs
    pack) cmd=("$pack" -o "$2" --stub "$sfx" --run true pkg) ;;
    zip) cmd=(zip -qr -6 "$2" pkg) ;;
    7z) cmd=(7z a -tzip -mx=5 "$2" pkg) ;;
    bsdtar) cmd=(bsdtar --format zip -cf "$2" pkg) ;;
  esac
}

# pack_one PAYLOAD TOOL ROUND: packs the payload's pkg into a new file in
# the packed folder, times the run, checks the output, records its size
# (for the installer, the archive after the program) and deletes it.
pack_one() {
  local p=$1 tool=$2 round=$3
  local output="$packed/$run_id-$p-$tool-$round.zip" log="$logs/$run_id-pack-$p-$tool-$round.log"
  local check=ok bytes=0 status wall user sys rss
  [ "$tool" != pack ] || output="${output%.zip}.run"
  pack_command "$tool" "$output"
  rm -f "$output" # zip and 7z would add to an old archive
  timed_command "$data/$p" "$log"
  # Cheap checks, after the time: every member's CRC-32 and the number of
  # files (the folders come as members of their own in every output).
  local expected files
  expected=$(field "$(cat "$data/$p.digest")" files)
  if [ "$status" -ne 0 ]; then
    check="FAIL: exit status $status"
  elif [ ! -f "$output" ]; then
    check="FAIL: no output"
  else
    bytes=$(stat -c %s "$output")
    if [ "$tool" = pack ]; then
      bytes=$((bytes - $(stat -c %s "$sfx")))
      echo "--- morrowline-pack --check" >>"$log"
      "$pack" --check "$output" >>"$log" 2>&1 || check="FAIL: morrowline-pack --check failed"
    else
      echo "--- unzip -tqq" >>"$log"
      unzip -tqq "$output" >>"$log" 2>&1 || check="FAIL: unzip -tqq failed"
    fi
    if [ "$check" = ok ]; then
      files=$(unzip -Z1 "$output" 2>>"$log" | awk '!/\/$/ { n++ } END { print n + 0 }') || true
      [ "$files" = "$expected" ] || check="FAIL: $files files, expected $expected"
    fi
  fi
  rm -f "$output"
  if [[ $check == FAIL* ]]; then
    failures=$((failures + 1))
    {
      echo "!!!!!!!! $(pack_label "$tool") on $p, round $round: $check"
      echo "!!!!!!!! log in $log:"
      tail -n5 "$log" | sed 's/^/!!!!!!!!   /'
    } >&2
  fi
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$p" "$tool" "$round" "$wall" "$user" "$sys" \
    "$rss" "$check" "$bytes" >>"$pack_results"
  printf '  %-6s round %s  %-20s %7s s wall %7s s cpu  %s\n' "$p" "$round" \
    "$(pack_label "$tool")" "$wall" \
    "$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')" "$check" >&2
}

awk_median='
  function median(a, k,   i, j, x) {
    for (i = 2; i <= k; i++) { x = a[i]; for (j = i - 1; j > 0 && a[j] > x; j--) a[j + 1] = a[j]; a[j + 1] = x }
    return k % 2 ? a[(k + 1) / 2] : (a[k / 2] + a[k / 2 + 1]) / 2
  }'

# pack_report PAYLOAD: the Markdown packing table of one payload, and
# morrowline-pack against zip -qr -6.
pack_report() {
  local p=$1 digest tool
  digest=$(cat "$data/$p.digest")
  echo "#### $p, packing: files $(field "$digest" files), folders $(field "$digest" dirs)," \
    "$(mib "$(du -sb "$data/$p/pkg" | cut -f1)") MiB; rounds: $rounds"
  echo
  echo "| tool | output MiB | wall s (median) | CPU s (median) | peak RSS MiB (max) | check |"
  echo "|---|---:|---:|---:|---:|---|"
  for tool in "${pack_tools[@]}"; do
    awk -F'\t' -v p="$p" -v t="$tool" -v name="$(pack_label "$tool")" "$awk_median"'
      $1 == p && $2 == t && $3 > 0 {
        n++; wall[n] = $4; cpu[n] = $5 + $6; if ($7 > rss) rss = $7
        if ($8 ~ /^FAIL/) fail++; else if ($9 > 0) size = $9
      }
      END {
        check = fail ? sprintf("**FAILED %d of %d**", fail, n) : "ok"
        printf "| %s | %s | %.3f | %.2f | %.1f | %s |\n", name, size == "" ? "n/a" : sprintf("%.1f", size / 1048576), median(wall, n), median(cpu, n), rss / 1024, check
      }' "$pack_results"
  done
  echo
  awk -F'\t' -v p="$p" "$awk_median"'
    function ratio(a, b) { return b > 0 ? sprintf("%.2fx", a / b) : "n/a" }
    $1 == p && $3 > 0 {
      t = $2; n[t]++; w[t, n[t]] = $4; c[t, n[t]] = $5 + $6; if ($7 > rss[t]) rss[t] = $7
      if ($8 ~ /^FAIL/) fail[t] = 1; else size[t] = $9
    }
    END {
      print "| morrowline-pack against | wall | CPU | peak RSS | output |"
      print "|---|---:|---:|---:|---:|"
      if (!("pack" in n) || !("zip" in n)) exit
      if (fail["pack"] || fail["zip"]) {
        printf "| zip -qr -6 (%s failed its checks) | | | | |\n", fail["pack"] ? "morrowline-pack" : "zip"
        exit
      }
      for (t in n) {
        delete a; delete b
        for (i = 1; i <= n[t]; i++) { a[i] = w[t, i]; b[i] = c[t, i] }
        mw[t] = median(a, n[t]); mc[t] = median(b, n[t])
      }
      printf "| zip -qr -6 | %s | %s | %s | %s |\n", ratio(mw["pack"], mw["zip"]), ratio(mc["pack"], mc["zip"]), ratio(rss["pack"], rss["zip"]), ratio(size["pack"], size["zip"])
    }' "$pack_results"
  echo
}

machine() {
  echo "### Run of $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo
  echo "- machine: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1)," \
    "$(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)," \
    "Linux $(uname -r)"
  local fstype
  fstype=$(df --output=fstype "$work" | tail -n1 | tr -d ' ')
  if [ "$run_extract" = 1 ]; then
    echo "- work directory: $work ($fstype)," \
      "extracting onto $(df --output=fstype "$out" | tail -n1 | tr -d ' ')$ext4_note"
  else
    echo "- work directory: $work ($fstype)"
  fi
  [ "$run_pack" = 0 ] || echo "- packing into $packed ($fstype)"
  echo "- morrowline-sfx: $sfx ($(stat -c %s "$sfx") bytes)"
  [ "$run_pack" = 0 ] || echo "- morrowline-pack: $pack ($(stat -c %s "$pack") bytes)"
  [ "$run_pack" = 0 ] || echo "- $(zip -v | sed -n '/^This is Zip/{p;q}')"
  echo "- $(unzip -v | head -n1)"
  echo "- $(bsdtar --version)"
  [ "$have_7z" = 0 ] || echo "- $(7z | sed -n '/7-Zip/{p;q}')"
  if [ "$run_extract" = 1 ]; then
    command -v busybox >/dev/null && echo "- $(busybox | head -n1)"
    echo "- $(tar --version | head -n1)"
  fi
  [ "$scale" = 1 ] || echo "- payloads scaled by $scale"
  echo
}

for p in "${payloads[@]}"; do
  prepare_tree "$p"
  [ "$run_extract" = 0 ] || prepare_archives "$p"
done

if [ "$run_extract" = 1 ]; then
  # shellcheck source=../tests/xvfb.sh
  . "$repo/tests/xvfb.sh"
  start_xvfb
  [[ $DISPLAY =~ ^:[0-9]+$ ]] || die "Xvfb did not start"
fi

report_file="$work/results.md"
machine | tee "$report_file"

# extract PAYLOAD: the extraction rounds and table of one payload.
extract() {
  local p=$1 need avail tool round count i
  if [ "$on_tmpfs" = 0 ]; then
    # Every output stays in the trash until the end.
    need=$(($(du -sk "$data/$p/pkg" | cut -f1) * (rounds + 1) * ${#tools[@]} + 1048576))
    avail=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
    [ "$avail" -gt "$need" ] ||
      die "$p needs about $((need / 1048576)) GiB free in $work, there are $((avail / 1048576)) GiB"
  fi
  echo "$p: $(cat "$data/$p.digest")" >&2
  # Idle memory gets paged out on some machines: read the archives and the
  # programs again right before the rounds.
  cat "$data/$p".*.run "$data/$p.zip" "$data/$p.tar" >/dev/null
  for tool in "${tools[@]}"; do
    tool_command "$tool" "$p"
    cat "$(command -v "${cmd[0]}")" >/dev/null
  done
  # Round 0 is the warm-up. Each round starts one tool further along, so no
  # tool always follows the same one.
  for round in $(seq 0 "$rounds"); do
    count=${#tools[@]}
    for i in $(seq 0 $((count - 1))); do
      run_one "$p" "${tools[$(((i + round) % count))]}" "$round"
    done
  done
  report "$p" | tee -a "$report_file"
}

# pack_rounds PAYLOAD: the packing rounds and table of one payload. One output
# at a time, deleted after its run.
pack_rounds() {
  local p=$1 need avail tool round count i
  need=$(($(du -sk "$data/$p/pkg" | cut -f1) + 1048576))
  avail=$(df -Pk "$packed" | awk 'NR == 2 { print $4 }')
  [ "$avail" -gt "$need" ] ||
    die "packing $p needs about $((need / 1048576)) GiB free in $packed, there are $((avail / 1048576)) GiB"
  echo "$p, packing: $(cat "$data/$p.digest")" >&2
  # Read the tree and the programs again right before the rounds.
  find "$data/$p/pkg" -type f -exec cat {} + >/dev/null
  for tool in "${pack_tools[@]}"; do
    pack_command "$tool" "$packed/x"
    cat "$(command -v "${cmd[0]}")" >/dev/null
  done
  cat "$sfx" >/dev/null
  # Round 0 is the warm-up; each round starts one tool further along.
  for round in $(seq 0 "$rounds"); do
    count=${#pack_tools[@]}
    for i in $(seq 0 $((count - 1))); do
      pack_one "$p" "${pack_tools[$(((i + round) % count))]}" "$round"
    done
  done
  pack_report "$p" | tee -a "$report_file"
}

for p in "${payloads[@]}"; do
  [ "$run_extract" = 0 ] || extract "$p"
  [ "$run_pack" = 0 ] || pack_rounds "$p"
done

saved="tables saved in $report_file; every run in"
[ "$run_extract" = 0 ] || saved="$saved $results"
[ "$run_pack" = 0 ] || saved="$saved $pack_results"
echo "$saved" >&2
if [ "$failures" -gt 0 ]; then
  echo "!!!!!!!! $failures runs FAILED their checks; see above" >&2
  exit 1
fi
