#!/usr/bin/env bash
# Installs the Debian packages the build needs; does nothing when they are there.
set -euo pipefail
. "$(dirname "$0")/common.sh"
pkgs=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools wine wine64
      libwine-dev googletest cmake ninja-build dpkg-dev perl make clang-format cpio fp-utils-3.2.2
      ccache locales xorriso 7zip genisoimage)
missing=()
for p in "${pkgs[@]}"; do dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p"); done
if ((${#missing[@]})); then
  log "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
# Wine takes a process's ANSI code page from its Unix locale: the tests run a
# probe under Japanese (code page 932, double-byte names).
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf8'; then
  log "generating the locale ja_JP.UTF-8"
  localedef -i ja_JP -c -f UTF-8 -A /usr/share/locale/locale.alias ja_JP.UTF-8
fi
# The posix-threads variant of mingw is the one the project builds with.
for t in x86_64-w64-mingw32 i686-w64-mingw32; do
  for tool in gcc g++; do
    [ -x "/usr/bin/$t-$tool-posix" ] || die "$t-$tool-posix missing after install"
  done
done
