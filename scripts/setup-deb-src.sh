#!/usr/bin/env bash
# Makes Debian's source packages reachable (deb-src entries for the same
# archive as the binary packages), so that `apt-get source` works. Quick and
# silent when they already are.
set -euo pipefail
if grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ || grep -qs '^deb-src' /etc/apt/sources.list; then
  exit 0
fi
sed -e 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
  > /etc/apt/sources.list.d/vesko-src.sources
apt-get update -qq
