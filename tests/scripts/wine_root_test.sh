#!/usr/bin/env bash
# The Debian archive that the root for the Wayland tests is made from, as read from apt's sources; nothing is made.
# wine_root_test.sh SOURCE_DIR
set -uo pipefail
source_dir=$1
source "$source_dir/scripts/lib/wine_root.sh"
failures=0
sources=$(mktemp -d)
trap 'rm -rf "$sources"' EXIT

# the sources' lines (\n between them) | the archive chosen
while IFS='|' read -r lines expected; do
  printf '%b\n' "$lines" > "$sources/one.sources"
  actual=$(debian_mirror "$sources/one.sources" "$sources/missing.list")
  if [ "$actual" != "$expected" ]; then
    printf 'FAIL sources %s\n  expected: %s\n  actual:   %s\n' "$lines" "$expected" "$actual"
    failures=$((failures + 1))
  fi
done <<'ROWS'
Types: deb\nURIs: http://mirror.example/debian/\nSuites: bookworm|http://mirror.example/debian
Types: deb\nURIs: http://deb.debian.org/debian-security\n\nURIs: https://m.example/debian|https://m.example/debian
deb [arch=amd64 signed-by=/k.gpg] http://m.example/debian bookworm main|http://m.example/debian
# deb http://commented.example/debian bookworm main\ndeb-src http://src.example/debian bookworm main|http://deb.debian.org/debian
deb http://archive.ubuntu.com/ubuntu noble main|http://deb.debian.org/debian
ROWS

exit $((failures > 0))
