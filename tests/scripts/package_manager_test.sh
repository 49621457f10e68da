#!/usr/bin/env bash
# The scripts' choice of package manager and what they would run with it, for every family, from tables; no
# package manager is run. package_manager_test.sh SOURCE_DIR
set -uo pipefail
source_dir=$1
source "$source_dir/scripts/lib/common.sh"
failures=0
expect() {  # WHAT EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then
    printf 'FAIL %s\n  expected: %s\n  actual:   %s\n' "$1" "$2" "$3"
    failures=$((failures + 1))
  fi
}

# os-release ID | ID_LIKE | image-based | managers on PATH | chosen
while IFS='|' read -r id like image found chosen; do
  expect "choice for ID=$id ID_LIKE=$like image=$image found=$found" "$chosen" \
    "$(choose_package_manager "$id" "$like" "$image" $found)"
done <<'ROWS'
debian||no|apt-get|apt-get
linuxmint|ubuntu debian|no|apt-get|apt-get
cachyos|arch|no|pacman|pacman
manjaro|arch|no|apt-get pacman|pacman
nobara|fedora|no|dnf|dnf
opensuse-tumbleweed|opensuse suse|no|zypper dnf|zypper
steamos|arch|no|pacman|image
bazzite|fedora|yes||image
gentoo||no|dnf|dnf
gentoo||no||unknown
ROWS

# manager | the commands for the compiler, GTK 3 and AppIndicator, each ended by ";"
while IFS='|' read -r manager commands; do
  expect "commands of $manager" "$commands" \
    "$(install_commands "$manager" $(packages_for "$manager" compiler gtk3 appindicator compiler) | tr '\n' ';')"
done <<'ROWS'
apt-get|apt-get update -q;env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends g++ libgtk-3-dev libayatana-appindicator3-dev;
pacman|pacman -S --needed --noconfirm gcc gtk3 libayatana-appindicator;
dnf|dnf install -y gcc-c++ gtk3-devel libayatana-appindicator-gtk3-devel;
zypper|zypper --non-interactive install gcc-c++ gtk3-devel libayatana-appindicator3-devel;
ROWS

# Every need of every script has an entry in every family, and the developers' page shows the same entries.
needs=$(printf '%s\n' "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${SIMULATION_PACKAGES[@]}" \
  "${PACKAGE_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}" "${SCREENSHOT_PACKAGES[@]}" | awk '!seen[$0]++')
table=""
for need in $needs; do
  row="| \`$need\` |"
  for manager in apt-get pacman dnf zypper; do
    expect "unknown needs for $manager" "" "$(unknown_needs "$manager" "$need")"
    names=$(packages_for "$manager" "$need" | tr '\n' ' ')
    row+=" ${names:-—}"
    row="${row% } |"
  done
  table+="$row"$'\n'
done
expect "the table of packages in docs/development.md" "$table" "$(grep '^| `' "$source_dir/docs/development.md" | grep -F -f <(
  for need in $needs; do echo "| \`$need\` |"; done))"$'\n'

# The Arch package asks for the build needs by the same names (gcc and make come with every Arch build's
# base-devel); the RPM recipe asks pkg-config for exactly the modules the build does (the program's, not the Xlib
# of the tests and the benchmark).
arch_names=" $(sed -n "s/^\(make\)\?depends=(\(.*\))$/\2/p" "$source_dir/packaging/arch/PKGBUILD" | tr -d "'" |
  tr '\n' ' ') "
for name in $(packages_for pacman "${BUILD_PACKAGES[@]}"); do
  if [[ $name != gcc && $name != make && $arch_names != *" $name "* ]]; then expect "PKGBUILD names" "$name" ""; fi
done
expect "the RPM recipe's pkg-config modules" \
  "$(sed -n 's/^ *pkg_check_modules([A-Z0-9]* REQUIRED \(IMPORTED_TARGET \)\?\(.*\))$/\2/p' "$source_dir/CMakeLists.txt" |
    tr ' ' '\n' | grep -vx x11 | sort | tr '\n' ' ')" \
  "$(sed -n 's/^BuildRequires: *pkgconfig(\(.*\))$/\1/p' "$source_dir/packaging/rpm/cursello-linux-launcher.spec" |
    sort | tr '\n' ' ')"

# A read-only /usr is told by the mount's own flag, among findmnt's options.
while IFS='|' read -r options read_only; do
  expect "read-only mount with options '$options'" "$read_only" "$(mount_read_only "$options")"
done <<'ROWS'
ro,relatime|yes
rw,relatime,errors=remount-ro|no
rw,nosuid,nodev|no
nosuid,ro|yes
|no
ROWS

# What the scripts say when they cannot install: the names to install, or where to build instead.
stop_message() { (CS_PACKAGE_MANAGER=$1 ensure_packages "${@:2}") 2>&1 > /dev/null; }
message=$(stop_message dnf compiler no-such-need)
expect "unknown need named" yes "$([[ $message == *"for: no-such-need."* && $message == *gcc-c++* ]] && echo yes)"
message=$(stop_message image compiler)
expect "image-based system" yes "$([[ $message == *toolbox* && $message == *distrobox* ]] && echo yes)"
expect "no manager" yes "$([[ $(stop_message unknown compiler) == *"need: compiler."* ]] && echo yes)"

exit $((failures > 0))
