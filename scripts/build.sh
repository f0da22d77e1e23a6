#!/usr/bin/env bash
# Configures and builds one architecture into build/<arch>.
# Usage: build.sh [x64|x86]
set -euo pipefail
. "$(dirname "$0")/common.sh"
arch=${1:-x64}
tri=$(triplet "$arch")
bash "$VESKO_ROOT/scripts/setup.sh" "$arch"
dir=$VESKO_BUILD/$arch
tests=ON; [ "$arch" = x86 ] && tests=OFF   # 32-bit code cannot run here: build the product only
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S "$VESKO_ROOT" -B "$dir" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$VESKO_ROOT/cmake/toolchain-$tri.cmake" \
    -DVESKO_ACE_ROOT="$VESKO_CACHE/ace/$ACE_VERSION/$arch" \
    -DVESKO_BUILD_TESTS=$tests -DCMAKE_INSTALL_PREFIX="$dir/install" >/dev/null
fi
log "building $arch"
cmake --build "$dir" -j"$(nproc)"
