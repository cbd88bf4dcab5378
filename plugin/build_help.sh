#!/bin/sh
# Compiles the help project in SOURCE_DIR (Tolvix.hhp and its pages) into OUTPUT.
#
# usage: build_help.sh SOURCE_DIR OUTPUT
#
# The CHM compiler stores the topic of a context number as the project's folder
# followed by the file name. Compiled in /some/build/dir, context 10 would name
# "/some/build/dir/frmmain.htm", which no viewer finds inside the file. So the project
# is compiled with its folder seen as the root of the file system (a private user and
# mount namespace with the system folders bound into it), and the topic reads
# "/frmmain.htm". Where namespaces are not allowed it compiles in place and says so;
# the help file test then reports the broken context.
set -eu
src=$1
out=$2
compiler=$(readlink -f "$(command -v chmcmd)")
stage=$(mktemp -d "${out}.stage.XXXXXX")
cleanup() {
  # Only empty mount points and copied files are left once the namespace has gone;
  # rmdir refuses anything else.
  for d in usr lib lib64; do [ -d "$stage/$d" ] && rmdir "$stage/$d"; done
  rm -f "$stage"/*
  rmdir "$stage"
}
trap cleanup EXIT
cp "$src"/* "$stage"/
if unshare -rm sh -c "for d in usr lib lib64; do mkdir -p '$stage'/\$d; mount --rbind /\$d '$stage'/\$d; done;
                      chroot '$stage' '$compiler' --no-html-scan /Tolvix.hhp" >"$stage/log" 2>&1; then
  :
else
  echo "build_help: no private root for the compiler (unshare); compiling in place," \
       "context numbers will name the build folder" >&2
  (cd "$stage" && "$compiler" --no-html-scan Tolvix.hhp) >"$stage/log" 2>&1 || { cat "$stage/log" >&2; exit 1; }
fi
[ -s "$stage/Tolvix.chm" ] || { cat "$stage/log" >&2; exit 1; }
mv "$stage/Tolvix.chm" "$out"
