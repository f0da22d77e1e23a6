#!/usr/bin/env bash
# Builds the 64-bit target and runs every benchmark; each prints its ratios.
set -euo pipefail
. "$(dirname "$0")/common.sh"
bin=$VESKO_BUILD/x64/bin
prepare_x64 demo "$bin"
for b in "$bin"/*bench.exe; do
  [ -f "$b" ] || continue
  log "$(basename "$b")"
  VESKO_IEFRAME_ANSWER=direct wine "$b" || log "$(basename "$b") failed"
done
wineserver -k 2>/dev/null || true
