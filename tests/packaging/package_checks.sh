#!/usr/bin/env bash
# The installed forms of the launcher, one check per call: package_checks.sh CHECK SOURCE_DIR BUILD_DIR DEB.
# Exits 77 (skipped) for a check that needs root without it, or a tool this system lacks.
set -euo pipefail
check=$1 source_dir=$2 build_dir=$3 deb=$4
tmp=$(mktemp -d)
trap 'rm -rf -- "$tmp"' EXIT
needs_root() { if [ "$(id -u)" -ne 0 ]; then exit 77; fi; }
needs() {
  local tool
  for tool; do
    if ! command -v "$tool" > /dev/null; then echo "skipped: $tool is missing" >&2; exit 77; fi
  done
}
files_of() { (cd "$1" && find . ! -type d | sort); }
# The package a tool builds, beside the Debian package; a check is skipped without the tool, fails without the file.
built_package() {  # PATTERN TOOL
  needs "$2" dpkg-deb
  compgen -G "${deb%/*}/$1" | head -n 1 | grep . || { echo "no ${deb%/*}/$1" >&2; exit 1; }
}
# The Debian package's files and links as another family lays them out: the program directory under LIBDIR, the
# copyright file among the licences, and no Debian changelog (the others keep theirs in the package's metadata).
deb_files_as() {  # LIBDIR
  dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sed -e 's|^\.||' \
    -e "s|^/usr/lib/CurselloLinuxLauncher/|$1/CurselloLinuxLauncher/|" \
    -e 's|^/usr/share/doc/\([^/]*\)/copyright$|/usr/share/licenses/\1/copyright|' \
    -e '\|^/usr/share/doc/[^/]*/changelog.gz$|d' | sort
}
# The window watcher in the program directory DIR: a Windows program (a PE file, "MZ" first), which wine loads as a
# file, so readable by everyone and executable by no one.
window_watch_in() {  # DIR
  local exe=$1/CurselloWindowWatch.exe
  if [ "$(head -c 2 "$exe")" != MZ ] || [ "$(stat -c %a "$exe")" != 644 ]; then
    echo "no window watcher, a PE file of mode 644, at $exe"
    exit 1
  fi
}
# The link on PATH must lead to the program in LIBDIR: link_leads_to_program TARGET LIBDIR
link_leads_to_program() {
  [ "$(realpath -m "/usr/bin/$1")" = "$2/CurselloLinuxLauncher/CurselloLinuxLauncher" ] || { echo "link: $1"; exit 1; }
}

# Runs a package's install script SCRIPT with ARGS, and then the shell line CALL, with systemctl and Debian's
# deb-systemd-helper (as dpkg runs it) working on the tree ROOT where the package's files are; succeeds when the
# user unit is then enabled for every user there.
unit_enabled_after() {  # ROOT SCRIPT CALL ARG...
  local root=$1 script=$2 call=$3
  shift 3
  { echo 'systemctl() { command systemctl --root="$DPKG_ROOT" "$@"; }'; cat "$script"; printf '\n%s\n' "$call"; } \
    > "$tmp/scriptlet"
  DPKG_ROOT=$root DPKG_MAINTSCRIPT_PACKAGE=cursello-linux-launcher sh "$tmp/scriptlet" "$@" > /dev/null 2>&1
  [ -L "$root/etc/systemd/user/gamescope-session.target.wants/CurselloLinuxLauncher.service" ]
}
# The unit enabled by the first install, no longer after the removal, and not again by an upgrade once an
# administrator disabled it: scriptlets FIRST, UPGRADE and REMOVE, each as "SCRIPT CALL ARG...".
enables_unit_once() {  # ROOT FIRST UPGRADE REMOVE
  local root=$1
  unit_enabled_after "$root" $2 || { echo "not enabled by the first install"; exit 1; }
  if unit_enabled_after "$root" $4; then echo "still enabled after the removal"; exit 1; fi
  unit_enabled_after "$root" $2 || { echo "not enabled by an install after the removal"; exit 1; }
  systemctl --root="$root" --global disable CurselloLinuxLauncher.service > /dev/null 2>&1
  if unit_enabled_after "$root" $3; then echo "enabled again by an upgrade"; exit 1; fi
}

# What a per-user install into HOME, with the data home DATA, has placed, the given Cursello.exe among it: the
# entries and the unit name the program by its path, the unit passes systemd's verify and is enabled by the link
# that `systemctl --user enable` makes.
installed_for_user() {  # DATA CURSELLO
  local program=$HOME/.local/lib/CurselloLinuxLauncher/CurselloLinuxLauncher
  local unit=$1/systemd/user/CurselloLinuxLauncher.service
  [ -x "$program" ]
  [ -x "${program%/*}/CurselloSandboxJoin" ]
  window_watch_in "${program%/*}"
  cmp "$2" "${program%/*}/Cursello.exe"
  [ "$(readlink -f "$HOME/.local/bin/CurselloLinuxLauncher")" = "$program" ]
  grep -qx "Exec=$program" "$HOME/.config/autostart/CurselloLinuxLauncher.desktop"
  grep -qx "ExecStart=\"$program\"" "$unit"
  mkdir -m 700 "$tmp/run"  # verify asks for a runtime directory, even with no user manager running
  XDG_RUNTIME_DIR=$tmp/run systemd-analyze --user verify "$unit"
  rm -rf -- "$tmp/run"
  [ "$(readlink "$HOME/.config/systemd/user/gamescope-session.target.wants/CurselloLinuxLauncher.service")" = "$unit" ]
  [ -f "$1/icons/hicolor/32x32/apps/CurselloLinuxLauncher.png" ]
  [ -f "$HOME/.local/share/man/man1/CurselloLinuxLauncher.1.gz" ]  # where man finds it from ~/.local/bin
  desktop-file-validate "$HOME/.config/autostart/CurselloLinuxLauncher.desktop" \
    "$1/applications/CurselloLinuxLauncher.desktop"
}

case $check in
  tree)  # no test or benchmark; the autostart entry where sessions read it, not under the prefix
    DESTDIR=$tmp cmake --install "$build_dir" --prefix /usr/local > /dev/null
    diff <(files_of "$tmp") - <<< "./etc/xdg/autostart/CurselloLinuxLauncher.desktop
./usr/local/bin/CurselloLinuxLauncher
./usr/local/lib/CurselloLinuxLauncher/CurselloLinuxLauncher
./usr/local/lib/CurselloLinuxLauncher/CurselloSandboxJoin
./usr/local/lib/CurselloLinuxLauncher/CurselloWindowWatch.exe
./usr/local/lib/systemd/user/CurselloLinuxLauncher.service
./usr/local/share/applications/CurselloLinuxLauncher.desktop
./usr/local/share/icons/hicolor/32x32/apps/CurselloLinuxLauncher.png
./usr/local/share/man/man1/CurselloLinuxLauncher.1.gz
./usr/local/share/metainfo/CurselloLinuxLauncher.metainfo.xml"
    [ "$(readlink "$tmp/usr/local/bin/CurselloLinuxLauncher")" = ../lib/CurselloLinuxLauncher/CurselloLinuxLauncher ]
    window_watch_in "$tmp/usr/local/lib/CurselloLinuxLauncher"
    # Only the tests and the benchmark draw with Xlib: no package depends on it for the program.
    if readelf -d "$tmp"/usr/local/lib/CurselloLinuxLauncher/Cursello{LinuxLauncher,SandboxJoin} |
      grep 'NEEDED.*libX11'; then exit 1; fi
    desktop-file-validate "$tmp"/etc/xdg/autostart/*.desktop "$tmp"/usr/local/share/applications/*.desktop
    needs man
    warnings=$(man --warnings -l "$tmp/usr/local/share/man/man1/CurselloLinuxLauncher.1.gz" 2>&1 > /dev/null)
    if [ -n "$warnings" ]; then echo "$warnings"; exit 1; fi ;;
  package)
    needs dpkg-deb lintian
    dpkg-deb --contents "$deb" | grep -c -e ' ./usr/lib/CurselloLinuxLauncher/CurselloLinuxLauncher$' \
      -e ' ./usr/lib/CurselloLinuxLauncher/CurselloSandboxJoin$' \
      -e ' ./usr/bin/CurselloLinuxLauncher -> ../lib/CurselloLinuxLauncher/CurselloLinuxLauncher$' \
      -e ' ./usr/share/doc/cursello-linux-launcher/copyright$' -e ' ./usr/share/doc/cursello-linux-launcher/changelog.gz$' \
      -e ' ./usr/lib/systemd/user/CurselloLinuxLauncher.service$' \
      -e ' ./usr/lib/CurselloLinuxLauncher/CurselloWindowWatch.exe$' | grep -qx 7
    # The user unit is enabled for every user on the first install only, and no longer after the purge.
    mkdir "$tmp/root" "$tmp/control"
    dpkg-deb -x "$deb" "$tmp/root"
    dpkg-deb -e "$deb" "$tmp/control"
    window_watch_in "$tmp/root/usr/lib/CurselloLinuxLauncher"
    enables_unit_once "$tmp/root" "$tmp/control/postinst : configure" "$tmp/control/postinst : configure 0.1.0" \
      "$tmp/control/postrm : purge"
    dpkg-deb --field "$deb" Depends | tr ',' '\n' | grep -c -E '^ ?(libgtk-3-0|libayatana-appindicator3-1|libxcb-res0)( |$)' \
      | grep -qx 3
    lintian --fail-on error,warning "$deb" | tee "$tmp/lintian"
    if grep -q no-manual-page "$tmp/lintian"; then exit 1; fi ;;
  arch)  # built from the tarball beside its PKGBUILD, whose sums makepkg checked; the same files as the Debian
    # package, the same configuration kept across upgrades
    pkg=$(built_package 'cursello-linux-launcher-*.pkg.tar.*' makepkg)
    recipe=${deb%/*}/arch
    grep -qx "sha256sums=('$(sha256sum "$recipe"/cursello-linux-launcher-*.tar.gz | cut -d ' ' -f 1)')" \
      "$recipe/PKGBUILD"
    if tar -tzf "$recipe"/cursello-linux-launcher-*.tar.gz | grep -E '^[^/]*/(build|\.git)/'; then exit 1; fi
    diff <(deb_files_as /usr/lib) <(bsdtar -tf "$pkg" | grep -v -e '/$' -e '^\.' | sed 's|^|/|' | sort)
    link_leads_to_program "$(bsdtar -tvf "$pkg" usr/bin/CurselloLinuxLauncher | sed 's/.* -> //')" /usr/lib
    diff <(dpkg-deb --info "$deb" conffiles) <(bsdtar -xOf "$pkg" .PKGINFO | sed -n 's|^backup = |/|p')
    mkdir "$tmp/root"
    bsdtar -xf "$pkg" -C "$tmp/root"
    window_watch_in "$tmp/root/usr/lib/CurselloLinuxLauncher"
    enables_unit_once "$tmp/root" "$tmp/root/.INSTALL post_install" "$tmp/root/.INSTALL post_upgrade" \
      "$tmp/root/.INSTALL post_remove" ;;
  rpm)  # the same, with the program directory in the libdir; and rpmlint finds no error
    rpm=$(built_package 'cursello-linux-launcher-*.rpm' rpmbuild)
    needs rpmlint
    libdir=$(rpm --eval %_libdir)
    query() { rpm -qp --qf "[%{FILEMODES:perms} %{FILENAMES} %{FILELINKTOS}\n]" "$rpm"; }
    # rpm adds links by build id to every ELF file, for its debugging tools.
    diff <(deb_files_as "$libdir") <(query | awk '$1 !~ /^d/ {print $2}' | grep -v '^/usr/lib/\.build-id/' | sort)
    link_leads_to_program "$(query | awk '$2 == "/usr/bin/CurselloLinuxLauncher" {print $3}')" "$libdir"
    diff <(dpkg-deb --info "$deb" conffiles) <(rpm -qp --configfiles "$rpm")
    # Fedora's and openSUSE's own rpmlint settings leave out the missing signature, since their build services
    # sign a package after linting it; a local build stays unsigned, and this system's rpmlint has no such settings.
    echo "Filters = [' no-signature']" > "$tmp/distribution.toml"
    rpmlint -c "$tmp/distribution.toml" "$rpm"
    mkdir "$tmp/root"
    (cd "$tmp/root" && rpm2cpio "$rpm" | cpio -idm --quiet)
    window_watch_in "$tmp/root$libdir/CurselloLinuxLauncher"
    rpm -qp --qf '%{POSTIN}' "$rpm" > "$tmp/post"
    rpm -qp --qf '%{POSTUN}' "$rpm" > "$tmp/postun"
    enables_unit_once "$tmp/root" "$tmp/post : 1" "$tmp/post : 2" "$tmp/postun : 0"
    # The recipe alone too, with whatever rpmlintrc lies beside it, as a packager lints it before a build: a filter
    # there that the recipe does not use is an error.
    rpmlint "$source_dir/packaging/rpm/cursello-linux-launcher.spec" ;;
  bundle)  # one directory: the launcher and its helper with the C++ runtime linked in, the files a package installs,
    # and the install script, which installs them per user with no compiler or package manager on PATH
    bundle=${deb%/*}/CurselloLinuxLauncher-$(basename "$deb" | cut -d _ -f 2)-x86_64.tar.gz
    top=$(basename "$bundle" -x86_64.tar.gz)
    [ "$(tar -tzf "$bundle" | cut -d / -f 1 | sort -u)" = "$top" ]
    tar -xzf "$bundle" -C "$tmp"
    if readelf -d "$tmp/$top"/files/usr/lib/CurselloLinuxLauncher/Cursello{LinuxLauncher,SandboxJoin} |
      grep -E 'NEEDED.*(libstdc\+\+|libgcc_s)'; then
      exit 1
    fi
    mkdir "$tmp/path"
    for tool in bash cat chmod dirname env find grep ldd ln mkdir mktemp mv readlink rm rmdir sed sort; do
      ln -s "$(command -v "$tool")" "$tmp/path/$tool"
    done
    user=$tmp/user
    mkdir -p "$user/home"
    echo MZ > "$tmp/Cursello.exe"
    before=$(find "$user" | sort)
    export HOME=$user/home
    with_few_tools() { env -i PATH="$tmp/path" HOME="$HOME" "$@"; }
    (cd "$tmp" && with_few_tools "$top/install" Cursello.exe)
    installed_for_user "$HOME/.local/share" "$tmp/Cursello.exe"
    with_few_tools "$tmp/$top/install" --uninstall
    diff <(echo "$before") <(find "$user" | sort) ;;
  apt-install)
    needs_root
    needs apt-get
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb"
    dpkg-query --listfiles cursello-linux-launcher > "$build_dir/package-files"
    window_watch_in /usr/lib/CurselloLinuxLauncher
    page=$(MANPAGER=cat MANWIDTH=200 man CurselloLinuxLauncher)
    [[ $page == *"CurselloLinuxLauncher - start Cursello.exe inside Steam games that run under Proton"* ]]
    [ -L /etc/systemd/user/gamescope-session.target.wants/CurselloLinuxLauncher.service ] ;;
  purge)  # also after a failed or killed test: no package, no stand-in, nothing of it left
    needs_root
    needs apt-get
    rm -f /usr/lib/CurselloLinuxLauncher/Cursello.exe
    if dpkg-query -W cursello-linux-launcher > /dev/null 2>&1; then apt-get purge -y -q cursello-linux-launcher; fi
    if dpkg-query --status cursello-linux-launcher > /dev/null 2>&1; then exit 1; fi
    while read -r path; do
      if [ ! -d "$path" ] && { [ -e "$path" ] || [ -L "$path" ]; }; then echo "left: $path"; exit 1; fi
    done < "$build_dir/package-files"
    [ ! -e /usr/lib/CurselloLinuxLauncher ]
    [ ! -e /usr/share/doc/cursello-linux-launcher ]
    [ ! -L /etc/systemd/user/gamescope-session.target.wants/CurselloLinuxLauncher.service ]
    # Nor the record of that link, which would count as the administrator's disable at the next install.
    if find /var/lib/systemd/deb-systemd-user-helper-enabled -name 'CurselloLinuxLauncher.service*' 2> /dev/null |
      grep .; then exit 1; fi ;;
  user)  # as a user runs it: in a fresh copy of the tree, with a fresh build directory, in a temporary HOME with
    # XDG_DATA_HOME set and the default config home, and no user manager to reach
    CS_BUILD_DIR=$tmp "$source_dir/scripts/package" source > /dev/null
    mkdir "$tmp/clone"
    tar -xzf "$tmp"/cursello-linux-launcher-*.tar.gz -C "$tmp/clone"
    install=$(echo "$tmp"/clone/*/scripts/install)
    [ ! -e "${install%/scripts/install}/build" ]
    user=$tmp/user
    mkdir -p "$user/home/.local/share/applications"
    echo MZ > "$tmp/Cursello.exe"
    before=$(find "$user" | sort)
    export HOME=$user/home XDG_DATA_HOME=$user/data
    unset XDG_CONFIG_HOME XDG_RUNTIME_DIR DBUS_SESSION_BUS_ADDRESS
    (cd "$tmp" && "$install" Cursello.exe)  # a path from where it was called
    installed_for_user "$XDG_DATA_HOME" "$tmp/Cursello.exe"
    "$install" --uninstall
    diff <(echo "$before") <(find "$user" | sort)
    # With every directory there beforehand the manifest lists none; an update keeps the start at login off.
    mkdir -p "$HOME/.local/lib/CurselloLinuxLauncher" "$HOME/.local/bin" "$HOME/.config/autostart" \
      "$XDG_DATA_HOME"/{applications,icons/hicolor/32x32/apps,metainfo}
    before=$(find "$user" | sort)
    "$install"
    autostart=$HOME/.config/autostart/CurselloLinuxLauncher.desktop
    sed -i 's/^X-GNOME-Autostart-enabled=true$/X-GNOME-Autostart-enabled=false/' "$autostart"
    echo Hidden=true >> "$autostart"
    out=$("$install")
    grep -qx "The start at login stays turned off, as you set it in $autostart." <<< "$out"
    [ "$(grep -x -c -e Hidden=true -e X-GNOME-Autostart-enabled=false "$autostart")" = 2 ]
    if grep -q '^Hidden=' "$XDG_DATA_HOME/applications/CurselloLinuxLauncher.desktop"; then exit 1; fi  # the menu's
    desktop-file-validate "$autostart"
    "$install" --uninstall
    diff <(echo "$before") <(find "$user" | sort)
    # A unit the user masked (a link to /dev/null, as `systemctl --user mask` makes) stays masked, and not enabled.
    mkdir -p "$HOME/.config/systemd/user"
    ln -s /dev/null "$HOME/.config/systemd/user/CurselloLinuxLauncher.service"
    before=$(find "$user" | sort)
    out=$("$install")
    grep -q "^The user unit stays masked" <<< "$out"
    [ ! -e "$HOME/.config/systemd/user/gamescope-session.target.wants" ]
    "$install" --uninstall
    diff <(echo "$before") <(find "$user" | sort) ;;
esac
