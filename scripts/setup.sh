#!/usr/bin/env bash
# Prepares a fresh Debian 12 machine for building and testing Vantrel and Brenmo:
# installs the Debian packages, then cross-builds OpenSSL, libcurl and libxml2 for
# the two Windows targets from Debian's own source packages into a cache outside
# the repository. Safe to run again: every step checks whether it is already done.
set -euo pipefail

CACHE="${VANTREL_DEPS_CACHE:-$HOME/.cache/vantrel-deps}"
JOBS="${JOBS:-$(nproc)}"
export DEBIAN_FRONTEND=noninteractive

log() { printf '[setup] %s\n' "$*"; }
as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

PACKAGES=(
  build-essential autoconf automake libtool cmake ninja-build ccache python3 openssl dpkg-dev pkg-config zip
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix gcc-mingw-w64-x86-64-posix gcc-mingw-w64-i686-posix
  mingw-w64-tools
  wine wine64 libwine libwine-dev fonts-wine
  libasio-dev libboost-dev libboost-date-time-dev
  libssl-dev libcurl4-openssl-dev libxml2-dev
  googletest libgtest-dev
  xvfb xauth x11-utils imagemagick gnuplot-nox
  clang libclang-rt-14-dev
)

ensure_deb_src() {
  # apt-get source needs deb-src entries: mirror the machine's own deb sources.
  local src=/etc/apt/sources.list.d/debian.sources out=/etc/apt/sources.list.d/vantrel-deb-src.sources
  if [ -f "$out" ]; then return; fi
  if [ -f "$src" ]; then
    sed 's/^Types: deb$/Types: deb-src/' "$src" | as_root tee "$out" >/dev/null
  elif [ -f /etc/apt/sources.list ]; then
    grep -E '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' | as_root tee /etc/apt/sources.list.d/vantrel-deb-src.list >/dev/null
    out=/etc/apt/sources.list.d/vantrel-deb-src.list
  fi
  log "added deb-src entries ($out)"
  rm -f "$CACHE/.apt-updated"
}

install_packages() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ! -f "$CACHE/.apt-updated" ] || [ ${#missing[@]} -gt 0 ]; then
    log "apt-get update"
    as_root apt-get update -qq
    mkdir -p "$CACHE"; touch "$CACHE/.apt-updated"
  fi
  if [ ${#missing[@]} -gt 0 ]; then
    log "installing: ${missing[*]}"
    as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

pkg_version() { apt-cache showsrc "$1" | awk '/^Version:/ {print $2; exit}'; }

fetch_source() { # name -> prints the unpacked source dir
  local name=$1 ver dir
  ver=$(pkg_version "$name")
  dir="$CACHE/src/$name-$ver"
  if [ ! -f "$dir/.unpacked" ]; then
    rm -rf "$dir"; mkdir -p "$dir"
    (cd "$dir" && apt-get source -qq "$name=$ver" >/dev/null 2>&1 || apt-get source -qq "$name" >/dev/null)
    touch "$dir/.unpacked"
  fi
  find "$dir" -mindepth 1 -maxdepth 1 -type d | head -n1
}

build_openssl() { # target prefix
  local host=$1 prefix=$2 srcdir ver work
  ver=$(pkg_version openssl); [ -f "$prefix/.openssl-$ver" ] && return
  srcdir=$(fetch_source openssl); work="$CACHE/work/$host/openssl"
  rm -rf "$work"; mkdir -p "$(dirname "$work")"; cp -a "$srcdir" "$work"
  # the 32-bit assembler modules do not assemble for COFF with this binutils: plain C there
  local cfg=mingw64 asm=; [ "$host" = i686-w64-mingw32 ] && cfg=mingw asm=no-asm
  log "building OpenSSL $ver for $host"
  (cd "$work" && ./Configure $cfg $asm no-shared no-tests no-module --cross-compile-prefix="$host-" \
       --prefix="$prefix" --libdir=lib >/dev/null && make -s -j"$JOBS" build_libs >/dev/null && make -s install_dev >/dev/null)
  rm -rf "$work"; touch "$prefix/.openssl-$ver"
}

build_libxml2() {
  local host=$1 prefix=$2 srcdir ver work
  ver=$(pkg_version libxml2); [ -f "$prefix/.libxml2-$ver-static" ] && return
  srcdir=$(fetch_source libxml2); work="$CACHE/work/$host/libxml2"
  rm -rf "$work"; mkdir -p "$(dirname "$work")"; cp -a "$srcdir" "$work"
  log "building libxml2 $ver for $host"
  # libxml2 ships a CMake build, which needs no autotools regeneration after Debian's patches.
  cmake -S "$work" -B "$work/_build" -G Ninja -DCMAKE_SYSTEM_NAME=Windows \
    -DCMAKE_C_COMPILER="$host-gcc" -DCMAKE_RC_COMPILER="$host-windres" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF \
    -DCMAKE_C_FLAGS=-DLIBXML_STATIC \
    -DLIBXML2_WITH_ICONV=OFF -DLIBXML2_WITH_ICU=OFF -DLIBXML2_WITH_LZMA=OFF -DLIBXML2_WITH_ZLIB=OFF \
    -DLIBXML2_WITH_PYTHON=OFF -DLIBXML2_WITH_HTTP=OFF -DLIBXML2_WITH_FTP=OFF \
    -DLIBXML2_WITH_PROGRAMS=OFF -DLIBXML2_WITH_TESTS=OFF -DLIBXML2_WITH_DEBUG=OFF >/dev/null
  cmake --build "$work/_build" -j"$JOBS" >/dev/null
  cmake --install "$work/_build" >/dev/null
  # the static archive's name varies between releases; expose it as libxml2.a
  local built; built=$(find "$prefix/lib" -maxdepth 1 -name 'libxml2*.a' ! -name libxml2.a | head -n1)
  [ -n "$built" ] && cp -f "$built" "$prefix/lib/libxml2.a"
  # LIBXML_STATIC: without it the archive's objects carry export directives, and every
  # DLL linking them would export the whole library.
  rm -rf "$work"; touch "$prefix/.libxml2-$ver-static"
}

build_curl() {
  local host=$1 prefix=$2 srcdir ver work
  ver=$(pkg_version curl); [ -f "$prefix/.curl-$ver" ] && return
  srcdir=$(fetch_source curl); work="$CACHE/work/$host/curl"
  rm -rf "$work"; mkdir -p "$(dirname "$work")"; cp -a "$srcdir" "$work"
  log "building libcurl $ver for $host"
  (cd "$work" && autoreconf -fi >/dev/null 2>&1 &&
     CPPFLAGS="-I$prefix/include" LDFLAGS="-L$prefix/lib" LIBS="-lws2_32 -lcrypt32 -lbcrypt -lgdi32" \
     ./configure -q --host="$host" --prefix="$prefix" --disable-shared --enable-static \
       --with-openssl="$prefix" --disable-ldap --disable-ldaps --without-libpsl --without-zlib \
       --without-brotli --without-zstd --without-libidn2 --without-nghttp2 --without-librtmp \
       --without-libssh2 --without-gssapi --disable-manual --disable-docs \
       --disable-ftp --disable-file --disable-dict --disable-telnet --disable-tftp --disable-pop3 \
       --disable-imap --disable-smtp --disable-gopher --disable-rtsp --disable-mqtt --disable-smb \
       --disable-ntlm --disable-alt-svc >/dev/null &&
     make -s -j"$JOBS" -C lib >/dev/null && make -s -C lib install >/dev/null && make -s -C include install >/dev/null)
  # Debian's patches rename the library after a TLS flavour; our build is the OpenSSL one
  local built; built=$(find "$prefix/lib" -maxdepth 1 -name 'libcurl*.a' ! -name libcurl.a | head -n1)
  [ -n "$built" ] && cp -f "$built" "$prefix/lib/libcurl.a"
  rm -rf "$work"; touch "$prefix/.curl-$ver"
}

cross_build() {
  for host in x86_64-w64-mingw32 i686-w64-mingw32; do
    local prefix="$CACHE/$host"
    mkdir -p "$prefix"
    build_openssl "$host" "$prefix"
    build_libxml2 "$host" "$prefix"
    build_curl "$host" "$prefix"
  done
}

mkdir -p "$CACHE"
ensure_deb_src
install_packages
cross_build
log "ready; dependency cache: $CACHE"
