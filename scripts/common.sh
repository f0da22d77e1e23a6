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
# Builds the 64-bit target, readies the Wine prefix NAME (exported as
# WINEPREFIX) and registers the broker of BINDIR there when it was built.
# Usage: prepare_x64 demo|test BINDIR
prepare_x64() {
  bash "$VESKO_ROOT/scripts/build.sh" x64
  WINEPREFIX=$(bash "$VESKO_ROOT/scripts/wine-prefix.sh" "$1")
  export WINEPREFIX
  if [ -f "$2/veskobroker.exe" ]; then
    bash "$VESKO_ROOT/scripts/register-broker.sh" "$2"
  fi
}
