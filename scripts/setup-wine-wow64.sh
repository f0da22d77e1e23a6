#!/usr/bin/env bash
# Builds Wine 8.0 from Debian's source package in its "new WoW64" mode
# (--enable-archs=i386,x86_64), once per machine, and caches the install
# under $VESKO_CACHE/wine-wow64/<version>. With it the 32-bit product runs
# here: 32-bit PE code executes inside a 64-bit Unix process, so neither
# wine32 nor 32-bit ELF support is needed.
#
# Headless and trimmed: no X11, sound, GL, Vulkan, GStreamer or printing, and
# none of the large modules nothing here loads. About 40 minutes on 2 cores,
# ~350 MB installed. Prints the install's bin folder on success.
# Usage: setup-wine-wow64.sh [--print]   (--print: only print the folder,
#        exit 1 when the build is not cached yet)
set -euo pipefail
. "$(dirname "$0")/common.sh"

version=8.0~repack-4
dest=$VESKO_CACHE/wine-wow64/${version/\~/-}
if [ -f "$dest/.built" ]; then
  echo "$dest/bin"
  exit 0
fi
[ "${1:-}" = --print ] && exit 1

work=$VESKO_CACHE/wine-wow64/work
src=$work/src
bld=$work/build
# VESKO_WINE_NICE: the niceness of the build (default 10, so that other work
# on the machine stays responsive).
nice_=(nice -n "${VESKO_WINE_NICE:-10}")
jobs=$(nproc)

log "building Wine $version in WoW64 mode for the 32-bit target (about 40 min, once)"
pkgs=(dpkg-dev autoconf autotools-dev make gcc pkg-config flex bison gettext perl python3
      libxml-libxml-perl unicode-data khronos-api libvulkan-dev fontforge-nox
      gcc-mingw-w64-i686-posix gcc-mingw-w64-x86-64-posix libz-mingw-w64-dev
      libgnutls28-dev libfreetype-dev)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  log "installing: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Source: Debian's own package (the repack removed generated files, which
# debian/rules regenerates; we do the same below).
mkdir -p "$work/dl"
dsc=$work/dl/wine_${version#*:}.dsc
if [ ! -f "$dsc" ]; then
  bash "$VESKO_ROOT/scripts/setup-deb-src.sh"
  (cd "$work/dl" && apt-get source --download-only -qq "wine=$version" >/dev/null)
fi
rm -rf "$src" "$bld"
dpkg-source -x "$dsc" "$src" >/dev/null   # applies debian/patches/series

(
  cd "$src"
  ./debian/scripts/generate server/trace.generated make_requests
  ./debian/scripts/generate server/request.generated make_requests
  "${nice_[@]}" ./tools/make_unicode
  ./tools/make_requests
  (cd dlls/dsound && ./make_fir)
  (cd dlls/opengl32 && ./make_opengl)
  (cd dlls/winevulkan && python3 ./make_vulkan -x /usr/share/vulkan/registry/vk.xml)
  ln -sf /usr/share/misc/config.sub tools/config.sub
  ln -sf /usr/share/misc/config.guess tools/config.guess
  rm -rf libs/zlib   # Debian builds against libz-mingw-w64
  # Debian's multiarch install paths would send fonts to /usr/share/wine:
  # keep the install self-contained under its own prefix.
  patch -s -R -p1 < debian/patches/debianization/install-paths.patch
  # Debian generates version.h in the build folder, which only an in-tree
  # build finds.
  printf '#define wine_build "wine-8.0 (Debian %s, WoW64)"\n' "$version" > dlls/ntdll/unix/version.h
  # The icon patch names SVG files that debian/rules creates as links.
  svg=dlls/shell32/resources
  while read -r from to; do ln -sf "../../$from" "$to"; done <<LINKS
dlls/user32/resources/oic_hand.svg dlls/display.drv16/oic_hand.svg
dlls/user32/resources/oic_bang.svg dlls/comctl32/idi_tt_warn_sm.svg
dlls/user32/resources/oic_note.svg dlls/comctl32/idi_tt_info_sm.svg
dlls/user32/resources/oic_hand.svg dlls/comctl32/idi_tt_error_sm.svg
$svg/move.svg dlls/comctl32/idi_dragarrow.svg
$svg/image.svg programs/regedit/bin.svg
$svg/folder.svg programs/regedit/folder.svg
$svg/document.svg programs/regedit/string.svg
$svg/mycomputer.svg programs/regedit/computer.svg
$svg/folder_open.svg programs/regedit/folderopen.svg
$svg/window.svg programs/taskmgr/window.svg
$svg/window.svg programs/taskmgr/windowsm.svg
$svg/drive.svg dlls/comdlg32/hdisk.svg
$svg/folder.svg dlls/comdlg32/folder.svg
$svg/network.svg dlls/comdlg32/network.svg
$svg/folder_open.svg dlls/comdlg32/folder2.svg
$svg/disk_drive.svg dlls/comdlg32/floppy.svg
$svg/optical_drive.svg dlls/comdlg32/cdrom.svg
LINKS
  for sfd in fonts/*.sfd; do
    "${nice_[@]}" fontforge -quiet -script fonts/genttf.ff "$sfd" "${sfd%.sfd}.ttf" 2>/dev/null
  done
  # The repack dropped every .ico; headless, no icon is ever shown, so each
  # one a resource script names becomes a minimal valid 16x16 icon.
  perl -MFile::Find -MFile::Basename -e '
    my $bmp = pack("VVVvvVVVVVV", 40, 16, 32, 1, 32, 0, 1088, 0, 0, 0, 0)
            . ("\x80\x80\x80\xff" x 256) . ("\0" x 64);
    my $ico = pack("vvv", 0, 1, 1) . pack("CCCCvvVV", 16, 16, 0, 0, 1, 32, length $bmp, 22) . $bmp;
    find({ no_chdir => 1, wanted => sub {
      return unless /\.rc$/ && -f;
      my $dir = dirname($_);
      open my $in, "<", $_ or return;
      while (my $line = <$in>) {
        next if $line =~ m{^\s*(//|/\*)};
        while ($line =~ /"?([\w.\/-]+\.ico)"?/g) {
          my $f = "$dir/$1";
          next if -e $f;
          open my $out, ">", $f or die "$f: $!"; binmode $out; print $out $ico; close $out;
        }
      }
    }}, ".");'
  autoconf -f
  autoheader -f
)

# Modules nothing here loads; each PE module is built twice (i386 and
# x86_64), so leaving these out saves most of the build.
disabled=(
  wined3d d3d8 d3d9 d3d10 d3d10_1 d3d10core d3d11 d3d12 ddraw ddrawex d3drm d3dxof dxgi d2d1
  d3dx10_{33..43} d3dx11_42 d3dx11_43 d3dcompiler_{33..43} d3dcompiler_46 d3dcompiler_47
  d3d8thk d3dx9_{24..43} dxdiagn winevulkan vulkan-1 evr wbemprox wmic
  winex11.drv winemac.drv wineps.drv winegstreamer winepulse.drv winealsa.drv wineoss.drv
  winecoreaudio.drv mf mfplat mfreadwrite mfmediaengine mfsrcsnk mf3216 quartz qcap qedit
  qdvd amstream wmvcore qasf mfplay wmp wmphoto mp3dmod l3codeca.acm msgsm32.acm dmband
  dmcompos dmime dmloader dmscript dmstyle dmsynth dmusic dmusic32 dswave dplay dplayx
  dpnaddr dpnlobby dpnet dpnhpast dpnhupnp dpvoice dpwsockx xaudio2_{0..9}
  xactengine2_0 xactengine2_4 xactengine2_7 xactengine2_9 xactengine3_{0..7}
  x3daudio1_{0..7} xapofx1_{1..5}
  msvcr70 msvcr71 msvcr80 msvcr90 msvcr100 msvcr110 msvcr120 msvcr120_app msvcrt20
  msvcrt40 msvcrtd crtdll msvcp60 msvcp70 msvcp71 msvcp80 msvcp90 msvcp100 msvcp110
  msvcp120 msvcp120_app msvcp140 msvcp140_1 msvcp140_atomic_wait msvcm80 msvcm90 vcomp
  vcomp90 vcomp100 vcomp110 vcomp120 vcomp140 concrt140 vcruntime140 vcruntime140_1
  mshtml npmshtml jscript vbscript mshtml.tlb vkd3d faudio jxr mpg123 gsm
)
without=(x xcomposite xcursor xfixes xinerama xinput xinput2 xrandr xrender xshape xshm
         xxf86vm opengl osmesa vulkan opencl alsa pulse oss coreaudio gstreamer sdl cups sane
         gphoto v4l2 capi pcap usb udev dbus krb5 gssapi netapi ldap pcsclite fontconfig
         unwind cms)
mkdir -p "$bld"
(
  cd "$bld"
  args=(--prefix="$dest" --enable-archs=i386,x86_64 --disable-tests --disable-win16
        --with-mingw --with-gnutls --with-freetype ZLIB_PE_LIBS=z CFLAGS=-O2 CROSSCFLAGS=-O2)
  for m in "${disabled[@]}"; do args+=("--disable-$m"); done
  for w in "${without[@]}"; do args+=("--without-$w"); done
  "${nice_[@]}" "$src/configure" "${args[@]}" > configure.log 2>&1 \
    || { tail -30 configure.log; die "Wine configure failed"; }
  log "Wine configured; compiling"
  VENDOR="Debian $version" "${nice_[@]}" make -j"$jobs" > make.log 2>&1 \
    || { grep -n -A8 -E 'error' make.log | tail -40; die "Wine build failed"; }
  rm -rf "$dest"
  "${nice_[@]}" make install > install.log 2>&1 || { tail -30 install.log; die "Wine install failed"; }
  if grep -q ' /usr/' install.log; then die "Wine install wrote outside $dest"; fi
)
# Debian drops the TrueType installs (its fonts-wine ships them): add the
# ones Wine itself installs.
for sfd in $(grep -l 'makedep install' "$src"/fonts/*.sfd); do
  install -m 644 "${sfd%.sfd}.ttf" "$dest/share/wine/fonts/"
done
# user32 & co. link zlib1.dll from libz-mingw-w64; Wine loads it only when it
# is marked as a Wine builtin, as Debian's postinst does.
for pair in i686:i386 x86_64:x86_64; do
  in=/usr/${pair%%:*}-w64-mingw32/lib/zlib1.dll
  out=$dest/lib/wine/${pair##*:}-windows/zlib1.dll
  { head -c 64 "$in"; printf 'Wine builtin DLL'; head -c 16 /dev/zero; tail -c +97 "$in"; } > "$out"
done
[ -e "$dest/bin/wine" ] || ln -s wine64 "$dest/bin/wine"

# A 32-bit program must run before the build counts as done.
check=$work/check-prefix
rm -rf "$check"
(
  export WINEPREFIX=$check
  "$dest/bin/wine" wineboot -i >/dev/null 2>&1 || true
  "$dest/bin/wine" 'C:\windows\syswow64\cmd.exe' /c echo ok | grep -q ok \
    || die "the WoW64 Wine does not run 32-bit programs"
  "$dest/bin/wineserver" -k 2>/dev/null || true
)
rm -rf "$check" "$src" "$bld"
touch "$dest/.built"
log "Wine WoW64 ready in $dest ($(du -sh "$dest" | cut -f1))"
echo "$dest/bin"
