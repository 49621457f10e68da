# Makes, once per machine, the Debian 13 root that the tests with Wine's Wayland driver run their Wine from: the
# systems the tests run on have Wine 8 at most, which has no Wayland driver. The root holds Wine 10 and a wlroots
# compositor (labwc) that runs headless; the tests enter it with bubblewrap, as an ordinary user, sharing the host's
# /proc, /dev and /tmp, so that one wineserver serves what runs inside and outside it.
#
# Sourced by ./scripts/test after the packages are ensured (debootstrap among them); make_wine_root needs root.

# Where the root is kept; tests/wine/wayland_wine.cpp looks for it there.
WINE_ROOT_CACHE=/var/cache/cursello-tests
WINE_ROOT=$WINE_ROOT_CACHE/trixie-wine
# What the root gets beyond debootstrap's minimal base: Wine 10's 64-bit loader and its Wayland driver, and the
# compositor. Recommends are left out: they would add a desktop's worth of fonts, sound and icons.
WINE_ROOT_PACKAGES=(wine wine64 labwc)

# Prints the Debian archive that apt uses here, else Debian's own address: a system of another family has no Debian
# mirror configured. The archive is the first address ending in /debian on a deb822 "URIs:" line or a one-line
# "deb [options] URI suite..." source, in the files given (apt's own by default).
debian_mirror() {
  local files=("$@") file line words word
  if [ $# -eq 0 ]; then files=(/etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources); fi
  for file in "${files[@]}"; do
    [ -r "$file" ] || continue
    while read -r line; do
      case $line in
        URIs:*) words=${line#URIs:} ;;
        deb\ *) words=${line#deb } ;;
        *) continue ;;
      esac
      for word in $words; do
        if [[ $word == http*://*/debian || $word == http*://*/debian/ ]]; then
          echo "${word%/}"
          return
        fi
      done
    done < "$file"
  done
  echo http://deb.debian.org/debian
}

# Makes $WINE_ROOT when it is missing. The root is built in a directory beside it and renamed into place only when
# complete, so that an interrupted run never leaves a half-made root for the tests; a lock keeps two runs from
# building at once.
make_wine_root() {
  as_root mkdir -p "$WINE_ROOT_CACHE"
  as_root env WINE_ROOT_CACHE="$WINE_ROOT_CACHE" WINE_ROOT="$WINE_ROOT" MIRROR="$(debian_mirror)" \
    PACKAGES="${WINE_ROOT_PACKAGES[*]}" flock "$WINE_ROOT_CACHE/.trixie-wine.lock" bash -euo pipefail -c '
    if [ -d "$WINE_ROOT" ]; then exit 0; fi
    # What a run that was stopped half-way left behind. Nothing is mounted there: the mounts below live in a mount
    # namespace that ended with that run.
    rm -rf "$WINE_ROOT_CACHE"/.trixie-wine.new.*
    new=$(mktemp -d "$WINE_ROOT_CACHE/.trixie-wine.new.XXXXXX")
    echo "Making the Debian 13 root with Wine 10 for the Wayland tests in $WINE_ROOT (once per machine), from $MIRROR"
    started=$SECONDS
    debootstrap --variant=minbase trixie "$new" "$MIRROR" > "$new.log" 2>&1 ||
      { tail -n 20 "$new.log" >&2; echo "debootstrap failed; its log: $new.log" >&2; exit 1; }
    # Documentation and translations are of no use to the tests and are a good part of the size.
    printf "%s\n" "path-exclude /usr/share/doc/*" "path-exclude /usr/share/man/*" "path-exclude /usr/share/info/*" \
      "path-exclude /usr/share/locale/*" > "$new/etc/dpkg/dpkg.cfg.d/01-no-docs"
    unshare --mount --propagation private bash -euo pipefail -c "
      mount -t proc proc \"$new/proc\"
      chroot \"$new\" apt-get update -q
      chroot \"$new\" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $PACKAGES
      chroot \"$new\" apt-get clean
    " >> "$new.log" 2>&1 ||
      { tail -n 20 "$new.log" >&2; echo "Installing $PACKAGES in the root failed; its log: $new.log" >&2; exit 1; }
    rm -rf "$new"/var/lib/apt/lists/* "$new.log"
    # The tests run the root as an ordinary user; it needs to read it all and write nothing.
    chmod 755 "$new"
    mv -T "$new" "$WINE_ROOT"
    echo "Made $WINE_ROOT in $((SECONDS - started)) s: $(du -sh "$WINE_ROOT" | cut -f1)"
  '
}
