#!/usr/bin/env bash
# Prepares a fresh Debian 12 machine for building and testing Vantrel and Brenmo:
# installs the Debian packages, then cross-builds OpenSSL, libcurl and libxml2 for
# the two Windows targets from Debian's own source packages into a cache outside
# the repository, and prepares the i386 userland in which the tests run the 32-bit DLLs
# (see "32-bit Windows programs" below). Safe to run again: every step checks whether
# it is already done.
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
  debootstrap
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
# i686 also: no-atexit. MinGW's 32-bit C runtime binds _onexit to the process-wide table of
# msvcrt.dll, where OpenSSL would register its clean-up: a program that unloads Vantrel.dll
# (CoUninitialize does) and then exits through the C runtime would call into the unmapped
# DLL. The x86_64 runtime keeps a DLL's handlers with the DLL and runs them at unload.
OPENSSL_OPTIONS_I686="no-atexit"
STAMP_openssl_i686=-noatexit
build_openssl() { # host prefix
  local host=$1 prefix=$2 work
  work=$(prepare_work openssl "$host")
  # the 32-bit assembler modules do not assemble for COFF with this binutils: plain C there
  local cfg=mingw64 asm= options=$OPENSSL_OPTIONS
  [ "$host" = i686-w64-mingw32 ] && cfg=mingw asm=no-asm options+=" $OPENSSL_OPTIONS_I686"
  (cd "$work" && ./Configure $cfg $asm $options --cross-compile-prefix="$host-" \
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
    arch=${host%%-*}
    # options of one target add to its stamp (STAMP_<name>_<arch>)
    local extra="STAMP_$4_$arch"
    stamp="$prefix/.$4-$ver$suffix${!extra:-}"
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

# --- 32-bit Windows programs ----------------------------------------------------------
# This kernel executes no 32-bit code. The i686 DLLs therefore run under a 32-bit Wine in
# an i386 Debian root kept in the cache, whose programs the kernel hands to qemu's
# user-mode emulator through a binfmt_misc entry. The host's package system is never
# touched: no i386 architecture is added, no i386 package installed; the root has its own
# apt. scripts/wine32-run.sh runs a program in it.
# The binfmt_misc entry is host-wide (every i386 program of the machine then runs under
# the emulator) and lasts until the next boot; remove it with
#   echo -1 > /proc/sys/fs/binfmt_misc/vantrel-i386
I386_DIR="$CACHE/i386"
I386_ROOT="$I386_DIR/root"
I386_QEMU="$I386_DIR/qemu-i386"
I386_BINFMT=vantrel-i386
I386_SUITE=bookworm

# The Debian mirror of the machine's own package sources.
debian_mirror() {
  local uri
  uri=$(apt-get indextargets --format '$(REPO_URI)' 'Identifier: Packages' "Release: $I386_SUITE" | head -n1)
  [ -n "$uri" ] || { echo "no $I386_SUITE entry in the machine's package sources" >&2; return 1; }
  echo "$uri"
}

# Debian 12's qemu-user-static (7.2) runs Wine correctly but spends about a minute of CPU
# on every start of a Wine process, which would make each test take many minutes; the
# qemu-i386 of Debian 13 (10.0) starts one in about ten seconds. It is a static binary
# and runs here as it is, so it is taken out of Debian 13's qemu-user package rather
# than installed: installing it would mean a second release in the host's package
# sources. The package is fetched by a private apt configuration whose sources, lists
# and downloads stay in the cache; the host's apt state is not touched.
fetch_qemu_i386() { # mirror
  local apt="$I386_DIR/apt" deb
  rm -rf "$apt"; mkdir -p "$apt/lists/partial" "$apt/archives/partial"
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $1 trixie main" >"$apt/sources.list"
  : >"$apt/status"
  local opts=(-o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts=-
              -o Dir::State="$apt" -o Dir::State::Lists="$apt/lists" -o Dir::State::status="$apt/status"
              -o Dir::Cache="$apt" -o Dir::Cache::archives="$apt/archives" -o Dir::Cache::pkgcache=
              -o Dir::Cache::srcpkgcache= -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
  apt-get "${opts[@]}" update
  (cd "$apt" && apt-get "${opts[@]}" download qemu-user)
  deb=$(find "$apt" -maxdepth 1 -name 'qemu-user_*.deb' | head -n1)
  dpkg-deb --fsys-tarfile "$deb" | tar -x -O ./usr/bin/qemu-i386 >"$I386_QEMU.new"
  chmod 755 "$I386_QEMU.new"
  "$I386_QEMU.new" --version
  mv -f "$I386_QEMU.new" "$I386_QEMU"
  rm -rf "$apt"
}

binfmt_dir=/proc/sys/fs/binfmt_misc
# i386 ELF executables and shared objects (the header's magic, class, data, version, type
# and machine); flags P (argv[0] kept, which qemu reads from the auxiliary vector) and F
# (the interpreter is opened now, so that it is found inside the root too).
I386_MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
I386_MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
binfmt_ok() {
  local entry="$binfmt_dir/$I386_BINFMT"
  [ -f "$entry" ] && grep -qx enabled "$entry" && grep -qx "interpreter $I386_QEMU" "$entry" &&
    grep -qx "flags: PF" "$entry" && grep -qx "magic 7f454c4601010100000000000000000002000300" "$entry"
}
ensure_binfmt() {
  if [ ! -e "$binfmt_dir/register" ]; then
    as_root mount -t binfmt_misc binfmt_misc "$binfmt_dir"
  fi
  binfmt_ok && return 0
  if [ -e "$binfmt_dir/$I386_BINFMT" ]; then
    echo -1 | as_root tee "$binfmt_dir/$I386_BINFMT" >/dev/null
  fi
  printf ':%s:M::%s:%s:%s:PF\n' "$I386_BINFMT" "$I386_MAGIC" "$I386_MASK" "$I386_QEMU" |
    as_root tee "$binfmt_dir/register" >/dev/null
  binfmt_ok || { echo "binfmt_misc entry $I386_BINFMT did not take"; return 1; }
  log "registered $I386_QEMU for i386 programs (binfmt_misc entry $I386_BINFMT)"
}

# Runs a command inside the root with /proc, /dev and /sys, in a mount namespace of its own:
# nothing stays mounted when it ends, however it ends.
in_i386_root() { # root command...
  local root=$1; shift
  cp /etc/hosts /etc/resolv.conf "$root/etc/"
  as_root unshare -m sh -euc '
    root=$1; shift
    for d in /proc /dev /sys; do mount --rbind "$d" "$root$d"; done
    exec chroot "$root" "$@"' sh "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"
}

# An i386 Debian root (minbase) with Wine's 32-bit packages, built beside the final place
# and moved there when complete.
build_i386_root() { # mirror
  local tmp="$I386_ROOT.new"
  rm -rf "$tmp"
  # in a mount namespace of its own: debootstrap mounts /proc and /sys into the new root
  as_root unshare -m debootstrap --arch=i386 --variant=minbase "$I386_SUITE" "$tmp" "$1"
  in_i386_root "$tmp" apt-get install -y --no-install-recommends wine wine32
  in_i386_root "$tmp" apt-get clean
  in_i386_root "$tmp" /usr/lib/wine/wine --version
  rm -rf "$I386_ROOT"
  mv "$tmp" "$I386_ROOT"
}

prepare_i386() {
  local mirror stamp="$I386_DIR/.root-$I386_SUITE-wine32"
  mkdir -p "$I386_DIR"
  if [ -x "$I386_QEMU" ] && [ -f "$stamp" ] && binfmt_ok; then
    log "i386 userland for the 32-bit tests: reusing the cache ($I386_DIR)"
    return
  fi
  mirror=$(debian_mirror)
  if [ ! -x "$I386_QEMU" ]; then
    run_step "fetching qemu-i386 of Debian 13 from $mirror" "first run only, under a minute" \
      qemu-i386 fetch_qemu_i386 "$mirror"
    # a registration made with F holds the file it opened: register the new one
    if [ -e "$binfmt_dir/$I386_BINFMT" ]; then echo -1 | as_root tee "$binfmt_dir/$I386_BINFMT" >/dev/null; fi
  fi
  ensure_binfmt
  if [ ! -f "$stamp" ]; then
    run_step "building the i386 root with Wine's 32-bit packages ($I386_ROOT)" \
      "first run only, about 6 minutes" i386-root build_i386_root "$mirror"
    touch "$stamp"
  fi
}

mkdir -p "$CACHE"
# One run at a time: the builds of two runs would share their work folders in the cache.
exec 8>"$CACHE/.setup.lock"
if ! flock -n 8; then
  log "another setup.sh is running: waiting for it to finish"
  flock 8
fi
setup_start=$SECONDS
ensure_deb_src
install_packages
# about 15 minutes for all six on a 2-core machine (measured: OpenSSL 3.5, libxml2 0.6, libcurl 3 minutes each)
# the stamps' suffixes name the build's options: a changed option rebuilds
cross_build_one openssl OpenSSL -noconf-windirs openssl "about 4 minutes" "about 4 minutes"
cross_build_one libxml2 libxml2 -static-nocatalog-relpaths libxml2 "under a minute" "under a minute"
cross_build_one curl libcurl -noconf curl "about 3 minutes" "about 3 minutes"
prepare_i386
log "ready in $((SECONDS - setup_start))s; dependency cache: $CACHE (build logs: $LOGS)"
