#!/bin/bash
# The installer on Linux 3.10 (RHEL 7's kernel): under old-kernel every
# system call that came later fails, first with ENOSYS as that kernel
# answers, then with EPERM as container and desktop sandboxes answer. Each
# case must end exactly as it does without the filter: the same status,
# the same message, the same tree and nothing hidden left.
. "$(dirname "$0")/lib.sh"

umask 022
cd "$SCRATCH" || exit 1
start_xvfb
gui_hold_display
make_run_installers

for refusal in ENOSYS:"Function not implemented" EPERM:"Operation not permitted"; do
  said=$("$MORROWLINE_OLD_KERNEL" "${refusal%%:*}" python3 -c 'import os; os.memfd_create("probe")' \
    2>&1 || true)
  check "old-kernel ${refusal%%:*}: a call newer than 3.10 fails (${refusal#*:})" \
    grep -q "${refusal#*:}" <<<"$said"
done

# outcome DIR STATUS STDERR_FILE: how a run in DIR ended, with DIR's path
# and process IDs taken out of its message; every entry below DIR, hidden
# ones included.
outcome() {
  echo "status $2"
  sed -e "s|$1|DIR|g" -e 's/morrowline-[0-9]*-/morrowline-PID-/g' "$3"
  snapshot "$1"
}

# run_cases KERNEL: runs every case as KERNEL (plain, ENOSYS or EPERM)
# answers, the outcome of each in KERNEL/CASE.outcome.
run_cases() {
  local kernel=$1 dir
  RUN_WITH=()
  [ "$kernel" = plain ] || RUN_WITH=("$MORROWLINE_OLD_KERNEL" "$kernel")
  mkdir "$kernel"
  for case in install reinstall damaged; do
    dir=$SCRATCH/$kernel/$case
    mkdir "$dir"
    [ $case = install ] || with_old_tree "$dir"
    installer=good.run
    [ $case = damaged ] && installer=damaged.run
    sfx_run "$dir" "${RUN_WITH[@]}" "$SCRATCH/$installer"
    printf '%s\n' "$RUN_STDERR" >"$dir.err"
    outcome "$dir" "$RUN_STATUS" "$dir.err" >"$dir.outcome"
  done

  if [ "$(id -u)" = 0 ]; then
    dir=$SCRATCH/$kernel/mount
    with_old_tree "$dir"
    mkdir "$dir/pkg/data"
    mount -t tmpfs tmpfs "$dir/pkg/data"
    printf 'precious\n' >"$dir/pkg/data/keep.txt"
    sfx_run "$dir" "${RUN_WITH[@]}" "$SCRATCH/good.run"
    printf '%s\n' "$RUN_STDERR" >"$dir.err"
    outcome "$dir" "$RUN_STATUS" "$dir.err" >"$dir.outcome"
    umount "$dir/pkg/data"
  fi

  # Escape in the middle of a reinstall; SIGTERM in the middle of a first
  # install, whose pkg/ does not exist yet.
  for case in cancel sigterm; do
    dir=$SCRATCH/$kernel/$case
    mkdir "$dir"
    [ $case = cancel ] && with_old_tree "$dir"
    start_run "$dir" big.run
    window=$(window_of_run)
    in_big_member "$dir" || true
    if [ $case = cancel ]; then gui_key "$window" Escape; else kill -TERM "$RUN_PID"; fi
    wait_for_exit "$RUN_PID" 30
    outcome "$dir" "$EXIT_STATUS" "$dir.err" >"$dir.outcome"
  done
}

run_cases plain
cases="install:0 reinstall:0 damaged:3 cancel:3 sigterm:143"
if [ "$(id -u)" = 0 ]; then
  cases="$cases mount:3"
else
  echo "skip - a mount inside the old tree: needs root"
fi
for case in $cases; do
  expect_eq "without the filter: ${case%%:*} ends with ${case#*:}" "status ${case#*:}" \
    "$(head -n1 "plain/${case%%:*}.outcome")"
done

for kernel in ENOSYS EPERM; do
  run_cases $kernel
  for case in $cases; do
    case=${case%%:*}
    check "$kernel from newer calls: $case ends as without the filter" \
      diff "plain/$case.outcome" "$kernel/$case.outcome"
  done
done

finish
