#!/usr/bin/env bash
# Usage: consume.sh <build dir> <source dir> <toolchain file>
set -euo pipefail
build=$1 src=$2 toolchain=$3
work=$build/package-test
rm -rf "$work" && mkdir -p "$work"
cmake --install "$build" --prefix "$work/install" >/dev/null
for f in lib/cmake/VeskoLib/VeskoLibConfig.cmake include/veskolib/iomanager.h include/veskolib/mfc/afxstr.h \
         bin/veskolib.dll bin/veskolibENU.dll bin/veskomfc.dll bin/sysinfolib.dll bin/discdatalib.dll \
         bin/discburnlib.dll bin/dialoglib.dll bin/reportlib.dll bin/veskops.dll bin/veskobroker.exe; do
  [ -e "$work/install/$f" ] || { echo "package lacks $f"; exit 1; }
done
# Exactly the public headers: an internal one installed is as wrong as a
# public one missing.
grep -v '^#' "$src/tests/package/public-headers.txt" | sort >"$work/headers-expected.txt"
(cd "$work/install/include" && find . -type f | sed 's|^\./||' | sort) >"$work/headers-installed.txt"
if ! diff -u "$work/headers-expected.txt" "$work/headers-installed.txt"; then
  echo "installed headers differ from tests/package/public-headers.txt (- missing, + not public)"
  exit 1
fi
# Each public header compiles on its own against the install tree alone.
cmake -S "$src/tests/package/consumer" -B "$work/headers" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DCMAKE_BUILD_TYPE=Release -DVeskoLib_DIR="$work/install/lib/cmake/VeskoLib" >/dev/null
cmake --build "$work/headers" >"$work/headers-build.txt" 2>&1 || { tail -30 "$work/headers-build.txt"; exit 1; }
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
