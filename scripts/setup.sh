#!/usr/bin/env bash
# Prepares a fresh Debian 12 machine for building and testing Vantrel and Brenmo:
# installs the Debian packages, then cross-builds OpenSSL, libcurl and libxml2 for
# the two Windows targets from Debian's own source packages into a cache outside
# the repository. Safe to run again: every step checks whether it is already done.
set -euo pipefail

CACHE="${VANTREL_DEPS_CACHE:-$HOME/.cache/vantrel-deps}"
JOBS="${JOBS:-$(nproc)}"
export DEBIAN_FRONTEND=noninteractive

LOGS="$CACHE/logs"

log() { printf '[setup] %s\n' "$*"; }

# run_step "what it does" "how long the first run takes" LOGNAME command...: one line for the
# step, its output into $LOGS/LOGNAME.log (printed whole when the step fails), then the time.
run_step() {
  local what=$1 estimate=$2 logfile="$LOGS/$3.log" start rc
  shift 3
  mkdir -p "$LOGS"
  printf '[setup] %s (%s; log: %s)... ' "$what" "$estimate" "$logfile"
  start=$SECONDS
  # in the background, so that errexit holds inside the step's functions
  "$@" >"$logfile" 2>&1 </dev/null &
  wait $! && rc=0 || rc=$?
  if [ "$rc" -ne 0 ]; then
    printf 'failed (exit %d). The whole log:\n' "$rc"
    cat "$logfile"
    exit "$rc"
  fi
  printf 'done in %ds\n' $((SECONDS - start))
}
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
  fp-utils
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
    run_step "reading the package lists (apt-get update)" "under a minute" apt-update \
      as_root apt-get update
    touch "$CACHE/.apt-updated"
  fi
  if [ ${#missing[@]} -gt 0 ]; then
    run_step "installing ${#missing[@]} Debian packages (${missing[*]})" \
      "first run only, about 7 minutes" apt-install \
      as_root apt-get install -y --no-install-recommends "${missing[@]}"
  else
    log "Debian packages: all ${#PACKAGES[@]} installed already"
  fi
}

pkg_version() { apt-cache showsrc "$1" | awk '/^Version:/ {print $2; exit}'; }

fetch_source() { # name -> prints the unpacked source dir
  local name=$1 ver dir
  ver=$(pkg_version "$name")
  dir="$CACHE/src/$name-$ver"
  if [ ! -f "$dir/.unpacked" ]; then
    rm -rf "$dir"; mkdir -p "$dir"
    (cd "$dir" && { apt-get source "$name=$ver" || apt-get source "$name"; }) >&2
    touch "$dir/.unpacked"
  fi
  find "$dir" -mindepth 1 -maxdepth 1 -type d | head -n1
}

# Each build_* runs with its output going to its log (run_step): it prints freely.
prepare_work() { # name host -> prints a fresh copy of the unpacked source
  local srcdir work="$CACHE/work/$2/$1"
  srcdir=$(fetch_source "$1")
  rm -rf "$work"; mkdir -p "$(dirname "$work")"; cp -a "$srcdir" "$work"
  echo "$work"
}

# The shipped DLLs must not read an OpenSSL configuration, nor carry a path of this
# machine: OpenSSL would look for openssl.cnf under OPENSSLDIR, and on Windows a
# Unix-style path is a folder on the current drive that any user can create. So the
# configuration is never loaded automatically (no-autoload-config), the folders compiled
# in (OPENSSLDIR, ENGINESDIR, MODULESDIR) are admin-only Windows folders (Configure takes
# a Windows path for a relative one, so OPENSSLDIR is given relative to the prefix), no engine or
# provider module can be loaded, and OpenSSL does not pin the module it is linked into
# (no-pinshared), so that Vantrel.dll can unload. Configured with a Windows prefix, the
# library is copied into the cache by hand rather than by "make install".
OPENSSL_OPTIONS="no-shared no-tests no-module no-engine no-autoload-config no-pinshared"
build_openssl() { # host prefix
  local host=$1 prefix=$2 work
  work=$(prepare_work openssl "$host")
  # the 32-bit assembler modules do not assemble for COFF with this binutils: plain C there
  local cfg=mingw64 asm=; [ "$host" = i686-w64-mingw32 ] && cfg=mingw asm=no-asm
  (cd "$work" && ./Configure $cfg $asm $OPENSSL_OPTIONS --cross-compile-prefix="$host-" \
       --prefix="C:/Program Files/Common Files" --openssldir=SSL \
       --libdir=lib && make -j"$JOBS" build_libs)
  rm -rf "$prefix/include/openssl"; mkdir -p "$prefix/include/openssl" "$prefix/lib"
  cp "$work"/include/openssl/*.h "$prefix/include/openssl/"
  cp "$work/libssl.a" "$work/libcrypto.a" "$prefix/lib/"
  rm -rf "$work"
}

build_libxml2() { # host prefix
  local host=$1 prefix=$2 work
  work=$(prepare_work libxml2 "$host")
  # libxml2 ships a CMake build, which needs no autotools regeneration after Debian's patches.
  cmake -S "$work" -B "$work/_build" -G Ninja -DCMAKE_SYSTEM_NAME=Windows \
    -DCMAKE_C_COMPILER="$host-gcc" -DCMAKE_RC_COMPILER="$host-windres" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF \
    -DCMAKE_C_FLAGS="-DLIBXML_STATIC -ffile-prefix-map=$work=libxml2" \
    -DLIBXML2_WITH_ICONV=OFF -DLIBXML2_WITH_ICU=OFF -DLIBXML2_WITH_LZMA=OFF -DLIBXML2_WITH_ZLIB=OFF \
    -DLIBXML2_WITH_PYTHON=OFF -DLIBXML2_WITH_HTTP=OFF -DLIBXML2_WITH_FTP=OFF \
    -DLIBXML2_WITH_PROGRAMS=OFF -DLIBXML2_WITH_TESTS=OFF -DLIBXML2_WITH_DEBUG=OFF \
    -DLIBXML2_WITH_CATALOG=OFF
  cmake --build "$work/_build" -j"$JOBS"
  cmake --install "$work/_build"
  # the static archive's name varies between releases; expose it as libxml2.a
  local built; built=$(find "$prefix/lib" -maxdepth 1 -name 'libxml2*.a' ! -name libxml2.a | head -n1)
  [ -n "$built" ] && cp -f "$built" "$prefix/lib/libxml2.a"
  # No catalogs: they are read from a folder compiled in (this machine's path); the
  # sources' paths, which libxml2 puts in its messages, are relative.
  # LIBXML_STATIC: without it the archive's objects carry export directives, and every
  # DLL linking them would export the whole library.
  rm -rf "$work"
}

build_curl() { # host prefix
  local host=$1 prefix=$2 work
  work=$(prepare_work curl "$host")
  (cd "$work" && autoreconf -fi &&
     CPPFLAGS="-I$prefix/include" LDFLAGS="-L$prefix/lib" LIBS="-lws2_32 -lcrypt32 -lbcrypt -lgdi32" \
     ./configure --host="$host" --prefix="$prefix" --disable-shared --enable-static \
       --with-openssl="$prefix" --disable-ldap --disable-ldaps --without-libpsl --without-zlib \
       --without-brotli --without-zstd --without-libidn2 --without-nghttp2 --without-librtmp \
       --without-libssh2 --without-gssapi --disable-manual --disable-docs \
       --disable-ftp --disable-file --disable-dict --disable-telnet --disable-tftp --disable-pop3 \
       --disable-imap --disable-smtp --disable-gopher --disable-rtsp --disable-mqtt --disable-smb \
       --disable-ntlm --disable-alt-svc \
       --disable-openssl-auto-load-config --without-ca-bundle --without-ca-path --without-ca-fallback &&
     make -j"$JOBS" -C lib && make -C lib install && make -C include install)
  # Debian's patches rename the library after a TLS flavour; our build is the OpenSSL one
  local built; built=$(find "$prefix/lib" -maxdepth 1 -name 'libcurl*.a' ! -name libcurl.a | head -n1)
  [ -n "$built" ] && cp -f "$built" "$prefix/lib/libcurl.a"
  rm -rf "$work"
}

# cross_build_one name title stamp-suffix estimate-x86_64 estimate-i686: builds one library
# for both targets, each unless its stamp for the packaged version is there.
cross_build_one() {
  local name=$1 title=$2 suffix=$3 ver host prefix stamp estimate arch
  ver=$(pkg_version "$name")
  for host in x86_64-w64-mingw32 i686-w64-mingw32; do
    prefix="$CACHE/$host"; mkdir -p "$prefix"
    stamp="$prefix/.$4-$ver$suffix"
    arch=${host%%-*}
    if [ -f "$stamp" ]; then
      log "$title $ver for $arch: reusing the cache ($prefix)"
      continue
    fi
    if [ "$arch" = x86_64 ]; then estimate=$5; else estimate=$6; fi
    run_step "cross-building $title $ver for $arch" "first run only, $estimate" \
      "$name-$arch" "build_$4" "$host" "$prefix"
    touch "$stamp"
  done
}

mkdir -p "$CACHE"
setup_start=$SECONDS
ensure_deb_src
install_packages
# about 15 minutes for all six on a 2-core machine (measured: OpenSSL 3.5, libxml2 0.6, libcurl 3 minutes each)
# the stamps' suffixes name the build's options: a changed option rebuilds
cross_build_one openssl OpenSSL -noconf-windirs openssl "about 4 minutes" "about 4 minutes"
cross_build_one libxml2 libxml2 -static-nocatalog-relpaths libxml2 "under a minute" "under a minute"
cross_build_one curl libcurl -noconf curl "about 3 minutes" "about 3 minutes"
log "ready in $((SECONDS - setup_start))s; dependency cache: $CACHE (build logs: $LOGS)"
