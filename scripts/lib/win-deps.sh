#!/usr/bin/env bash
# Cross-builds the Windows programs' dependencies from Debian's own source packages
# (`apt-get source`) into one static prefix per target, kept once per machine and user
# outside any checkout, so that every clone (CI's fresh one too) reuses it:
#   ${QUILLMARK_WIN_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quillmark/win-deps}/TRIPLE/
# holding root/ (the prefix the toolchain files read), stamps/, obj/ and the build logs; the
# unpacked sources, the same for both targets, are in src/ beside the targets' folders.
# Each library is built once: its stamp holds a key made of its source version, the
# toolchain's version and the recipe (the commands and flags that build it). The stamp is
# written only once its install has finished, so an interrupted build is redone, never
# used half-made; a new Debian version, toolchain or flag rebuilds what it touches.
#   usage: win-deps.sh TRIPLE      (i686-w64-mingw32 or x86_64-w64-mingw32)
# Prints the prefix's path last. Two builds on one machine take turns (a lock per target).
set -euo pipefail

triple=${1:?usage: win-deps.sh TRIPLE}
case $triple in
  i686-w64-mingw32) arch=i686 debarch=i686 openssl_target=mingw ;;
  x86_64-w64-mingw32) arch=x86_64 debarch=x86-64 openssl_target=mingw64 ;;
  *) echo "win-deps: unknown target '$triple' (i686-w64-mingw32 or x86_64-w64-mingw32)" >&2; exit 2 ;;
esac
cache=${QUILLMARK_WIN_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quillmark/win-deps}
deps=$cache/$triple
root=$deps/root
src=$cache/src
here=$(cd "$(dirname "$0")" && pwd)
toolchain=$(realpath "$here/../../cmake/toolchains/mingw-w64-$arch.cmake")
jobs=${QUILLMARK_JOBS:-2}
mkdir -p "$root" "$src" "$deps/stamps"
export QUILLMARK_WIN_DEPS=$root

# One build at a time per machine and user: the sources are shared by both targets.
exec 8>"$cache/.lock"
if ! flock -n 8; then
  echo "win-deps: another build is using $cache; waiting for it" >&2
  flock 8
fi

# What a library's build depends on besides its source: the cross compiler and binutils,
# the MinGW runtime its headers and import libraries come from, and the toolchain files.
toolchain_id="$($triple-gcc-posix -dumpfullversion) $(dpkg-query -W -f='${Package}=${Version} ' \
  "g++-mingw-w64-$debarch-posix" "binutils-mingw-w64-$debarch" "mingw-w64-$debarch-dev" 2>/dev/null)
$(cat "$toolchain" "$(dirname "$toolchain")/mingw-w64-common.cmake" | sha256sum)"
built=0
cached=0

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

# step NAME VERSION COMMAND...: runs COMMAND once per key (VERSION, the toolchain, and
# COMMAND with its arguments and, where it is a function here, its body), its output in a
# log that is shown on failure.
step() {
  local name=$1 version=$2; shift 2
  local stamp=$deps/stamps/$name key
  [ -n "$version" ] || { echo "win-deps: no source for $name" >&2; exit 1; }
  key="$version $(printf '%s\n' "$toolchain_id" "$*" "$(declare -f "$1" || true)" | sha256sum | cut -c1-16)"
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$key" ]; then
    cached=$((cached + 1))
    return 0
  fi
  rm -f "$stamp"
  local start=$SECONDS log=$deps/$name.log
  echo "win-deps: $triple: building $name ($version)" >&2
  # In a subshell: a recipe may change folders.
  if ! ("$@") >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "win-deps: building $name failed; the whole log is $log" >&2
    exit 1
  fi
  echo "$key" >"$stamp.new" && mv "$stamp.new" "$stamp"
  built=$((built + 1))
  echo "win-deps: $triple: $name built in $((SECONDS - start)) s" >&2
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
  # Built outside its source, which both targets share.
  local dir=$1 obj=$deps/obj/openssl
  rm -rf "$obj" && mkdir -p "$obj" && cd "$obj"
  "$dir/Configure" "$openssl_target" no-shared no-asm no-tests \
    --cross-compile-prefix=$triple- --prefix="$root" --libdir=lib \
    --openssldir="$root/ssl"
  make -j "$jobs" build_libs
  make install_dev
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

build_zlib() {
  # The library's sources compiled as they are (Debian's source has no makefile for MinGW),
  # built outside the source, which both targets share: the static libz.a that FindZLIB
  # takes, and its two headers. Each command answers for itself: step runs a recipe as an
  # if's condition, where errexit does not hold.
  local dir=$1 obj=$deps/obj/zlib part
  rm -rf "$obj" && mkdir -p "$obj" "$root/include" "$root/lib" || return 1
  for part in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast \
    inflate inftrees trees uncompr zutil; do
    "$triple-gcc-posix" -O2 -c "$dir/$part.c" -o "$obj/$part.o" || return 1
  done
  "$triple-ar" rcs "$obj/libz.a" "$obj"/*.o &&
    cp "$obj/libz.a" "$root/lib/" &&
    cp "$dir/zlib.h" "$dir/zconf.h" "$root/include/"
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

read -r v d < <(fetch cli11)
step cli11 "$v" cmake_package cli11 "$d" -DCLI11_BUILD_TESTS=OFF -DCLI11_BUILD_EXAMPLES=OFF \
  -DCLI11_BUILD_DOCS=OFF -DCLI11_PRECOMPILED=OFF

# The bills' gzip: written by the sandbox, read by the runner.
read -r v d < <(fetch zlib)
step zlib "$v" build_zlib "$d"

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

echo "win-deps: $triple: $cached libraries from the cache, $built built; the cache is $deps" >&2
echo "$root"
