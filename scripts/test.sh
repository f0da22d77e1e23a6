#!/usr/bin/env bash
# Builds the 64-bit target with its tests, prepares the test Wine prefix
# (broker registration included) and runs every test under Wine.
set -euo pipefail
. "$(dirname "$0")/common.sh"
start=$(date +%s)
dir=$VESKO_BUILD/x64
prepare_x64 test "$dir/bin-test"
status=0
(cd "$dir" && ctest --output-on-failure --timeout 300 "$@") || status=$?
WINEPREFIX=$WINEPREFIX wineserver -k 2>/dev/null || true
log "test suite finished in $(( $(date +%s) - start )) s"
exit $status
