#!/usr/bin/env bash
# Runs 32-bit Windows programs under the 32-bit Wine of the i386 root that scripts/setup.sh
# prepares (this kernel executes no 32-bit code: the root's programs run under qemu's
# user-mode emulator), with the 32-bit Wine prefix of a build directory.
#
#   wine32-run.sh BUILD_DIR PROGRAM [ARGS...]
#       runs one Windows program: a name Wine knows (cscript, regsvr32, reg) or a path
#   wine32-run.sh --session BUILD_DIR COMMAND [ARGS...]
#       runs a host command (a test driver, the simulated host with a driver) in one session:
#       the Windows programs it starts with the first form share one wine server, which
#       under emulation takes some ten seconds to start with Wine's system processes, while
#       each program after that takes one or two
#
# A session is a private mount and PID namespace. The root sees /proc, /dev, /sys, /tmp, the
# source tree and the build directory at their own paths, so that Z:\ paths work unchanged;
# the network is the host's (the simulated host listens on 127.0.0.1 outside the root).
# Whatever a session starts ends with it, also when the runner is killed (a test's
# time-out): the namespace's first process dies with the runner and takes every other
# process of the namespace with it. Sessions of one build directory take turns, since a
# prefix has one wine server. The prefix (BUILD_DIR/wineprefix32) is created by the first
# session. Needs root (namespaces, chroot).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
self="$here/$(basename "$0")"

session=
if [ "${1:-}" = --session ]; then session=1; shift; fi
if [ $# -lt 2 ]; then
  echo "usage: $0 [--session] BUILD_DIR PROGRAM|COMMAND [ARGS...]" >&2
  exit 2
fi
build=$(cd "$1" && pwd); shift
prefix="$build/wineprefix32"
root="${VANTREL_I386_ROOT:-${VANTREL_DEPS_CACHE:-$HOME/.cache/vantrel-deps}/i386/root}"

# One program inside the session of its build directory: run it in the root.
if [ -z "$session" ] && [ "${VANTREL_WINE32_SESSION:-}" = "$build" ]; then
  # Wine's system processes inherit the standard handles of the program that starts them
  # and outlive it; whoever reads the program's pipes would wait for them. So the program
  # writes to files, and their contents follow once it has ended.
  out=$(mktemp /tmp/wine32-run.XXXXXX)
  trap 'rm -f "$out" "$out.err"' EXIT
  # chroot starts in /: the program keeps the caller's folder where the root sees it
  cwd=/
  if [ -d "$root$PWD" ]; then cwd=$PWD; fi
  set +e
  # the program ends when this runner is killed (a driver's time-out)
  env PATH=/usr/bin:/bin HOME=/root WINEPREFIX="$prefix" WINEARCH=win32 \
      WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}" \
      /usr/bin/setpriv --pdeathsig KILL -- \
      /usr/sbin/chroot "$root" /usr/bin/env -C "$cwd" /usr/lib/wine/wine "$@" >"$out" 2>"$out.err" </dev/null
  rc=$?
  set -e
  cat "$out"
  cat "$out.err" >&2
  exit $rc
fi

# Otherwise a session: for one program, a session that runs only it.
if [ -z "$session" ]; then
  set -- "$self" "$build" "$@"
fi
if [ ! -x "$root/usr/lib/wine/wine" ]; then
  echo "wine32-run.sh: no i386 root with Wine in $root: run scripts/setup.sh" >&2
  exit 1
fi
if ! grep -qx enabled /proc/sys/fs/binfmt_misc/vantrel-i386 2>/dev/null; then
  echo "wine32-run.sh: i386 programs are not handed to qemu (binfmt_misc entry vantrel-i386): run scripts/setup.sh" >&2
  exit 1
fi
if [ "$(id -u)" != 0 ]; then
  echo "wine32-run.sh: needs root (mount namespace, chroot)" >&2
  exit 1
fi

source_dir=$(cd "$here/.." && pwd)
# The namespace's first process gets SIGKILL when unshare dies (--kill-child), and with it
# every process of the namespace (the emulated wine server and its children included).
# unshare itself ignores SIGTERM and SIGINT: it dies with this runner (--pdeathsig), and
# this runner kills it on those signals.
/usr/bin/setpriv --pdeathsig KILL -- unshare --mount --pid --fork --kill-child --mount-proc --propagation private \
  bash -euo pipefail -c '
root=$1 prefix=$2 build=$3 source_dir=$4; shift 4
mount --rbind /dev "$root/dev"
mount --bind /proc "$root/proc"
mount --rbind /sys "$root/sys"
mount --bind /tmp "$root/tmp"
for d in "$source_dir" "$build"; do
  mkdir -p "$root$d"
  mount --bind "$d" "$root$d"
done
in_root() {
  env PATH=/usr/bin:/bin HOME=/root WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG=-all \
      WINEDLLOVERRIDES="mscoree,mshtml=" /usr/sbin/chroot "$root" "$@" </dev/null >/dev/null 2>&1
}
# One session of this prefix at a time; the first creates the prefix.
exec 9>"$prefix.lock"
flock 9
if [ ! -f "$prefix/.vantrel-ready" ]; then
  rm -rf "$prefix"
  in_root /usr/lib/wine/wine wineboot -i 9>&- || true
  in_root /usr/lib/wine/wineserver -w 9>&- || true
  [ -f "$prefix/system.reg" ] || { echo "wine32-run.sh: could not create the prefix $prefix" >&2; exit 1; }
  touch "$prefix/.vantrel-ready"
fi
# The wine server stays for the whole session; Wine system processes start now, with no
# pipe of the command attached.
in_root /usr/lib/wine/wineserver -p 9>&-
in_root /usr/lib/wine/wine cmd /c exit 9>&- || true
set +e
VANTREL_WINE32_SESSION=$build "$@" 9>&-
rc=$?
set -e
# End the server cleanly, which writes the registry back to the prefix.
in_root /usr/lib/wine/wineserver -k 9>&- || true
in_root /usr/lib/wine/wineserver -w 9>&- || true
exit $rc' wine32-session "$root" "$prefix" "$build" "$source_dir" "$@" &
namespace=$!
trap 'kill -KILL "$namespace" 2>/dev/null; exit 143' TERM INT HUP
wait "$namespace"
