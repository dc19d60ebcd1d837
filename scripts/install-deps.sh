#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need.
# Idempotent: packages already present are left alone, and apt is not
# touched at all when nothing is missing.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  nlohmann-json3-dev uuid-dev googletest libgtest-dev libgmock-dev libbenchmark-dev
  # X11 through xcb and its extensions
  libxcb1-dev libxcb-xinput-dev libxcb-randr0-dev libxcb-composite0-dev
  libxcb-shm0-dev libxcb-xfixes0-dev libxcb-shape0-dev libxcb-xtest0-dev libxcb-res0-dev
  # GLib/GIO, accessibility, PNG and resampling
  libglib2.0-dev libglib2.0-bin libatspi2.0-dev libdeflate-dev libpixman-1-dev libpng-dev
  # test servers and tools
  xvfb openbox xcompmgr xdotool x11-utils imagemagick procps dbus at-spi2-core
  python3 python3-jsonschema python3-gi gir1.2-gtk-3.0
  # the accessibility backend (libdbus directly) and its GTK test application (ATK)
  libdbus-1-dev gir1.2-atk-1.0
  # the shared MIME database GIO reads file types from (--list-open-with)
  shared-mime-info
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

sudo_prefix=()
if [[ $(id -u) -ne 0 ]]; then
  sudo_prefix=(sudo)
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo_prefix[@]}" apt-get update -qq
"${sudo_prefix[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
