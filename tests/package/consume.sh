#!/usr/bin/env bash
# Usage: consume.sh <build dir> <source dir> <toolchain file>
set -euo pipefail
build=$1 src=$2 toolchain=$3
work=$build/package-test
rm -rf "$work" && mkdir -p "$work"
cmake --install "$build" --prefix "$work/install" >/dev/null
for f in lib/cmake/VeskoLib/VeskoLibConfig.cmake include/veskolib/iomanager.h include/veskolib/mfc/afxstr.h \
         bin/veskolib.dll; do
  [ -e "$work/install/$f" ] || { echo "package lacks $f"; exit 1; }
done
cmake -S "$src/host" -B "$work/host" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DCMAKE_BUILD_TYPE=Release -DVeskoLib_DIR="$work/install/lib/cmake/VeskoLib" >/dev/null
cmake --build "$work/host" >/dev/null
cp "$work/host/veskohost.exe" "$work/install/bin/"
# Direct mode: no stand-in beside it, Wine's own ieframe.dll has no protected mode.
(cd "$work/install/bin" && wine ./veskohost.exe walk) | tee "$work/walk.txt" | tail -3
grep -q '^mode: direct' "$work/walk.txt"
grep -q '^done: 0 step' "$work/walk.txt"

# A second host, compiled with UNICODE and _UNICODE, loads a string of its own
# through the framework string and reaches the library.
if ! { cmake -S "$src/tests/package/unicodehost" -B "$work/unicodehost" -G Ninja \
         -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
         -DVeskoLib_DIR="$work/install/lib/cmake/VeskoLib" &&
       cmake --build "$work/unicodehost"; } >"$work/unicodehost.log" 2>&1; then
  echo "the UNICODE host does not build:"; tail -40 "$work/unicodehost.log"; exit 1
fi
cp "$work/unicodehost/unicodehost.exe" "$work/install/bin/"
(cd "$work/install/bin" && wine ./unicodehost.exe) | tr -d '\r' | tee "$work/unicode.txt"
grep -q '^loaded: 1 "Greetings from a UNICODE host"$' "$work/unicode.txt"
grep -q '^unicode host: ok$' "$work/unicode.txt"
