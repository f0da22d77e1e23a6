#!/usr/bin/env bash
# Removes what register-broker.sh added to the Wine prefix named by
# WINEPREFIX: the broker's class registration and the proxy/stub's.
# Usage: unregister-broker.sh <bindir>
set -euo pipefail
. "$(dirname "$0")/common.sh"
: "${WINEPREFIX:?WINEPREFIX must name the project prefix}"
bindir=$(cd "${1:?usage: unregister-broker.sh <bindir>}" && pwd)
clsid='{2068FDF2-0BE6-47E8-B5C9-CCE78A2FCA9D}'
if [ -f "$bindir/veskops.dll" ]; then
  wine regsvr32 /u /s "$(winepath -w "$bindir/veskops.dll" 2>/dev/null)" || true
fi
for view in /reg:64 /reg:32; do
  wine reg delete "HKLM\\Software\\Classes\\CLSID\\$clsid" /f "$view" >/dev/null 2>&1 || true
done
rm -f "$WINEPREFIX/.vesko-broker-registration"
log "broker unregistered"
