#!/usr/bin/env bash
# Cross-builds ACE's core library for mingw from Debian's source package, once
# per architecture; the result is cached under $VESKO_CACHE/ace.
# Usage: setup-ace.sh x64|x86
set -euo pipefail
. "$(dirname "$0")/common.sh"
arch=${1:-x64}
tri=$(triplet "$arch")
dest=$VESKO_CACHE/ace/$ACE_VERSION/$arch
[ -f "$dest/.built" ] && exit 0
src=$VESKO_CACHE/ace/src
tarball=$(ls "$src"/ace_${ACE_VERSION}*.orig.tar.gz 2>/dev/null | head -1 || true)
if [ -z "$tarball" ]; then
  log "fetching ACE $ACE_VERSION source from Debian"
  bash "$VESKO_ROOT/scripts/setup-deb-src.sh"
  mkdir -p "$src"
  (cd "$src" && apt-get source --download-only -qq libace-dev >/dev/null)
  tarball=$(ls "$src"/ace_${ACE_VERSION}*.orig.tar.gz | head -1)
fi
log "building ACE for $tri (several minutes, once)"
work=$dest.tmp
rm -rf "$work" && mkdir -p "$work"
tar -xzf "$tarball" -C "$work"
root=$(find "$work" -maxdepth 2 -name ace -type d -printf '%h\n' | head -1)
export ACE_ROOT=$root
echo '#include "ace/config-win32.h"' > "$ACE_ROOT/ace/config.h"
cat > "$ACE_ROOT/include/makeinclude/platform_macros.GNU" <<MK
CROSS_COMPILE = $tri-
debug = 0
optimize = 1
static_libs_only = 1
include \$(ACE_ROOT)/include/makeinclude/platform_mingw32.GNU
MK
# The posix-threads compilers are the project's; ACE's makefiles call $tri-g++.
mkdir -p "$work/bin"
for tool in gcc g++; do ln -sf "/usr/bin/$tri-$tool-posix" "$work/bin/$tri-$tool"; done
export PATH=$work/bin:$PATH
(cd "$ACE_ROOT/ace" && perl "$ACE_ROOT/bin/mpc.pl" -type gnuace ace.mpc >/dev/null \
  && make -f GNUmakefile.ACE -j"$(nproc)" >"$work/build.log" 2>&1) || { tail -30 "$work/build.log"; die "ACE build failed"; }
rm -rf "$dest" && mkdir -p "$dest"
mkdir -p "$dest/include" "$dest/lib"
(cd "$ACE_ROOT" && find ace -name '*.h' -o -name '*.inl' -o -name '*.cpp' | grep -v -E '/(tests?|examples)/' | cpio -pdm --quiet "$dest/include")
cp "$ACE_ROOT"/lib/libACE*.a "$dest/lib/"
rm -rf "$work"
touch "$dest/.built"
log "ACE ready in $dest"
