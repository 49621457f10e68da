# Shared by scripts/run and scripts/test: installs what is missing on a Debian machine.

# Packages needed to build the launcher.
BUILD_PACKAGES=(g++ cmake make pkg-config libgtk-3-dev libayatana-appindicator3-dev libx11-dev libxcb1-dev libxcb-res0-dev)

# Packages needed to build the fuzz targets: clang, its libFuzzer runtime, and GCC's C++ library that it uses.
FUZZ_PACKAGES=(clang libclang-rt-dev g++ cmake make)

# Runs a command as root: directly when we are root, else through sudo.
as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  else
    sudo "$@"
  fi
}

# Installs the given Debian packages that are not installed yet.
ensure_packages() {
  local missing=()
  local package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$package")
    fi
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "Installing missing packages: ${missing[*]}"
    as_root apt-get update -q
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
}
