#!/usr/bin/env bash
# Builds one target (default x64) and runs every benchmark; each prints its
# ratios. Usage: bench.sh [x64|x86]
set -euo pipefail
. "$(dirname "$0")/common.sh"
arch=${1:-x64}
bin=$VESKO_BUILD/$arch/bin
prepare "$arch" demo "$bin"
for b in "$bin"/*bench.exe; do
  [ -f "$b" ] || continue
  log "$(basename "$b")"
  VESKO_IEFRAME_ANSWER=direct wine "$b" || log "$(basename "$b") failed"
done
wineserver -k 2>/dev/null || true
