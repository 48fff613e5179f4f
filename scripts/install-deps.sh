#!/usr/bin/env bash
# Installs the Debian 12 packages Quillmark needs to build, test and run, and only those
# that are missing, so a second run costs a second. Needs root (or sudo) only when
# something is missing.
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ pkg-config git dpkg-dev file
  # payment core and QR writer
  libcurl4-openssl-dev libssl-dev openssl libqrencode-dev libinih-dev libcli11-dev
  # sandbox: Beast and Asio (header-only Boost), pugixml
  libboost-dev libpugixml-dev
  # desktop program: Qt 6 Widgets, a Song-style CJK font, a virtual display for screenshots
  qt6-base-dev fonts-arphic-uming xvfb xauth x11-apps imagemagick xdotool
  # tests: GoogleTest, cpp-httplib (stand-in servers and clients), a real QR reader, the
  # Windows resource compiler, valgrind, curl
  libgtest-dev libcpp-httplib-dev zbar-tools binutils-mingw-w64-i686 valgrind curl
  # the payer page in a real browser: headless Chromium driven by Selenium
  chromium chromium-driver python3-selenium
  # fuzzing and benchmarks
  clang libclang-rt-14-dev qrencode wrk
  # the 32-bit Windows programs: mingw-w64 with posix threads, Wine to run and test them
  # (wine32 is an i386 package), nsis for the installer
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix wine wine32:i386 nsis
)

# wine32 comes from the i386 architecture, which a fresh amd64 machine does not have yet.
need_update=""
if [ "$(dpkg --print-architecture)" != i386 ] &&
   ! dpkg --print-foreign-architectures | grep -qx i386; then
  [ "$(id -u)" -eq 0 ] && dpkg --add-architecture i386 || sudo dpkg --add-architecture i386
  need_update=yes
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && [ -z "$need_update" ] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
[ ${#missing[@]} -eq 0 ] && exit 0
log=$(mktemp)
if ! $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi
rm -f "$log"
