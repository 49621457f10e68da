# Shared by the scripts: finds the system's package manager and installs what is missing with it, by the names of
# the system's family (scripts/lib/packages.sh).
#
# CS_PACKAGE_MANAGER chooses the manager (apt-get, pacman, dnf or zypper), or "none" to install nothing: for a
# system none of them serves, once what docs/development.md lists is installed by hand.
source "$(dirname "${BASH_SOURCE[0]}")/packages.sh"

# Runs a command as root: directly when we are root, else through sudo.
as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  else
    sudo "$@"
  fi
}

# Prints "yes" when mount options (as `findmnt -no OPTIONS` prints them) make the mount read-only, else "no". The
# mount's own flag, not whether this user may write there: root may write a read-write /usr, nobody a read-only one.
mount_read_only() {
  if [[ ,$1, == *,ro,* ]]; then echo yes; else echo no; fi
}

# Prints the manager for a system, from its os-release ID and ID_LIKE, whether it is image-based (an rpm-ostree
# system, SteamOS, or any other with a read-only /usr), and the managers found on PATH:
#   choose_package_manager ID ID_LIKE IMAGE_BASED(yes|no) FOUND...
# The family named first (ID, then ID_LIKE in order) whose manager was found wins, else the first manager found.
# Prints apt-get, pacman, dnf, zypper, "image" for an image-based system, or "unknown".
choose_package_manager() {
  local id=$1 id_like=$2 image_based=$3
  shift 3
  if [ "$image_based" = yes ] || [ "$id" = steamos ]; then
    echo image
    return
  fi
  local word manager
  for word in $id $id_like; do
    case $word in
      debian | ubuntu) manager=apt-get ;;
      arch) manager=pacman ;;
      fedora | rhel | centos) manager=dnf ;;
      suse | opensuse | opensuse-*) manager=zypper ;;
      *) continue ;;
    esac
    if [[ " $* " == *" $manager "* ]]; then
      echo "$manager"
      return
    fi
  done
  echo "${1:-unknown}"
}

# This system's manager (see choose_package_manager), or CS_PACKAGE_MANAGER when set.
package_manager() {
  if [ -n "${CS_PACKAGE_MANAGER:-}" ]; then
    echo "$CS_PACKAGE_MANAGER"
    return
  fi
  local ID='' ID_LIKE='' image_based=no found=() manager
  # os-release is shell-compatible assignments; read it in a subshell so that nothing else of it leaks in.
  if [ -r /etc/os-release ]; then
    read -r ID ID_LIKE < <(. /etc/os-release && echo "${ID:-}" "${ID_LIKE:-}")
  fi
  # Image-based systems without ostree (openSUSE MicroOS and Aeon, ChimeraOS) show themselves by a read-only /usr.
  if [ -e /run/ostree-booted ] ||
    [ "$(mount_read_only "$(findmnt -no OPTIONS --target /usr 2>/dev/null || true)")" = yes ]; then
    image_based=yes
  fi
  for manager in apt-get pacman dnf zypper; do
    if command -v "$manager" > /dev/null; then found+=("$manager"); fi
  done
  choose_package_manager "$ID" "$ID_LIKE" "$image_based" "${found[@]}"
}

# The table of the manager's family in packages.sh, by name; empty for another manager.
package_table() {
  case $1 in
    apt-get) echo DEBIAN_PACKAGES ;;
    pacman) echo ARCH_PACKAGES ;;
    dnf) echo FEDORA_PACKAGES ;;
    zypper) echo OPENSUSE_PACKAGES ;;
  esac
}

# Prints the package names of the needs for the manager's family, one a line, each once; needs the family has no
# entry for are left out (unknown_needs names them).
packages_for() {
  local -n names=$(package_table "$1")
  shift
  local need
  for need in "$@"; do
    if [[ -v names[$need] ]]; then printf '%s\n' ${names[$need]}; fi
  done | awk 'NF && !seen[$0]++'
}

# Prints the needs that the manager's family has no entry for, on one line.
unknown_needs() {
  local -n names=$(package_table "$1")
  shift
  local need unknown=()
  for need in "$@"; do
    if [[ ! -v names[$need] ]]; then unknown+=("$need"); fi
  done
  echo "${unknown[*]}"
}

# Prints the commands that install the packages with the manager, one a line. pacman installs without refreshing
# its databases (-y): installing from fresh databases onto an older system is a partial upgrade, which breaks Arch.
install_commands() {
  local manager=$1
  shift
  case $manager in
    apt-get)
      echo "apt-get update -q"
      echo "env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $*" ;;
    pacman) echo "pacman -S --needed --noconfirm $*" ;;
    dnf) echo "dnf install -y $*" ;;
    zypper) echo "zypper --non-interactive install $*" ;;
  esac
}

# Whether the package (or something that provides it) is installed.
package_installed() {
  case $1 in
    apt-get) dpkg-query -W -f='${Status}' "$2" 2>/dev/null | grep -q 'install ok installed' ;;
    pacman) pacman -T "$2" > /dev/null ;;
    dnf | zypper) rpm -q --whatprovides "$2" > /dev/null 2>&1 ;;
  esac
}

# Stops the script with the message (its arguments, joined), and where to read what to install.
stop_installing() {
  echo "$*" >&2
  echo "The table in docs/development.md names them for Debian, Arch, Fedora and openSUSE. Once they are" \
    "installed, run again with CS_PACKAGE_MANAGER=none to skip this check." >&2
  exit 1
}

# Installs the packages of the needs (scripts/lib/packages.sh) that are not installed yet, with sudo when not root.
ensure_packages() {
  local manager
  manager=$(package_manager)
  case $manager in
    none) return ;;
    unknown)
      stop_installing "No package manager found (apt-get, pacman, dnf or zypper). Install what these need: $*." ;;
    image)
      stop_installing "This system's /usr is read-only (an image-based system such as Bazzite, Silverblue," \
        "SteamOS, openSUSE MicroOS or Aeon, or ChimeraOS): packages cannot be installed on it this way. Install" \
        "the bundle that './scripts/package bundle' makes elsewhere (it needs no compiler), or build inside a" \
        "toolbox or distrobox container instead (for example 'toolbox create && toolbox enter', or 'distrobox" \
        "create --image fedora:latest --name cursello && distrobox enter cursello') and run this script there." \
        "It needs: $*." ;;
    apt-get | pacman | dnf | zypper) ;;
    *) stop_installing "CS_PACKAGE_MANAGER=$manager: not one of apt-get, pacman, dnf, zypper or none." ;;
  esac
  local missing=() package
  for package in $(packages_for "$manager" "$@"); do
    if ! package_installed "$manager" "$package"; then missing+=("$package"); fi
  done
  local unknown
  unknown=$(unknown_needs "$manager" "$@")
  if [ -n "$unknown" ]; then
    local also=''
    if [ "${#missing[@]}" -gt 0 ]; then also=", and these packages: ${missing[*]}"; fi
    stop_installing "No $manager package is known here for: $unknown. Install what provides that$also."
  fi
  if [ "${#missing[@]}" -eq 0 ]; then return; fi
  echo "Installing missing packages: ${missing[*]}"
  # Read first: the commands keep the terminal as their input, for sudo's password.
  local commands line command
  mapfile -t commands < <(install_commands "$manager" "${missing[@]}")
  for line in "${commands[@]}"; do
    read -r -a command <<< "$line"
    if ! as_root "${command[@]}"; then
      if [ "$manager" = pacman ]; then
        echo "If pacman could not download them, update the system first (sudo pacman -Syu), then run this again." >&2
      fi
      exit 1
    fi
  done
}
