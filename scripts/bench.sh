#!/usr/bin/env bash
# Builds the 64-bit target and runs every benchmark; each prints its ratios.
set -euo pipefail
. "$(dirname "$0")/common.sh"
bash "$VESKO_ROOT/scripts/build.sh" x64
export WINEPREFIX=$(bash "$VESKO_ROOT/scripts/wine-prefix.sh" demo)
bin=$VESKO_BUILD/x64/bin
[ -x "$VESKO_ROOT/scripts/register-broker.sh" ] && bash "$VESKO_ROOT/scripts/register-broker.sh" "$bin"
for b in "$bin"/*bench.exe; do
  [ -f "$b" ] || continue
  log "$(basename "$b")"
  VESKO_IEFRAME_ANSWER=direct wine "$b" || log "$(basename "$b") failed"
done
wineserver -k 2>/dev/null || true
