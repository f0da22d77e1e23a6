#!/usr/bin/env bash
# Builds the 64-bit target and runs the demo host: first in direct mode, then
# in protected mode through the broker, then shows the broker's audit log.
set -euo pipefail
. "$(dirname "$0")/common.sh"
bin=$VESKO_BUILD/x64/bin
prepare_x64 demo "$bin"
status=0
log "demo host, direct mode"
VESKO_IEFRAME_ANSWER=direct wine "$bin/veskohost.exe" walk || status=$?
if [ -f "$bin/veskobroker.exe" ]; then
  log "demo host, protected mode (through the broker)"
  VESKO_IEFRAME_ANSWER=protected wine "$bin/veskohost.exe" walk || status=$?
  wine "$bin/veskohost.exe" auditlog || true
fi
wineserver -k 2>/dev/null || true
exit $status
