#!/usr/bin/env bash
# Configures and builds one architecture into build/<arch>.
# Usage: build.sh [x64|x86]
set -euo pipefail
. "$(dirname "$0")/common.sh"
arch=${1:-x64}
tri=$(triplet "$arch")
bash "$VESKO_ROOT/scripts/setup.sh" "$arch"
dir=$VESKO_BUILD/$arch
# ccache (installed with the packages) keeps rebuilds in fresh clones quick.
if command -v ccache >/dev/null; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR=$VESKO_ROOT
fi
if [ ! -f "$dir/build.ninja" ] || ! grep -qs "^VESKO_BUILD_TESTS:BOOL=ON" "$dir/CMakeCache.txt"; then
  cmake -S "$VESKO_ROOT" -B "$dir" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$VESKO_ROOT/cmake/toolchain-$tri.cmake" \
    -DVESKO_ACE_ROOT="$VESKO_CACHE/ace/$ACE_VERSION/$arch" \
    -DVESKO_BUILD_TESTS=ON -DCMAKE_INSTALL_PREFIX="$dir/install" >/dev/null
fi
log "building $arch"
cmake --build "$dir" -j"$(nproc)"
