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

. /etc/os-release
release=${VERSION_CODENAME:?no VERSION_CODENAME in /etc/os-release}

rm -rf "$dir"
apt_dir="$dir/apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts"
list="$apt_dir/sources.list"

# deb-src lines for every archive entry of this release and its updates
# (not backports), from both the one-line and the deb822 formats.
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -f "$file" ] || continue
  awk -v release="$release" '
    $1 == "deb" {
      suite = 0
      for (i = 2; i <= NF; i++)
        if ($i == release || $i == release "-updates" || $i == release "-security") suite = i
      if (suite) { $1 = "deb-src"; print }
    }' "$file"
done >"$list"
for file in /etc/apt/sources.list.d/*.sources; do
  [ -f "$file" ] || continue
  awk -v release="$release" '
    function flush() {
      if (types ~ /(^| )deb( |$)/ && uris != "") {
        n = split(uris, uri, " ")
        m = split(suites, suite, " ")
        for (i = 1; i <= n; i++)
          for (j = 1; j <= m; j++)
            if (suite[j] == release || suite[j] == release "-updates" ||
                suite[j] == release "-security")
              print "deb-src" (key != "" ? " [signed-by=" key "]" : "") " " uri[i] " " \
                suite[j] " " components
      }
      types = suites = uris = components = key = ""
    }
    /^[ \t]*$/ { flush(); next }
    /^#/ { next }
    {
      field = tolower($1); sub(/:$/, "", field)
      value = $0; sub(/^[^:]*:[ \t]*/, "", value)
      if (field == "types") types = value
      else if (field == "suites") suites = value
      else if (field == "uris") uris = value
      else if (field == "components") components = value
      else if (field == "signed-by") key = value
    }
    END { flush() }' "$file"
done >>"$list"
if [ ! -s "$list" ]; then
  echo "fetch_debian_source: no Debian archive for $release in /etc/apt" >&2
  exit 1
fi

apt() {
  sandbox=""
  # As root apt hands downloads to the _apt user, who cannot write here.
  if [ "$(id -u)" -eq 0 ]; then sandbox="-o APT::Sandbox::User=root"; fi
  # shellcheck disable=SC2086
  apt-get -q -o Dir::Etc::sourcelist="$list" -o Dir::Etc::sourceparts="$apt_dir/parts" \
    -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache" $sandbox "$@"
}

# An entry without source indexes (a third-party archive) must not stop
# the others; the source step below tells whether the package was found.
apt update >"$apt_dir/update.log" 2>&1 || true
(cd "$dir" && apt source "$package") >"$apt_dir/source.log" 2>&1 || {
  cat "$apt_dir/update.log" "$apt_dir/source.log" >&2
  echo "fetch_debian_source: cannot fetch the source of $package" >&2
  exit 1
}
