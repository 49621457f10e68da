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

# Fails, saying why, for a path that the manifest, one path a line, could not list as it is: a newline would split
# it into lines of other paths for the uninstall to remove. Every other control character goes too, as the desktop
# entries that name the program allow none.
cs_listable() {  # PATH WHAT
  if [[ $1 == *[[:cntrl:]]* ]]; then
    printf 'Cannot install for this user: %s holds a control character such as a newline: %q\n' "$2" "$1" >&2
    return 1
  fi
}

# Sets the per-user paths from HOME and the XDG variables (one counts only when it holds an absolute path); fails
# for paths the manifest could not list, before anything is read or written.
cs_user_paths() {
  if [[ ${HOME:-} != /* ]]; then
    echo "Cannot install for this user: HOME is not an absolute path: '${HOME:-}'" >&2
    return 1
  fi
  prefix=$HOME/.local
  program_dir=$prefix/lib/CurselloLinuxLauncher
  manifest=$program_dir/install-manifest.txt
  data_home=${XDG_DATA_HOME:-}
  if [[ $data_home != /* ]]; then data_home=$HOME/.local/share; fi
  config_home=${XDG_CONFIG_HOME:-}
  if [[ $config_home != /* ]]; then config_home=$HOME/.config; fi
  unit_path=$data_home/systemd/user/$cs_unit
  # Where `systemctl --user enable` links the unit, and where `systemctl --user mask` puts its /dev/null.
  unit_link=$config_home/systemd/user/$cs_unit_wanted_by.wants/$cs_unit
  unit_mask=$config_home/systemd/user/$cs_unit
  cs_listable "$HOME" HOME && cs_listable "$data_home" XDG_DATA_HOME && cs_listable "$config_home" XDG_CONFIG_HOME
}

# Prints the lines of the manifest, if there is one; fails, naming the line, when it holds one that no install
# writes. An install writes "f PATH" for a file it placed (in the program directory, or one of the launcher's names)
# and "d PATH" for a directory it made for one of those files, PATH absolute, and renames a regular file into place.
# Anything else (a line split off by a newline in an older install's paths, one added by hand) could make the
# uninstall remove another file.
cs_manifest_lines() {
  local lines line file files=()
  if [ -L "$manifest" ]; then
    echo "The install manifest $manifest is a symbolic link, which no install writes; nothing was changed." >&2
    return 1
  fi
  if [ ! -f "$manifest" ]; then return; fi
  lines=$(cat -- "$manifest")
  # The files first: a directory line counts when one of them lies in it.
  while IFS= read -r line; do
    if [[ $line == 'f /'* ]] && cs_installed_file "${line#f }"; then files+=("${line#f }"); fi
  done <<< "$lines"
  while IFS= read -r line; do
    case $line in
      '') continue ;;
      'f /'*) if cs_installed_file "${line#f }"; then continue; fi ;;
      'd /'*)
        for file in "${files[@]}"; do
          if [[ $file == "${line#d }"/* ]]; then continue 2; fi
        done ;;
    esac
    printf 'The install manifest %s holds a line that no install writes; nothing was changed. The line: %q\n' \
      "$manifest" "$line" >&2
    return 1
  done <<< "$lines"
  echo "$lines"
}

# Whether an install may have written the file at PATH: one in the program directory, or one of the launcher's names.
cs_installed_file() {
  [[ $1 == "$program_dir"/* || ${1##*/} == Cursello* || $1 == */CurselloLinuxLauncher/install-manifest.txt ]]
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

# Writes its input to DEST with MODE through a new file beside it, made by mktemp and renamed over DEST: nothing is
# written through a link planted at DEST or at any fixed name beside it, a link at DEST is replaced rather than
# followed, and a running launcher keeps its own executable.
cs_write() {  # DEST MODE
  local dest=$1 temporary
  temporary=$(mktemp -- "${dest%/*}/.${dest##*/}.XXXXXX") || return 1
  if cat > "$temporary" && chmod "$2" -- "$temporary" && mv -f -T -- "$temporary" "$dest"; then return; fi
  rm -f -- "$temporary"
  return 1
}

# Copies the file SOURCE (from the package tree, at REL) to DEST: desktop entries and the unit rewritten to name the
# installed program; for the autostart entry, TURNED_OFF holds the lines with which the user turned it off, kept.
cs_place() {
  local source=$1 rel=$2 dest=$3 turned_off=$4 line mode=0644 program=$program_dir/CurselloLinuxLauncher
  if [ -L "$source" ]; then
    # symlink(2) follows nothing at DEST; ln -f replaces what is there, -T a link to a directory too, and fails on
    # a directory rather than linking inside it.
    ln -sfT -- "$(readlink "$source")" "$dest"
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
      } | cs_write "$dest" 0644 ;;
    *)
      if [ -x "$source" ]; then mode=0755; fi
      cs_write "$dest" "$mode" < "$source" ;;
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
  cs_user_paths || return 1
  local earlier rels rel dest dir entries=() autostart='' turned_off='' masked='' manager=''
  earlier=$(cs_manifest_lines) || return 1
  rels=$(cd "$tree" && find . -type f -o -type l | sed 's|^\./||' | sort)
  while read -r rel; do
    dest=$(cs_destination "$rel") || return 1
    cs_listable "$dest" "the place of $rel" || return 1
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
    if [ -n "$earlier" ]; then echo "$earlier"; fi
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
  if [ -n "$cursello" ]; then cs_write "$program_dir/Cursello.exe" 0644 < "$cursello"; fi
  sort -u <<< "$listed" | cs_write "$manifest" 0644

  # systemctl where a user manager runs (it also reloads); else the link it would make, which the manager reads
  # when it starts.
  if [ -z "$masked" ]; then
    if cs_user_manager_runs && systemctl --user enable "$cs_unit" > /dev/null 2>&1; then
      manager=yes
    else
      mkdir -p -- "$(dirname "$unit_link")"
      ln -sfT -- "$unit_path" "$unit_link"
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
# Nothing is removed when the manifest holds a line that no install writes.
cs_uninstall() {
  cs_user_paths || return 1
  if [ ! -f "$manifest" ] && [ ! -L "$manifest" ]; then
    echo "Nothing to remove: no install manifest at $manifest"
    return
  fi
  local listed line path manager=''
  listed=$(cs_manifest_lines) || return 1
  if cs_user_manager_runs; then
    manager=yes
    systemctl --user disable "$cs_unit" > /dev/null 2>&1 || true
  fi
  # Whole lines: a path is all that follows "f " or "d ", spaces at its ends included.
  while IFS= read -r line; do
    if [[ $line == 'f '* ]]; then rm -f -- "${line#f }"; fi
  done <<< "$listed"
  # Deepest first, so that a directory is empty when its turn comes; one holding the user's own files stays. sed,
  # not grep: a manifest without directories (all of them were there before the install) is no failure.
  sed -n '/^d /p' <<< "$listed" | sort -r | while IFS= read -r line; do
    path=${line#d }
    rmdir -- "$path" 2>/dev/null || echo "Kept $path: it holds files that were not installed here"
  done
  if [ -n "$manager" ]; then systemctl --user daemon-reload > /dev/null 2>&1 || true; fi
  echo "Removed CurselloLinuxLauncher from $prefix"
}
