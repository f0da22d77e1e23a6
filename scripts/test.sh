#!/usr/bin/env bash
# Builds one target with its tests, prepares its test Wine prefix (broker
# registration included) and runs every test under Wine.
# Usage: test.sh [x64|x86] [ctest arguments...]   (default x64)
# The 32-bit suite runs under Wine's WoW64 build, made once per machine by
# scripts/setup-wine-wow64.sh (about 40 minutes the first time).
set -euo pipefail
. "$(dirname "$0")/common.sh"
arch=x64
case ${1:-} in x64|x86) arch=$1; shift ;; esac
start=$(date +%s)
dir=$VESKO_BUILD/$arch
prepare "$arch" test "$dir/bin-test"
status=0
(cd "$dir" && ctest --output-on-failure --timeout 300 "$@") || status=$?
wineserver -k 2>/dev/null || true
log "$arch test suite finished in $(( $(date +%s) - start )) s"
exit $status
