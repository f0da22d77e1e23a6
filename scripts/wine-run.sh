#!/usr/bin/env bash
# Runs a Windows program under Wine in the prefix named by WINEPREFIX
# (ctest sets it for the test programs). Used as CMAKE_CROSSCOMPILING_EMULATOR.
set -euo pipefail
. "$(dirname "$0")/common.sh"
: "${WINEPREFIX:?WINEPREFIX must name the project prefix}"
exec wine "$@"
