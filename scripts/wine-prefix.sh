#!/usr/bin/env bash
# Creates the project's Wine prefix NAME (under .cache/) once and prints its path.
# Usage: wine-prefix.sh demo|test
set -euo pipefail
. "$(dirname "$0")/common.sh"
prefix=${VESKO_WINE_ROOT:-$VESKO_ROOT/.cache}/wine-${1:?prefix name}
if [ ! -f "$prefix/system.reg" ]; then
  log "creating Wine prefix $prefix"
  mkdir -p "$prefix"
  WINEPREFIX=$prefix wineboot -i >/dev/null 2>&1 || true
  WINEPREFIX=$prefix wineserver -w
  [ -f "$prefix/system.reg" ] || die "Wine prefix $prefix was not created"
fi
echo "$prefix"
