#!/bin/sh
# The example package's installer step, run by the autorun command in the
# directory the package was unpacked into.
set -e
{
  echo "Morrowline example installed on $(date)"
  echo "into $(pwd)/pkg"
  ls -l pkg
} > pkg/INSTALLED.txt
echo "morrowline example: installed into $(pwd)/pkg (see pkg/INSTALLED.txt)"
# Leave the finished window up a moment so it can be seen.
sleep "${MORROWLINE_EXAMPLE_PAUSE:-3}"
