#!/usr/bin/env bash
# Installs and builds everything the project needs that a fresh machine
# lacks: Debian packages, then ACE for each architecture asked for.
# Usage: setup.sh [x64] [x86]   (default x64). Quick when nothing is missing.
set -euo pipefail
here=$(dirname "$0")
bash "$here/setup-packages.sh"
for arch in "${@:-x64}"; do bash "$here/setup-ace.sh" "$arch"; done
