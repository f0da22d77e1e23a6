# Shared settings for the project scripts; sourced, never run.
# Everything the scripts install or cache lives under VESKO_CACHE (outside the
# work tree, so a fresh clone on the same machine reuses the ACE build) or
# under the clone's own build/ folder.
VESKO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VESKO_CACHE=${VESKO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/veskolib}
VESKO_BUILD=${VESKO_BUILD:-$VESKO_ROOT/build}
ACE_VERSION=7.0.8
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;ieframe=n,b"
log() { printf '\033[1m[vesko]\033[0m %s\n' "$*" >&2; }
die() { printf '[vesko] error: %s\n' "$*" >&2; exit 1; }
# Each arch has its own toolchain triplet.
triplet() { case "$1" in x64) echo x86_64-w64-mingw32 ;; x86) echo i686-w64-mingw32 ;; *) die "unknown arch $1" ;; esac; }
# The 32-bit target runs under Wine's WoW64 build (scripts/setup-wine-wow64.sh,
# cached once per machine); selecting it puts that Wine first on PATH, so
# every later `wine`, `wineserver` and `winepath` (the scripts', ctest's and
# the package test's) is the one that runs 32-bit programs.
# Usage: use_wine x64|x86 [--build]  (--build: build the WoW64 Wine if missing)
use_wine() {
  [ "$1" = x86 ] || return 0
  local bin
  if [ "${2:-}" = --build ]; then
    bin=$(bash "$VESKO_ROOT/scripts/setup-wine-wow64.sh") || die "the WoW64 Wine could not be built"
  else
    bin=$(bash "$VESKO_ROOT/scripts/setup-wine-wow64.sh" --print) || die "no WoW64 Wine yet (scripts/setup-wine-wow64.sh builds it)"
  fi
  export PATH=$bin:$PATH
}
# The Wine prefix of a use (demo|test) and an architecture.
prefix_name() { if [ "$2" = x86 ]; then echo "$1-x86"; else echo "$1"; fi; }
# Builds ARCH, readies the Wine prefix of USE for it (exported as WINEPREFIX)
# and registers the broker of BINDIR there when it was built.
# Usage: prepare x64|x86 demo|test BINDIR
prepare() {
  use_wine "$1" --build
  bash "$VESKO_ROOT/scripts/build.sh" "$1"
  WINEPREFIX=$(bash "$VESKO_ROOT/scripts/wine-prefix.sh" "$(prefix_name "$2" "$1")")
  export WINEPREFIX
  if [ -f "$3/veskobroker.exe" ]; then
    bash "$VESKO_ROOT/scripts/register-broker.sh" "$3"
  fi
}
# Prints x86 or x64 for a PE file, from the machine field of its header.
pe_arch() {
  local off machine
  off=$(od -An -t u4 -j 60 -N 4 "$1" | tr -d ' ')
  machine=$(od -An -t x2 -j $((off + 4)) -N 2 "$1" | tr -d ' ')
  case $machine in 014c) echo x86 ;; 8664) echo x64 ;; *) echo unknown ;; esac
}
