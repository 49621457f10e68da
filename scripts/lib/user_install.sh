# The per-user install, shared by ./scripts/install (which builds first) and the bundle's install script (which
# needs no compiler, no build and no package manager): both hand over the tree a package would install, and this
# places it under the user's own directories, with no root:
#   usr/lib/CurselloLinuxLauncher/  ->  ~/.local/lib/CurselloLinuxLauncher/ (the program directory)
#   usr/bin/                        ->  ~/.local/bin/
#   usr/share/man/                  ->  ~/.local/share/man/ (where man looks for programs in ~/.local/bin)
#   usr/lib/systemd/user/           ->  $XDG_DATA_HOME/systemd/user/ (~/.config/systemd/user/ is the user's own
#                                       configuration, where a copy would shadow later installs)
#   usr/share/                      ->  $XDG_DATA_HOME/ (default ~/.local/share)
#   etc/xdg/autostart/              ->  $XDG_CONFIG_HOME/autostart/ (default ~/.config/autostart)
# The desktop entries and the user unit are rewritten to name the installed program by its absolute path. A
# manifest in the program directory lists what was written, and every directory made for it, for the uninstall.
# Needs bash, coreutils, sed and grep only.

cs_unit=CurselloLinuxLauncher.service
# The target of the unit's WantedBy: where enabling it links it.
cs_unit_wanted_by=gamescope-session.target

# An XDG base directory variable counts only when it holds an absolute path.
cs_xdg_dir() {
  if [[ ${1:-} == /* ]]; then echo "$1"; else echo "$2"; fi
}

# Sets the per-user paths from HOME and the XDG variables.
cs_user_paths() {
  prefix=$HOME/.local
  program_dir=$prefix/lib/CurselloLinuxLauncher
  manifest=$program_dir/install-manifest.txt
  data_home=$(cs_xdg_dir "${XDG_DATA_HOME:-}" "$HOME/.local/share")
  config_home=$(cs_xdg_dir "${XDG_CONFIG_HOME:-}" "$HOME/.config")
  unit_path=$data_home/systemd/user/$cs_unit
  # Where `systemctl --user enable` links the unit, and where `systemctl --user mask` puts its /dev/null.
  unit_link=$config_home/systemd/user/$cs_unit_wanted_by.wants/$cs_unit
  unit_mask=$config_home/systemd/user/$cs_unit
}

# The path as the Exec key of a desktop entry writes it: quoted when it holds more than plain characters, with
# the quoting's and the string's escapes, and % doubled.
cs_desktop_exec() {
  local path=$1
  if [[ $path =~ ^[A-Za-z0-9/._+-]+$ ]]; then
    echo "$path"
    return
  fi
  path=${path//\\/\\\\\\\\}
  path=${path//\"/\\\\\"}
  path=${path//\`/\\\\\`}
  path=${path//\$/\\\\\$}
  path=${path//%/%%}
  echo "\"$path\""
}

# The path as a unit's ExecStart writes its program, as the install rules write it: quoted, with backslash and
# quote escaped and specifiers' % doubled (systemd expands no variable in the program's own path).
cs_unit_exec() {
  local path=$1
  path=${path//\\/\\\\}
  path=${path//\"/\\\"}
  path=${path//%/%%}
  echo "\"$path\""
}

# Prints where the file at REL (its path in the package tree) goes for this user; fails for a path it does not know.
cs_destination() {
  local rel=$1
  case $rel in
    usr/lib/systemd/user/*) echo "$data_home/systemd/user/${rel#usr/lib/systemd/user/}" ;;
    usr/lib/CurselloLinuxLauncher/*) echo "$program_dir/${rel#usr/lib/CurselloLinuxLauncher/}" ;;
    usr/bin/*) echo "$prefix/bin/${rel#usr/bin/}" ;;
    usr/share/man/*) echo "$prefix/share/man/${rel#usr/share/man/}" ;;
    usr/share/*) echo "$data_home/${rel#usr/share/}" ;;
    etc/xdg/autostart/*) echo "$config_home/autostart/${rel#etc/xdg/autostart/}" ;;
    *) echo "Cannot install $rel: no per-user place for it" >&2; return 1 ;;
  esac
}

# Whether a user manager answers this session (systemctl finds it through XDG_RUNTIME_DIR).
cs_user_manager_runs() {
  command -v systemctl > /dev/null && systemctl --user show-environment > /dev/null 2>&1
}

# Whether the user masked the unit (systemctl --user mask): a link to /dev/null in the user's configuration.
cs_unit_masked() {
  [ -L "$unit_mask" ] && [ "$(readlink "$unit_mask")" = /dev/null ]
}

# Prints the lines with which the user turned the start at login off in an autostart entry, if any.
cs_autostart_turned_off() {
  if [ -f "$1" ]; then grep -E -x '(Hidden *= *true|X-GNOME-Autostart-enabled *= *false) *' "$1" || true; fi
}

# Copies the file SOURCE (from the package tree, at REL) to DEST: desktop entries and the unit rewritten to name the
# installed program; for the autostart entry, TURNED_OFF holds the lines with which the user turned it off, kept.
cs_place() {
  local source=$1 rel=$2 dest=$3 turned_off=$4 line program=$program_dir/CurselloLinuxLauncher
  if [ -L "$source" ]; then
    ln -sfn -- "$(readlink "$source")" "$dest"
    return
  fi
  case $rel in
    *.desktop | *.service)
      {
        while IFS= read -r line || [ -n "$line" ]; do
          case $line in
            Exec=*) echo "Exec=$(cs_desktop_exec "$program")" ;;
            ExecStart=*) echo "ExecStart=$(cs_unit_exec "$program")" ;;
            # A key given twice makes the entry invalid: the user's lines replace both keys.
            Hidden=* | X-GNOME-Autostart-enabled=*) if [ -z "$turned_off" ]; then echo "$line"; fi ;;
            *) echo "$line" ;;
          esac
        done < "$source"
        if [ -n "$turned_off" ]; then echo "$turned_off"; fi
      } > "$dest.new"
      chmod 0644 "$dest.new"
      mv -f -- "$dest.new" "$dest" ;;
    *)
      # A new file beside the old, then renamed over it: a running launcher keeps its own executable.
      cp -- "$source" "$dest.new"
      chmod "$(if [ -x "$source" ]; then echo 0755; else echo 0644; fi)" "$dest.new"
      mv -f -- "$dest.new" "$dest" ;;
  esac
}

# Installs the package tree under TREE for this user, with CURSELLO (a path, or empty) copied into the program
# directory, and enables the user unit unless the user masked it.
cs_install_tree() {
  local tree=$1 cursello=${2:-}
  if [ -n "$cursello" ] && [ ! -f "$cursello" ]; then
    echo "Not a file: $cursello" >&2
    return 1
  fi
  cs_user_paths
  local rels rel dest dir entries=() autostart='' turned_off='' masked='' manager=''
  rels=$(cd "$tree" && find . -type f -o -type l | sed 's|^\./||' | sort)
  while read -r rel; do
    dest=$(cs_destination "$rel") || return 1
    entries+=("$dest")
    if [[ $rel == etc/xdg/autostart/* ]]; then autostart=$dest; fi
  done <<< "$rels"
  if [ -n "$cursello" ]; then entries+=("$program_dir/Cursello.exe"); fi
  if [ ! -f "$tree/usr/lib/systemd/user/$cs_unit" ]; then
    masked=none
  elif cs_unit_masked; then
    masked=yes
  else
    entries+=("$unit_link")
  fi
  if [ -n "$autostart" ]; then turned_off=$(cs_autostart_turned_off "$autostart"); fi

  # Every file, and every directory not there yet, before anything is made: the manifest lists both, and only
  # those, for the uninstall; an earlier install's entries stay listed.
  local listed
  listed=$(
    if [ -f "$manifest" ]; then cat "$manifest"; fi
    for dest in "${entries[@]}"; do
      echo "f $dest"
      dir=$(dirname "$dest")
      while [ ! -d "$dir" ]; do
        echo "d $dir"
        dir=$(dirname "$dir")
      done
    done
    echo "f $manifest"
  )

  while read -r rel; do
    dest=$(cs_destination "$rel")
    mkdir -p -- "$(dirname "$dest")"
    if [ "$dest" = "$autostart" ]; then
      cs_place "$tree/$rel" "$rel" "$dest" "$turned_off"
    else
      cs_place "$tree/$rel" "$rel" "$dest" ''
    fi
  done <<< "$rels"
  if [ -n "$cursello" ]; then install -m 0644 -- "$cursello" "$program_dir/Cursello.exe"; fi
  sort -u <<< "$listed" > "$manifest"

  # systemctl where a user manager runs (it also reloads); else the link it would make, which the manager reads
  # when it starts.
  if [ -z "$masked" ]; then
    if cs_user_manager_runs && systemctl --user enable "$cs_unit" > /dev/null 2>&1; then
      manager=yes
    else
      mkdir -p -- "$(dirname "$unit_link")"
      ln -sfn -- "$unit_path" "$unit_link"
    fi
  fi

  echo
  if [ -n "$turned_off" ]; then
    echo "Installed $program_dir/CurselloLinuxLauncher."
    echo "The start at login stays turned off, as you set it in $autostart."
  else
    echo "Installed $program_dir/CurselloLinuxLauncher; it starts at your next login."
  fi
  if [ "$masked" = none ]; then
    :
  elif [ -n "$masked" ]; then
    echo "The user unit stays masked, as you set it ($unit_mask); Game Mode does not start the launcher."
  elif [ -n "$manager" ]; then
    echo "Enabled the user unit $unit_path: Game Mode ($cs_unit_wanted_by) starts the launcher."
  else
    echo "Enabled the user unit $unit_path ($unit_link): Game Mode ($cs_unit_wanted_by) starts the launcher."
  fi
  if [ ! -e "$program_dir/Cursello.exe" ]; then
    echo "Put Cursello.exe in $program_dir/, beside the launcher, so that it can be started for your games."
  fi
}

# Removes what the install wrote, as its manifest lists it; files the user added, and their directories, stay.
cs_uninstall() {
  cs_user_paths
  if [ ! -f "$manifest" ]; then
    echo "Nothing to remove: no install manifest at $manifest"
    return
  fi
  local listed kind path manager=''
  listed=$(cat "$manifest")
  if cs_user_manager_runs; then
    manager=yes
    systemctl --user disable "$cs_unit" > /dev/null 2>&1 || true
  fi
  while read -r kind path; do
    if [ "$kind" = f ]; then rm -f -- "$path"; fi
  done <<< "$listed"
  # Deepest first, so that a directory is empty when its turn comes; one holding the user's own files stays. sed,
  # not grep: a manifest without directories (all of them were there before the install) is no failure.
  sed -n '/^d /p' <<< "$listed" | sort -r | while read -r kind path; do
    rmdir -- "$path" 2>/dev/null || echo "Kept $path: it holds files that were not installed here"
  done
  if [ -n "$manager" ]; then systemctl --user daemon-reload > /dev/null 2>&1 || true; fi
  echo "Removed CurselloLinuxLauncher from $prefix"
}
