#!/usr/bin/env bash
# Registers the broker in the Wine prefix named by WINEPREFIX: the proxy/stub
# DLL (regsvr32) and the local server's LocalServer32 command, pointing at
# <bindir>/veskobroker.exe. Safe to run again; quick when nothing changed.
# Usage: register-broker.sh <bindir>
set -euo pipefail
. "$(dirname "$0")/common.sh"
: "${WINEPREFIX:?WINEPREFIX must name the project prefix}"
bindir=$(cd "${1:?usage: register-broker.sh <bindir>}" && pwd)
[ -f "$bindir/veskobroker.exe" ] || die "no veskobroker.exe in $bindir"
[ -f "$bindir/veskops.dll" ] || die "no veskops.dll in $bindir"

clsid='{2068FDF2-0BE6-47E8-B5C9-CCE78A2FCA9D}'
exe=$(winepath -w "$bindir/veskobroker.exe" 2>/dev/null)
ps=$(winepath -w "$bindir/veskops.dll" 2>/dev/null)
key="HKLM\\Software\\Classes\\CLSID\\$clsid"

# Already registered for this folder: nothing to do (a wine start costs ~1 s).
stamp="$WINEPREFIX/.vesko-broker-registration"
want="$exe|$ps|$(stat -c %Y "$bindir/veskops.dll")"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ] &&
   wine reg query "$key\\LocalServer32" /ve 2>/dev/null | grep -qF "$exe"; then
  exit 0
fi

wine regsvr32 /s "$ps" || die "regsvr32 $ps failed"
wine reg add "$key" /ve /d "VeskoLib broker" /f >/dev/null
wine reg add "$key\\LocalServer32" /ve /d "$exe" /f >/dev/null
printf '%s' "$want" > "$stamp"
log "broker registered: $exe"
