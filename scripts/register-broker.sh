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
# A 32-bit client looks the class up in the 32-bit registry view, COM's
# launcher in the 64-bit one: a 32-bit broker is written into both.
views=(/reg:64)
[ "$(pe_arch "$bindir/veskobroker.exe")" = x86 ] && views+=(/reg:32)
for view in "${views[@]}"; do
  wine reg add "$key" /ve /d "VeskoLib broker" /f "$view" >/dev/null
  wine reg add "$key\\LocalServer32" /ve /d "$exe" /f "$view" >/dev/null
done
printf '%s' "$want" > "$stamp"
log "broker registered: $exe"
