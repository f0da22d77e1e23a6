#!/usr/bin/env bash
# Builds and runs the demo host: in direct mode, then in protected mode
# through the broker, then shows the broker's audit log. Without arguments it
# runs the 64-bit target, then the 32-bit one (the product a host loads) when
# Wine's WoW64 build is on this machine (scripts/setup-wine-wow64.sh, or the
# first `scripts/test.sh x86`, makes it once).
# Usage: demo.sh [x64|x86 ...]
set -euo pipefail
. "$(dirname "$0")/common.sh"
archs=("$@")
if ((${#archs[@]} == 0)); then
  archs=(x64)
  if bash "$VESKO_ROOT/scripts/setup-wine-wow64.sh" --print >/dev/null; then
    archs+=(x86)
  else
    log "32-bit demo skipped: Wine's WoW64 build is not on this machine yet (bash scripts/setup-wine-wow64.sh, about 40 minutes once)"
  fi
fi
status=0
for arch in "${archs[@]}"; do
  (
    bin=$VESKO_BUILD/$arch/bin
    prepare "$arch" demo "$bin"
    result=0
    log "demo host ($arch), direct mode"
    VESKO_IEFRAME_ANSWER=direct wine "$bin/veskohost.exe" walk || result=$?
    if [ -f "$bin/veskobroker.exe" ]; then
      log "demo host ($arch), protected mode (through the broker)"
      VESKO_IEFRAME_ANSWER=protected wine "$bin/veskohost.exe" walk || result=$?
      wine "$bin/veskohost.exe" auditlog || true
    fi
    wineserver -k 2>/dev/null || true
    exit $result
  ) || status=$?
done
exit $status
