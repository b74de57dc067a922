#!/bin/sh
# fetch_debian_source.sh PACKAGE DIR: unpacks Debian's source package of
# PACKAGE, as this machine's release ships it, below DIR.
#
# apt reads a private source list made from this machine's own entries for
# its release, and keeps its indexes below DIR, so the system's apt
# configuration and state stay exactly as they were.
set -eu
package=$1
dir=$2
. "$(dirname "$0")/debian_archives.sh"

rm -rf "$dir"
apt_dir="$dir/apt"
mkdir -p "$apt_dir"
list="$apt_dir/sources.list"
debian_source_list deb-src "" >"$list"

# An entry without source indexes (a third-party archive) must not stop
# the others; the source step below tells whether the package was found.
debian_private_apt "$apt_dir" "$list" apt-get update >"$apt_dir/update.log" 2>&1 || true
(cd "$dir" && debian_private_apt "$apt_dir" "$list" apt-get source "$package") >"$apt_dir/source.log" 2>&1 || {
  cat "$apt_dir/update.log" "$apt_dir/source.log" >&2
  echo "fetch_debian_source: cannot fetch the source of $package" >&2
  exit 1
}
