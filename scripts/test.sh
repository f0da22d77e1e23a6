#!/usr/bin/env bash
# Builds the 64-bit target with its tests, prepares the test Wine prefix
# (broker registration included) and runs every test under Wine.
set -euo pipefail
. "$(dirname "$0")/common.sh"
start=$(date +%s)
bash "$VESKO_ROOT/scripts/build.sh" x64
export WINEPREFIX=$(bash "$VESKO_ROOT/scripts/wine-prefix.sh" test)
dir=$VESKO_BUILD/x64
if [ -x "$VESKO_ROOT/scripts/register-broker.sh" ] && [ -f "$dir/bin-test/veskobroker.exe" ]; then
  bash "$VESKO_ROOT/scripts/register-broker.sh" "$dir/bin-test"
fi
status=0
(cd "$dir" && ctest --output-on-failure --timeout 300 "$@") || status=$?
WINEPREFIX=$WINEPREFIX wineserver -k 2>/dev/null || true
log "test suite finished in $(( $(date +%s) - start )) s"
exit $status
