#!/usr/bin/env bash
# Builds the release: one zip per architecture (win32, x64) holding Vantrel.dll,
# Brenmo.dll, Brenmo's help file Tolvix.chm and INSTALL.txt, and the Debian package of
# check_xenvm (the Linux monitoring plug-in, for this machine's architecture), written to
# out/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >/dev/null
mkdir -p out
for pair in win32:win32 win64:x64; do
  preset=${pair%%:*} arch=${pair##*:}
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$(nproc)" --target Vantrel Brenmo >/dev/null
  # the help file goes beside Brenmo.dll, which looks for it there
  if ! cmake --build --preset "$preset" --target brenmo_help >/dev/null 2>&1; then
    echo "release: Tolvix.chm was not built (chmcmd, package fp-utils, missing?)" >&2
    exit 1
  fi
  stage=$(mktemp -d)
  cp "build/$preset/automation/Vantrel.dll" "build/$preset/plugin/Brenmo.dll" "build/$preset/plugin/Tolvix.chm" "$stage/"
  # the build keeps its debug information; the shipped DLLs do not
  triplet=$([ "$arch" = x64 ] && echo x86_64-w64-mingw32 || echo i686-w64-mingw32)
  "$triplet-strip" --strip-debug "$stage/Vantrel.dll" "$stage/Brenmo.dll"
  cp scripts/INSTALL.txt "$stage/INSTALL.txt"
  sed -i 's/$/\r/' "$stage/INSTALL.txt"
  rm -f "out/vantrel-1.0.0.1-$arch.zip"
  (cd "$stage" && zip -q -X "$OLDPWD/out/vantrel-1.0.0.1-$arch.zip" Vantrel.dll Brenmo.dll Tolvix.chm INSTALL.txt)
  rm -rf "$stage"
  echo "out/vantrel-1.0.0.1-$arch.zip"
done

# check_xenvm for Linux monitoring hosts, as a Debian package
cmake --preset native >/dev/null
cmake --build --preset native -j"$(nproc)" --target check_xenvm >/dev/null
cli/package-deb.sh build/native/cli/check_xenvm out
