#!/usr/bin/env bash
# Installs the Debian 12 packages that one purpose needs, and only those that are missing,
# so a second run costs a second. Needs root (or sudo) only when something is missing.
#
#   scripts/install-deps.sh PURPOSE...
#     demo         build one cycle against the local sandbox and read its bitmap back
#     gui          demo, and the desktop program (Qt 6 Widgets and a Song-style CJK font)
#     windows      demo, and the Windows programs: mingw-w64 for i686 and x86_64, nsis, and
#                  wine64; wine32 too, with the i386 architecture it needs, only where the
#                  kernel runs 32-bit code (elsewhere nothing of i386 is added or listed)
#     screenshots  gui, and a virtual display driven by xdotool
#     bench        demo, and wrk, the qrencode tool the benchmarks compare with, and sqlite3
#     fuzz         demo, and clang with its libFuzzer runtime
#     test         everything the test command runs: all of the above, and the test tools
#
# A package list that fails to download is not fatal: apt's own line is shown and the install
# goes on with the lists that did download. An install that fails is tried once more with the
# release's main suite as the target release, which sets right what a half-updated mirror
# puts out of step (amd64 libraries from the security suite, their i386 twins that wine32
# needs only at the main suite's version).
set -euo pipefail

usage() {
  sed -n '5,13p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}
[ $# -gt 0 ] || usage

# Each purpose's own packages; a purpose also gets those of the purposes it names.
demo=(
  # build
  cmake ninja-build g++ pkg-config
  # payment core and QR writer
  libcurl4-openssl-dev libssl-dev openssl libqrencode-dev libcli11-dev
  # sandbox: Beast and Asio (header-only Boost), pugixml, SQLite for its state file,
  # nlohmann's JSON (header-only) for its console, and zlib for the bills' gzip (the runner
  # reads them with it too)
  libboost-dev libpugixml-dev libsqlite3-dev nlohmann-json3-dev zlib1g-dev
  # reading the bitmap back: a white border (the bitmap has no quiet zone), a QR reader
  imagemagick zbar-tools
)
gui=(qt6-base-dev fonts-arphic-uming)
# dpkg-dev unpacks the Debian sources the libraries are cross-built from (apt-get source);
# SQLite's build generates its one C file with tclsh.
windows=(
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  dpkg-dev tcl wine wine64 nsis
)
# Only where the kernel runs 32-bit x86 code: there the shipped i686 build is tested.
windows32=(wine32:i386)
screenshots=(xvfb xauth x11-apps xdotool)
bench=(qrencode wrk sqlite3)
fuzz=(clang libclang-rt-14-dev)
test=(
  git file curl
  # tests: GoogleTest, cpp-httplib (stand-in servers and clients), valgrind
  libgtest-dev libcpp-httplib-dev valgrind
  # the payer page and the console in a real browser: headless Chromium driven by Selenium,
  # and made to trust a CA of the test's own (certutil)
  chromium chromium-driver python3-selenium libnss3-tools
  # the LAN mode and the console off loopback, between network namespaces of the tests' own;
  # a zh_CN locale of the Windows test's own (localedef)
  iproute2 locales
)

packages=()
need_i386=""
. "$(dirname "$0")/lib/ia32.sh"
with_wine32() {
  if [ "$(dpkg --print-architecture)" = amd64 ] && kernel_runs_32bit; then
    packages+=("${windows32[@]}")
    need_i386=yes
  fi
}
for purpose in "$@"; do
  case "$purpose" in
    demo) packages+=("${demo[@]}") ;;
    gui) packages+=("${demo[@]}" "${gui[@]}") ;;
    windows) packages+=("${demo[@]}" "${windows[@]}"); with_wine32 ;;
    screenshots) packages+=("${demo[@]}" "${gui[@]}" "${screenshots[@]}") ;;
    bench) packages+=("${demo[@]}" "${bench[@]}") ;;
    fuzz) packages+=("${demo[@]}" "${fuzz[@]}") ;;
    test)
      packages+=("${demo[@]}" "${gui[@]}" "${windows[@]}" "${screenshots[@]}" "${bench[@]}"
        "${fuzz[@]}" "${test[@]}")
      with_wine32 ;;
    *) echo "install-deps.sh: unknown purpose '$purpose'" >&2; usage ;;
  esac
done

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
. "$(dirname "$0")/lib/apt.sh"

# wine32 comes from the i386 architecture, which a fresh amd64 machine does not have yet;
# it is added only where wine32 can run (with_wine32 above).
need_update=""
if [ -n "$need_i386" ] && [ "$(dpkg --print-architecture)" != i386 ] &&
   ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
  need_update=yes
fi

missing=()
for p in $(printf '%s\n' "${packages[@]}" | awk '!seen[$0]++'); do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && [ -z "$need_update" ] && exit 0

echo "Installing missing packages: ${missing[*]}"
apt_update
[ ${#missing[@]} -eq 0 ] && exit 0
apt_install "${missing[@]}"
