# Sourced by the fetch scripts.

# qel_fetch_start STAMP MESSAGE ends the script when STAMP exists (already fetched); otherwise it prints
# MESSAGE and makes the scratch folder $work, removed when the script exits.
qel_fetch_start() {
  [ -e "$1" ] && exit 0
  echo "$2"
  work="$(mktemp -d)"
  trap 'rm -rf "$work"' EXIT
}

# qel_npm_pack FOLDER PACKAGE VERSION SHA256 downloads the package's tarball into FOLDER, checks its
# SHA-256 and prints its path.
qel_npm_pack() {
  local folder="$1" package="$2" version="$3" sha256="$4" tarball
  tarball="$(cd "$folder" && npm pack --silent "$package@$version" | tail -n 1)" || return 1
  echo "$sha256  $folder/$tarball" | sha256sum -c --quiet - >&2 || return 1
  echo "$folder/$tarball"
}
