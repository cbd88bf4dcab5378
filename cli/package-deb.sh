#!/usr/bin/env bash
# Builds the Debian package of check_xenvm from a built command:
#   cli/package-deb.sh BUILT_COMMAND OUTDIR   -> OUTDIR/check-xenvm_VERSION_ARCH.deb (path printed)
# It installs the command into /usr/lib/nagios/plugins/ and its man page into
# /usr/share/man/man1/, and depends on Debian's libcurl, OpenSSL and libxml2 packages.
set -euo pipefail
binary=$1 out=$2
here=$(cd "$(dirname "$0")" && pwd)
version=$("$binary" --version | sed -n 's/^check_xenvm //p')
arch=$(dpkg --print-architecture)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
chmod 0755 "$stage"
install -d "$stage/DEBIAN" "$stage/usr/lib/nagios/plugins" "$stage/usr/share/man/man1" \
  "$stage/usr/share/doc/check-xenvm"
install -m 0755 "$binary" "$stage/usr/lib/nagios/plugins/check_xenvm"
strip --strip-unneeded "$stage/usr/lib/nagios/plugins/check_xenvm"
gzip -9n < "$here/check_xenvm.1" > "$stage/usr/share/man/man1/check_xenvm.1.gz"
chmod 0644 "$stage/usr/share/man/man1/check_xenvm.1.gz"
printf 'check_xenvm: a monitoring plug-in checking the state of a VM on a Xen host.\nSee check_xenvm(1).\n' \
  > "$stage/usr/share/doc/check-xenvm/README"
size=$(du -sk --exclude=DEBIAN "$stage" | cut -f1)
cat > "$stage/DEBIAN/control" <<CONTROL
Package: check-xenvm
Version: $version
Architecture: $arch
Maintainer: Vantrel maintainers <vantrel@localhost>
Installed-Size: $size
Depends: libc6, libstdc++6, libgcc-s1, libcurl4, libssl3, libxml2
Section: net
Priority: optional
Description: monitoring plug-in checking the state of a VM on a Xen host
 check_xenvm asks a Xen host, over XenAPI or the older xen3 agent protocol,
 whether a virtual machine is in the expected state, or counts the host's
 virtual machines, with load figures as performance data. It follows the
 monitoring plug-in conventions of Nagios, Icinga and Naemon.
CONTROL
mkdir -p "$out"
deb="$out/check-xenvm_${version}_${arch}.deb"
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null
echo "$deb"
