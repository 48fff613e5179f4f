#!/usr/bin/env bash
# Cross-builds the Windows programs' dependencies from Debian's own source packages
# (`apt-get source`) into one static prefix, build/win-deps/root. Each package is built once:
# a stamp named after its source version (and the versions it is built against) skips it on
# the next run, so a rerun takes seconds and a new Debian version is rebuilt by itself.
#   usage: win-deps.sh BUILD_DIR      (BUILD_DIR is the project's build/ folder)
set -euo pipefail

build=$(realpath -m "$1")
deps=$build/win-deps
root=$deps/root
src=$deps/src
triple=i686-w64-mingw32
toolchain=$(realpath "$(dirname "$0")/../../cmake/toolchains/mingw-w64-i686.cmake")
jobs=${QUILLMARK_JOBS:-2}
mkdir -p "$root" "$src" "$deps/stamps"
export QUILLMARK_WIN_DEPS=$root

# The versions of a source package that the machine's deb-src entries offer, newest first.
source_versions() {
  apt-cache showsrc --only-source "$1" 2>/dev/null | awk '/^Version:/ { print $2 }' | sort -u |
    while read -r v; do echo "$v"; done | {
      # Insertion sort by dpkg's ordering (a handful of versions at most).
      sorted=()
      while read -r v; do
        i=${#sorted[@]}
        while [ "$i" -gt 0 ] && dpkg --compare-versions "$v" gt "${sorted[$((i - 1))]}"; do
          sorted[$i]=${sorted[$((i - 1))]}; i=$((i - 1))
        done
        sorted[$i]=$v
      done
      printf '%s\n' "${sorted[@]}"
    }
}

# fetch PACKAGE: unpacks the newest version that can be downloaded under src/ (Debian's
# patches applied) and prints "VERSION FOLDER". An index may name a version a mirror no
# longer serves; the next older one is taken then.
fetch() {
  local pkg=$1 v dir tmp unpacked
  for v in $(source_versions "$pkg"); do
    dir=$src/$pkg-$v
    if [ ! -d "$dir" ]; then
      tmp=$src/.fetch-$pkg
      rm -rf "$tmp" && mkdir -p "$tmp"
      if ! (cd "$tmp" && apt-get source -qq --only-source "$pkg=$v" >/dev/null 2>"$tmp.log"); then
        # A mirror may serve the upstream tarball but not Debian's changes to it: build
        # that, as the upstream release.
        local orig sum
        orig=$(find "$tmp" -maxdepth 1 -name "*.orig.tar.*" | head -n 1)
        # Only a tarball whose SHA-256 the .dsc lists, so never a partial download.
        [ -n "$orig" ] && sum=$(sha256sum "$orig" | cut -d' ' -f1) &&
          grep -qs " $sum [0-9]* $(basename "$orig")\$" "$tmp"/*.dsc || orig=""
        if [ -z "$orig" ]; then
          echo "win-deps: $pkg $v could not be fetched, trying an older version" >&2
          rm -rf "$tmp" "$tmp.log"
          continue
        fi
        echo "win-deps: $pkg $v: only the upstream source could be fetched; building it" >&2
        mkdir -p "$tmp/upstream" && tar -xf "$orig" -C "$tmp/upstream"
        mv "$(find "$tmp/upstream" -mindepth 1 -maxdepth 1 -type d | head -n 1)" "$dir"
        rm -rf "$tmp" "$tmp.log"
        echo "$v $dir"
        return 0
      fi
      unpacked=$(find "$tmp" -mindepth 1 -maxdepth 1 -type d | head -n 1)
      mv "$unpacked" "$dir"
      rm -rf "$tmp" "$tmp.log"
    fi
    echo "$v $dir"
    return 0
  done
  echo "win-deps: no source of $pkg could be fetched (is there a deb-src entry? see scripts/lib/deb-src.sh)" >&2
  return 1
}

# step NAME KEY COMMAND...: runs COMMAND once per KEY, its output in a log that is shown on
# failure.
step() {
  local name=$1 key=$2; shift 2
  local stamp=$deps/stamps/$name
  [ -n "$key" ] || { echo "win-deps: no source for $name" >&2; exit 1; }
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$key" ]; then return 0; fi
  local start=$SECONDS log=$deps/$name.log
  echo "win-deps: building $name ($key)"
  if ! "$@" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "win-deps: building $name failed; the whole log is $log" >&2
    exit 1
  fi
  echo "$key" >"$stamp"
  echo "win-deps: $name built in $((SECONDS - start)) s"
}

# cmake_package NAME SOURCE_DIR CMAKE_ARGS...: configure, build and install into the prefix.
cmake_package() {
  local obj=$deps/obj/$1 dir=$2; shift 2
  rm -rf "$obj"
  cmake -S "$dir" -B "$obj" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$root" \
    -DBUILD_SHARED_LIBS=OFF "$@"
  cmake --build "$obj" -j "$jobs"
  cmake --install "$obj"
}

build_openssl() {
  local dir=$1
  cd "$dir"
  [ -f Makefile ] && make clean >/dev/null 2>&1 || true
  ./Configure mingw no-shared no-asm no-tests \
    --cross-compile-prefix=$triple- --prefix="$root" --libdir=lib \
    --openssldir="$root/ssl"
  make -j "$jobs" build_libs
  make install_dev
}

build_inih() {
  # Debian builds inih with meson; the library is one C file, built here as the static
  # library that inih.pc describes.
  local dir=$1
  mkdir -p "$root/include" "$root/lib/pkgconfig"
  # The object goes to the build folder: the stand-in's source folder is the project's.
  mkdir -p "$deps/obj/inih"
  $triple-gcc-posix -O2 -c "$dir/ini.c" -o "$deps/obj/inih/ini.o"
  rm -f "$root/lib/libinih.a"
  $triple-ar rcs "$root/lib/libinih.a" "$deps/obj/inih/ini.o"
  cp "$dir/ini.h" "$root/include/"
  printf '%s\n' "prefix=$root" 'Name: inih' 'Description: INI file parser' \
    "Version: ${2%%-*}" "Libs: -L$root/lib -linih" "Cflags: -I$root/include" \
    >"$root/lib/pkgconfig/inih.pc"
}

build_sqlite() {
  # SQLite is compiled as its amalgamation, one C file, which its build generates with the
  # build machine's compiler and tclsh; the library is that file, built here as the static
  # library sqlite3.pc describes.
  local dir=$1 obj=$deps/obj/sqlite3
  rm -rf "$obj" && mkdir -p "$obj" "$root/include" "$root/lib/pkgconfig"
  (cd "$obj" && "$dir/configure" --host=$triple --disable-tcl --disable-readline \
    --disable-shared --enable-static &&
    make -j "$jobs" CROSS_BUILDING=yes BCC=gcc BEXE= sqlite3.c)
  $triple-gcc-posix -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_ENABLE_COLUMN_METADATA \
    -c "$obj/sqlite3.c" -o "$obj/sqlite3.o"
  rm -f "$root/lib/libsqlite3.a"
  $triple-ar rcs "$root/lib/libsqlite3.a" "$obj/sqlite3.o"
  cp "$obj/sqlite3.h" "$obj/sqlite3ext.h" "$root/include/"
  printf '%s\n' "prefix=$root" 'Name: SQLite' 'Description: SQL database engine' \
    "Version: ${2%%-*}" "Libs: -L$root/lib -lsqlite3" "Cflags: -I$root/include" \
    >"$root/lib/pkgconfig/sqlite3.pc"
}

read -r v_openssl d < <(fetch openssl)
step openssl "$v_openssl" build_openssl "$d"

read -r v_curl d < <(fetch curl)
# libcurl over OpenSSL (not Schannel), HTTP(S) only, as the Linux build uses it.
step curl "$v_curl+openssl$v_openssl" cmake_package curl "$d" \
  -DCURL_USE_OPENSSL=ON -DCURL_USE_SCHANNEL=OFF -DOPENSSL_ROOT_DIR="$root" \
  -DHTTP_ONLY=ON -DCURL_DISABLE_LDAP=ON -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF \
  -DCURL_USE_LIBSSH2=OFF -DUSE_LIBIDN2=OFF -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF \
  -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF -DCURL_USE_LIBPSL=OFF -DENABLE_MANUAL=OFF

read -r v d < <(fetch qrencode)
step qrencode "$v" cmake_package qrencode "$d" -DWITH_TOOLS=OFF -DWITHOUT_PNG=ON

read -r v d < <(fetch pugixml)
step pugixml "$v" cmake_package pugixml "$d" -DPUGIXML_BUILD_TESTS=OFF

# inih is one C file. Where the mirror serves no source of it, the reader of the same
# interface and defaults in scripts/lib/inih/ stands in.
if read -r v d < <(fetch libinih); then
  step inih "$v" build_inih "$d" "$v"
else
  here=$(cd "$(dirname "$0")" && pwd)
  step inih "quillmark-$(cat "$here/inih/ini.c" "$here/inih/ini.h" | md5sum | cut -c1-12)" \
    build_inih "$here/inih" 55
fi

read -r v d < <(fetch cli11)
step cli11 "$v" cmake_package cli11 "$d" -DCLI11_BUILD_TESTS=OFF -DCLI11_BUILD_EXAMPLES=OFF \
  -DCLI11_BUILD_DOCS=OFF -DCLI11_PRECOMPILED=OFF

read -r v d < <(fetch sqlite3)
step sqlite3 "$v" build_sqlite "$d" "$v"

# Boost is header-only here (Beast and Asio, for the sandbox and the clients' notification
# listener): Debian's headers are the same on every system, and the cross build sees them
# alone, not the rest of the build machine's /usr/include.
v=$(dpkg-query -W -f='${Version}' libboost-dev)
step boost-headers "$v" ln -sfn /usr/include/boost "$root/include/boost"

# nlohmann's JSON (the sandbox's console) is header-only too. Its CMake package finds its
# headers relative to itself: copied into the prefix, it names the prefix's, which are
# Debian's through a link, and nothing else of /usr/include.
json_headers() {
  ln -sfn /usr/include/nlohmann "$root/include/nlohmann"
  rm -rf "$root/share/cmake/nlohmann_json"
  mkdir -p "$root/share/cmake"
  cp -r /usr/share/cmake/nlohmann_json "$root/share/cmake/"
}
v=$(dpkg-query -W -f='${Version}' nlohmann-json3-dev)
step nlohmann-json "$v" json_headers

# GoogleTest's sources come with Debian's libgtest-dev.
v=$(dpkg-query -W -f='${Version}' libgtest-dev)
step googletest "$v" cmake_package googletest /usr/src/googletest \
  -Dgtest_disable_pthreads=OFF -DINSTALL_GTEST=ON -DBUILD_GMOCK=OFF
