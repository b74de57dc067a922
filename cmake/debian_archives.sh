# debian_archives: prints this machine's own Debian archive entries for
# its release, its -updates and its -security suites (not backports), one
# per line: "URI SUITE KEY COMPONENTS...", KEY being the entry's signed-by
# file or "-". Read from both the one-line and the deb822 formats of
# /etc/apt. Sourced by the scripts that fetch from Debian through private
# source lists made from these lines, so that no mirror is named anywhere
# but in the machine's own configuration.
# DEBIAN_RELEASE is set to the release's code name.

. /etc/os-release
DEBIAN_RELEASE=${VERSION_CODENAME:?no VERSION_CODENAME in /etc/os-release}

debian_archives() {
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$file" ] || continue
    awk -v release="$DEBIAN_RELEASE" '
      $1 == "deb" {
        key = "-"; i = 2
        if ($2 ~ /^\[/) {
          for (; i <= NF; i++) {
            option = $i; gsub(/[][]/, "", option)
            if (option ~ /^signed-by=/) key = substr(option, 11)
            if ($i ~ /\]$/) break
          }
          i++
        }
        uri = $i; suite = $(i + 1)
        if (suite != release && suite != release "-updates" && suite != release "-security") next
        line = uri " " suite " " key
        for (j = i + 2; j <= NF; j++) line = line " " $j
        print line
      }' "$file"
  done
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    awk -v release="$DEBIAN_RELEASE" '
      function flush() {
        if (types ~ /(^| )deb( |$)/ && uris != "") {
          n = split(uris, uri, " ")
          m = split(suites, suite, " ")
          for (i = 1; i <= n; i++)
            for (j = 1; j <= m; j++)
              if (suite[j] == release || suite[j] == release "-updates" ||
                  suite[j] == release "-security")
                print uri[i] " " suite[j] " " (key != "" ? key : "-") " " components
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
  done
}

# debian_source_list TYPE OPTIONS [RELEASE]: source-list lines of TYPE
# ("deb" or "deb-src") for those entries, with OPTIONS ("arch=arm64", or
# empty) and each entry's key. With RELEASE, only the entry of this
# machine's release itself, for RELEASE's main component instead: the
# archive that carries this release carries older ones too. Fails, with a
# message, when there is no entry.
debian_source_list() {
  lines=$(debian_archives | while read -r uri suite key components; do
    if [ -n "${3:-}" ]; then
      [ "$suite" = "$DEBIAN_RELEASE" ] || continue
      suite=$3
      components=main
    fi
    options=$2
    [ "$key" = - ] || options="${options:+$options }signed-by=$key"
    echo "$1${options:+ [$options]} $uri $suite $components"
  done)
  if [ -z "$lines" ]; then
    echo "no Debian archive for $DEBIAN_RELEASE in /etc/apt" >&2
    return 1
  fi
  echo "$lines"
}

# debian_private_apt DIR LIST TOOL ARGUMENT...: runs TOOL (apt-get or
# apt-cache) with the source list LIST and with its indexes and cache
# below DIR (made here), so that the system's apt configuration and state
# stay exactly as they were. DEBIAN_APT_OPTIONS, when set, adds options.
debian_private_apt() {
  apt_dir=$1
  apt_list=$2
  apt_tool=$3
  shift 3
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts"
  sandbox=""
  # As root apt hands downloads to the _apt user, who cannot write here.
  if [ "$(id -u)" -eq 0 ]; then sandbox="-o APT::Sandbox::User=root"; fi
  # shellcheck disable=SC2086
  "$apt_tool" -q -o Dir::Etc::sourcelist="$apt_list" -o Dir::Etc::sourceparts="$apt_dir/parts" \
    -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache" $sandbox \
    ${DEBIAN_APT_OPTIONS:-} "$@"
}
