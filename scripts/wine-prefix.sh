#!/usr/bin/env bash
# Creates the project's Wine prefix NAME (under .cache/) once and prints its path.
# Usage: wine-prefix.sh demo|test|demo-x86|test-x86
set -euo pipefail
. "$(dirname "$0")/common.sh"
prefix=${VESKO_WINE_ROOT:-$VESKO_ROOT/.cache}/wine-${1:?prefix name}
if [ ! -f "$prefix/system.reg" ]; then
  log "creating Wine prefix $prefix"
  mkdir -p "$prefix"
  # The Wine that will run in the prefix makes it (wineboot on PATH may be
  # another Wine's script).
  WINEPREFIX=$prefix wine wineboot -i >/dev/null 2>&1 || true
  WINEPREFIX=$prefix wineserver -w
  [ -f "$prefix/system.reg" ] || die "Wine prefix $prefix was not created"
fi
# Test programs run headless: Wine's null display driver lets them create
# (and drive) real windows and dialogs without an X display. Set once, while
# no wineserver of the prefix runs, so every later process picks it up.
if [[ $1 == test* ]] && [ ! -f "$prefix/.vesko-null-display" ]; then
  WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  WINEPREFIX=$prefix wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  touch "$prefix/.vesko-null-display"
fi
echo "$prefix"
