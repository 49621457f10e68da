# What the scripts need from the system, and each family's package names for it. The scripts ask for needs (the
# keys below); ensure_packages in common.sh turns them into the names of this system's family.
#
# A table maps a need to one or more package names (space-separated). An empty name means the family has no
# package for it and nothing is installed: what uses it is skipped with a message. A need missing from a table is
# unknown there, and the script stops, saying what to install. docs/development.md lists these tables: change both.

# The launcher's build, with the MinGW compiler for the window watcher that goes beside it.
BUILD_PACKAGES=(compiler cmake make pkg-config gtk3 appindicator xcb mingw)
# ./scripts/test: the test build (the tests and the benchmark draw with Xlib), the services the tests start, the
# package checks, and Wine for the Windows programs of the end-to-end test with real Wine; debootstrap makes the
# Debian 13 root whose wine 10 runs games on Wine's Wayland driver (scripts/lib/wine_root.sh).
TEST_PACKAGES=(x11 gtest xvfb openbox dbus gdbus weston xauth desktop-file-utils file man groff
  deb-tools lintian arch-tools rpm-tools rpmlint bubblewrap wine systemd-analyze debootstrap)
# The simulation that ./scripts/run plays without a display.
SIMULATION_PACKAGES=(x11 gtest xvfb openbox dbus gdbus)
# ./scripts/package: the tools of every package it builds.
PACKAGE_PACKAGES=(deb-tools file arch-tools rpm-tools)
# ./scripts/fuzz: clang and its libFuzzer runtime; the targets link GCC's C++ library.
FUZZ_PACKAGES=(clang fuzzer-runtime compiler cmake make)
# ./scripts/screenshots: a panel with a status tray, a notification daemon, the tools that drive and capture, and
# bubblewrap, which gives the scene a /home of its own.
SCREENSHOT_PACKAGES=(xfce-panel xfce-notifyd xdotool imagemagick bubblewrap)

declare -A DEBIAN_PACKAGES=(
  [compiler]=g++ [cmake]=cmake [make]=make [pkg-config]=pkg-config [gtk3]=libgtk-3-dev
  [appindicator]=libayatana-appindicator3-dev [x11]=libx11-dev [xcb]="libxcb1-dev libxcb-res0-dev"
  [gtest]=libgtest-dev [xvfb]=xvfb [openbox]=openbox [dbus]="dbus dbus-daemon" [gdbus]=libglib2.0-bin
  [weston]=weston [xauth]=xauth [desktop-file-utils]=desktop-file-utils [file]=file [man]=man-db
  [groff]=groff-base [deb-tools]=dpkg-dev [lintian]=lintian
  [arch-tools]="makepkg pacman-package-manager libarchive-tools fakeroot" [rpm-tools]=rpm [rpmlint]=rpmlint
  [clang]=clang [fuzzer-runtime]=libclang-rt-dev
  [xfce-panel]=xfce4-panel [xfce-notifyd]=xfce4-notifyd [xdotool]=xdotool [imagemagick]=imagemagick
  [bubblewrap]=bubblewrap [wine]=wine64 [mingw]=gcc-mingw-w64-x86-64 [systemd-analyze]=systemd
  [debootstrap]="debootstrap debian-archive-keyring"
)

declare -A ARCH_PACKAGES=(
  [compiler]=gcc [cmake]=cmake [make]=make [pkg-config]=pkgconf [gtk3]=gtk3
  [appindicator]=libayatana-appindicator [x11]=libx11 [xcb]=libxcb
  [gtest]=gtest [xvfb]=xorg-server-xvfb [openbox]=openbox [dbus]=dbus [gdbus]=glib2
  [weston]=weston [xauth]=xorg-xauth [desktop-file-utils]=desktop-file-utils [file]=file [man]=man-db
  [groff]=groff [deb-tools]= [lintian]=
  [arch-tools]="pacman fakeroot" [rpm-tools]=rpm-tools [rpmlint]=rpmlint
  [clang]=clang [fuzzer-runtime]=compiler-rt
  [xfce-panel]=xfce4-panel [xfce-notifyd]=xfce4-notifyd [xdotool]=xdotool [imagemagick]=imagemagick
  [bubblewrap]=bubblewrap [wine]=wine [mingw]=mingw-w64-gcc [systemd-analyze]=systemd
  [debootstrap]="debootstrap debian-archive-keyring"
)

declare -A FEDORA_PACKAGES=(
  [compiler]=gcc-c++ [cmake]=cmake [make]=make [pkg-config]=pkgconf-pkg-config [gtk3]=gtk3-devel
  [appindicator]=libayatana-appindicator-gtk3-devel [x11]=libX11-devel [xcb]=libxcb-devel
  [gtest]=gtest-devel [xvfb]=xorg-x11-server-Xvfb [openbox]=openbox [dbus]=dbus-daemon [gdbus]=glib2
  [weston]=weston [xauth]=xorg-x11-xauth [desktop-file-utils]=desktop-file-utils [file]=file [man]=man-db
  [groff]=groff-base [deb-tools]= [lintian]=
  [arch-tools]= [rpm-tools]=rpm-build [rpmlint]=rpmlint
  [clang]=clang [fuzzer-runtime]=compiler-rt
  [xfce-panel]=xfce4-panel [xfce-notifyd]=xfce4-notifyd [xdotool]=xdotool [imagemagick]=ImageMagick
  [bubblewrap]=bubblewrap [wine]=wine-core [mingw]=mingw64-gcc [systemd-analyze]=systemd
  [debootstrap]=debootstrap
)

declare -A OPENSUSE_PACKAGES=(
  [compiler]=gcc-c++ [cmake]=cmake [make]=make [pkg-config]=pkg-config [gtk3]=gtk3-devel
  [appindicator]=libayatana-appindicator3-devel [x11]=libX11-devel [xcb]=libxcb-devel
  [gtest]=googletest-devel [xvfb]=xorg-x11-server-Xvfb [openbox]=openbox [dbus]=dbus-1 [gdbus]=glib2-tools
  [weston]=weston [xauth]=xauth [desktop-file-utils]=desktop-file-utils [file]=file [man]=man
  [groff]=groff [deb-tools]= [lintian]=
  [arch-tools]= [rpm-tools]=rpm-build [rpmlint]=rpmlint
  [clang]=clang [fuzzer-runtime]=compiler-rt
  [xfce-panel]=xfce4-panel [xfce-notifyd]=xfce4-notifyd [xdotool]=xdotool [imagemagick]=ImageMagick
  [bubblewrap]=bubblewrap [wine]=wine [mingw]=mingw64-cross-gcc [systemd-analyze]=systemd
  [debootstrap]=debootstrap
)
