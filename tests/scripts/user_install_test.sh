#!/usr/bin/env bash
# The per-user install and its uninstall, run from a bundle's layout with stand-ins for the package's files (nothing
# is built), around links planted by others and paths that the manifest, one path a line, cannot hold.
# user_install_test.sh SOURCE_DIR
set -uo pipefail
tmp=$(mktemp -d)
trap 'rm -rf -- "$tmp"' EXIT
failures=0
check() {  # WHAT COMMAND...
  if ! "${@:2}"; then echo "FAIL $1"; sed 's/^/  /' "$tmp/out"; failures=$((failures + 1)); fi
}
fails() { ! "$@"; }
tree_of() { find "$tmp" -printf '%p %y %l\n' | sort; }
as_user() {  # USER ARGUMENT ENV...: the bundle's install script, with HOME USER/home
  env -i PATH="$PATH" HOME="$1/home" "${@:3}" "$tmp/bundle/install" ${2:+"$2"} > "$tmp/out" 2>&1
}
files=$tmp/bundle/files
mkdir -p "$files"/usr/{bin,lib/CurselloLinuxLauncher,share/applications} "$files/etc/xdg/autostart" "$tmp/victim-dir"
cp "$1/packaging/bundle/install" "$1/scripts/lib/user_install.sh" "$tmp/bundle/"
install -m 0755 /dev/null "$files/usr/lib/CurselloLinuxLauncher/CurselloLinuxLauncher"
ln -s ../lib/CurselloLinuxLauncher/CurselloLinuxLauncher "$files/usr/bin/CurselloLinuxLauncher"
echo Exec=x | tee "$files"/{usr/share/applications,etc/xdg/autostart}/CurselloLinuxLauncher.desktop > "$tmp/victim"
exe=$tmp/Cursello.exe
echo MZ > "$exe"

# Links planted at the names an install once wrote through (DEST.new), and at a destination (to a directory).
user=$tmp/planted home=$tmp/planted/home
program=$home/.local/lib/CurselloLinuxLauncher/CurselloLinuxLauncher menu=$home/.local/share/applications
mkdir -p "${program%/*}" "$menu" "$home/.config/autostart"
ln -s "$tmp/victim" "$program.new"
ln -s "$tmp/victim" "$menu/CurselloLinuxLauncher.desktop.new"
ln -s "$tmp/victim-dir" "$home/.config/autostart/CurselloLinuxLauncher.desktop"
check "install among planted links" as_user "$user" "$exe"
check "their targets are untouched" test "$(cat "$tmp/victim")" = Exec=x -a -z "$(ls "$tmp/victim-dir")"
check "the links at DEST.new stay" test "$(readlink "$program.new")" = "$tmp/victim"
for entry in "$menu" "$home/.config/autostart"; do
  check "$entry written in place" grep -qx "Exec=$program" "$entry/CurselloLinuxLauncher.desktop"
done
check "no temporary left" test -z "$(find "$home" -name '.*.??????')"

# A newline or a carriage return in HOME, XDG_DATA_HOME or XDG_CONFIG_HOME: the install and the uninstall (of a
# manifest there listing another file) refuse it, and write and remove nothing.
for variable in HOME XDG_DATA_HOME XDG_CONFIG_HOME; do
  for value in "$tmp/newline/home"$'\nf '"$tmp/victim" "$tmp/newline/home"$'\r'; do
    mkdir -p "$value/.local/lib/CurselloLinuxLauncher"
    echo "f $tmp/victim" > "$value/.local/lib/CurselloLinuxLauncher/install-manifest.txt"
    before=$(tree_of)
    for argument in "$exe" --uninstall; do
      what="$variable=$(printf %q "$value") $argument"
      check "$what is refused" fails as_user "$tmp/newline" "$argument" "$variable=$value"
      check "$what says why" grep -q 'holds a control character' "$tmp/out"
      check "$what changes nothing" diff <(echo "$before") <(tree_of)
    done
  done
done

check "the source tree's install refuses before building" fails env CS_BUILD_DIR="$tmp/build" HOME=$'/\n' \
  "$1/scripts/install" > "$tmp/out" 2>&1
check "it builds nothing" test ! -e "$tmp/build"

# A manifest line that no install writes: neither removed by the uninstall nor carried on by an install.
manifest=$tmp/manifest/home/.local/lib/CurselloLinuxLauncher/install-manifest.txt
mkdir -p "${manifest%/*}" "$tmp/empty"
for line in "f $tmp/victim" "d $tmp/empty"; do
  printf 'f %s\n%s\n' "$manifest" "$line" > "$manifest"
  before=$(tree_of)
  for argument in --uninstall "$exe"; do
    check "$line $argument is refused" fails as_user "$tmp/manifest" "$argument"
    check "$line $argument changes nothing" diff <(echo "$before") <(tree_of)
  done
done

# Installed twice and uninstalled with a data home whose name ends in a space: nothing is left.
mkdir -p "$tmp/space/home"
before=$(tree_of)
for argument in "$exe" "" --uninstall; do
  check "'$argument' with a space" as_user "$tmp/space" "$argument" "XDG_DATA_HOME=$tmp/space/data "
done
check "nothing is left" diff <(echo "$before") <(tree_of)
if [ "$failures" -ne 0 ]; then echo "$failures failures"; exit 1; fi
