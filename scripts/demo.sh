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
# The walk leaves its disc image in the product's writable folder: a reader
# that is not ours lists what is on it.
list_export() {
  local iso
  iso=$(find "$WINEPREFIX/drive_c" -name veskohost-export.iso -newer "$1" 2>/dev/null | head -n 1)
  if [ -z "$iso" ]; then
    log "no exported disc image found"
    return 1
  fi
  log "the exported disc image, as xorriso lists it: $iso"
  xorriso -local_charset UTF-8 -indev "$iso" -pvd_info -find / -exec lsdl -- 2>&1 |
    grep -E '^(Volume Id|Creation Time|Volume Set Id)|^[-d]r' || return 1
}

status=0
for arch in "${archs[@]}"; do
  (
    bin=$VESKO_BUILD/$arch/bin
    prepare "$arch" demo "$bin"
    result=0
    marker=$(mktemp)
    log "demo host ($arch), direct mode"
    VESKO_IEFRAME_ANSWER=direct wine "$bin/veskohost.exe" walk || result=$?
    list_export "$marker" || result=1
    touch "$marker"
    if [ -f "$bin/veskobroker.exe" ]; then
      log "demo host ($arch), protected mode (through the broker)"
      VESKO_IEFRAME_ANSWER=protected wine "$bin/veskohost.exe" walk || result=$?
      list_export "$marker" || result=1
      wine "$bin/veskohost.exe" auditlog || true
    fi
    rm -f "$marker"
    wineserver -k 2>/dev/null || true
    exit $result
  ) || status=$?
done
exit $status
