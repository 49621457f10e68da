#!/usr/bin/env bash
# The installed forms of the launcher, one check per call: package_checks.sh CHECK SOURCE_DIR BUILD_DIR DEB.
# Exits 77 (skipped) for a check that needs root without it.
set -euo pipefail
check=$1 source_dir=$2 build_dir=$3 deb=$4
tmp=$(mktemp -d)
trap 'rm -rf -- "$tmp"' EXIT
needs_root() { if [ "$(id -u)" -ne 0 ]; then exit 77; fi; }
files_of() { (cd "$1" && find . ! -type d | sort); }

case $check in
  tree)  # no test or benchmark; the autostart entry where sessions read it, not under the prefix
    DESTDIR=$tmp cmake --install "$build_dir" --prefix /usr/local > /dev/null
    diff <(files_of "$tmp") - <<< "./etc/xdg/autostart/CurselloLinuxLauncher.desktop
./usr/local/bin/CurselloLinuxLauncher
./usr/local/lib/CurselloLinuxLauncher/CurselloLinuxLauncher
./usr/local/share/applications/CurselloLinuxLauncher.desktop
./usr/local/share/icons/hicolor/32x32/apps/CurselloLinuxLauncher.png
./usr/local/share/metainfo/CurselloLinuxLauncher.metainfo.xml"
    [ "$(readlink "$tmp/usr/local/bin/CurselloLinuxLauncher")" = ../lib/CurselloLinuxLauncher/CurselloLinuxLauncher ]
    desktop-file-validate "$tmp"/etc/xdg/autostart/*.desktop "$tmp"/usr/local/share/applications/*.desktop ;;
  package)
    dpkg-deb --contents "$deb" | grep -c -e ' ./usr/lib/CurselloLinuxLauncher/CurselloLinuxLauncher$' \
      -e ' ./usr/bin/CurselloLinuxLauncher -> ../lib/CurselloLinuxLauncher/CurselloLinuxLauncher$' \
      -e ' ./usr/share/doc/cursello-linux-launcher/copyright$' -e ' ./usr/share/doc/cursello-linux-launcher/changelog.gz$' \
      | grep -qx 4
    dpkg-deb --field "$deb" Depends | tr ',' '\n' | grep -c -E '^ ?(libgtk-3-0|libayatana-appindicator3-1|libxcb-res0)( |$)' \
      | grep -qx 3
    lintian --fail-on error "$deb" ;;
  apt-install)
    needs_root
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb"
    dpkg-query --listfiles cursello-linux-launcher > "$build_dir/package-files" ;;
  purge)  # also after a failed or killed test: no package, no stand-in, nothing of it left
    needs_root
    rm -f /usr/lib/CurselloLinuxLauncher/Cursello.exe
    if dpkg-query -W cursello-linux-launcher > /dev/null 2>&1; then apt-get purge -y -q cursello-linux-launcher; fi
    if dpkg-query --status cursello-linux-launcher > /dev/null 2>&1; then exit 1; fi
    while read -r path; do
      if [ ! -d "$path" ] && { [ -e "$path" ] || [ -L "$path" ]; }; then echo "left: $path"; exit 1; fi
    done < "$build_dir/package-files"
    [ ! -e /usr/lib/CurselloLinuxLauncher ] && [ ! -e /usr/share/doc/cursello-linux-launcher ] ;;
  user)  # in a temporary HOME, with XDG_DATA_HOME set and the default config home
    mkdir -p "$tmp/home/.local/share/applications"
    echo MZ > "$tmp/Cursello.exe"
    before=$(find "$tmp" | sort)
    export HOME=$tmp/home XDG_DATA_HOME=$tmp/data  # CS_BUILD_DIR: the package's build, from the test
    unset XDG_CONFIG_HOME
    "$source_dir/scripts/install" "$tmp/Cursello.exe"
    program=$HOME/.local/lib/CurselloLinuxLauncher/CurselloLinuxLauncher
    [ -x "$program" ]
    cmp "$tmp/Cursello.exe" "${program%/*}/Cursello.exe"
    [ "$(readlink -f "$HOME/.local/bin/CurselloLinuxLauncher")" = "$program" ]
    grep -qx "Exec=$program" "$HOME/.config/autostart/CurselloLinuxLauncher.desktop"
    [ -f "$XDG_DATA_HOME/icons/hicolor/32x32/apps/CurselloLinuxLauncher.png" ]
    desktop-file-validate "$HOME/.config/autostart/CurselloLinuxLauncher.desktop" \
      "$XDG_DATA_HOME/applications/CurselloLinuxLauncher.desktop"
    "$source_dir/scripts/install" --uninstall
    diff <(echo "$before") <(find "$tmp" | sort)
    # With every directory there beforehand the manifest lists none; an update keeps the start at login off.
    mkdir -p "$HOME/.local/lib/CurselloLinuxLauncher" "$HOME/.local/bin" "$HOME/.config/autostart" \
      "$XDG_DATA_HOME"/{applications,icons/hicolor/32x32/apps,metainfo}
    before=$(find "$tmp" | sort)
    "$source_dir/scripts/install"
    autostart=$HOME/.config/autostart/CurselloLinuxLauncher.desktop
    sed -i 's/^X-GNOME-Autostart-enabled=true$/X-GNOME-Autostart-enabled=false/' "$autostart"
    echo Hidden=true >> "$autostart"
    out=$("$source_dir/scripts/install")
    grep -qx "The start at login stays turned off, as you set it in $autostart." <<< "$out"
    [ "$(grep -x -c -e Hidden=true -e X-GNOME-Autostart-enabled=false "$autostart")" = 2 ]
    desktop-file-validate "$autostart"
    "$source_dir/scripts/install" --uninstall
    diff <(echo "$before") <(find "$tmp" | sort) ;;
esac
