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
