#!/bin/bash
# Puts a private Wine of both widths into DEST, for a machine whose package
# manager cannot install Wine's 32-bit side. The usual cause: a mirror in the
# middle of a sync serves the release's i386 libraries but not yet their
# security updates, which the amd64 ones already have; multiarch wants the
# same version of both, so wine32:i386 stays uninstallable until the mirror
# has caught up.
#
# DEST gets, unpacked and not installed: wine32 and libwine for i386 with the
# i386 libraries they need, resolved in an apt of their own that knows i386
# alone (so the machine's amd64 versions do not enter into it); and wine64 and
# libwine for amd64 at the version the machine has installed, so that both
# halves are one Wine. Wine finds its other half, its DLLs and its data
# relative to its loaders (DEST/usr/lib/wine/wine and wine64); the i386
# libraries come through LD_LIBRARY_PATH (scripts/wine-run), all but the C
# library, which is the machine's libc6:i386. apt fetches each
# package and checks it against the signed indexes of the machine's own
# package sources, with lists and cache in DEST alone: nothing in /etc or
# /var changes. DEST/.version holds the Wine version; run again it starts over.
#
#   bash scripts/wine32/private-wine.sh DEST
set -euo pipefail
mkdir -p "$(dirname "$1")"
dest=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
version=$(dpkg-query -W -f='${Version}' wine64 2>/dev/null) || {
  echo "wine64 is not installed: the private 32-bit side goes with its version" >&2
  exit 1
}
work=$dest.apt
new=$dest.new
rm -rf "$new"
mkdir -p "$new"

# shellcheck source=scripts/private-apt.sh
source "$here/../private-apt.sh"
private_apt "$work" deb APT::Architecture=i386 APT::Architectures::=i386 APT::Install-Recommends=false
private_apt_refresh "$work/update.log"
if ! apt-get "${apt_opts[@]}" install -y --download-only "wine32=$version" "libwine=$version" \
  >"$work/install.log" 2>&1; then
  echo "the i386 packages of Wine $version could not be had:" >&2
  grep -E '^(E|Err):|^ [^ ].* : Depends' "$work/update.log" "$work/install.log" | head -n 5 >&2
  exit 1
fi
# The amd64 half: the installed version's packages from the machine's lists.
mkdir -p "$work/amd64"
if ! (cd "$work/amd64" && apt-get -q -o APT::Sandbox::User=root download \
  "wine64=$version" "libwine:amd64=$version" >"$work/download.log" 2>&1); then
  echo "the amd64 packages of Wine $version could not be had:" >&2
  grep -E '^(E|Err):' "$work/download.log" | head -n 3 >&2
  exit 1
fi
# The C library stays the machine's own (libc6:i386, installed by
# scripts/deps.sh): Wine's loader names /lib/ld-linux.so.2 as its
# interpreter, and that must match the libc.so.6 it finds.
for deb in "$work"/cache/archives/*.deb "$work"/amd64/*.deb; do
  case ${deb##*/} in libc6_*) continue ;; esac
  dpkg-deb -x "$deb" "$new"
done

# What libwine's installation script does: MinGW's zlib1.dll, marked as a
# builtin DLL of Wine's, beside the DLLs of each width.
for pair in i686:i386 x86_64:x86_64; do
  zlib=$new/usr/${pair%%:*}-w64-mingw32/lib/zlib1.dll
  [ -f "$zlib" ] || zlib=/usr/${pair%%:*}-w64-mingw32/lib/zlib1.dll
  for dir in "$new"/usr/lib/*-linux-gnu/wine/"${pair##*:}"-windows; do
    [ -d "$dir" ] || continue
    {
      head -c 64 "$zlib"
      printf 'Wine builtin DLL'
      printf '\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0'
      tail -c +97 "$zlib"
    } >"$dir/zlib1.dll"
  done
done

for f in usr/lib/wine/wine usr/lib/wine/wine64 usr/lib/i386-linux-gnu/wine/i386-unix/ntdll.so \
  usr/lib/x86_64-linux-gnu/wine/x86_64-unix/ntdll.so usr/share/wine/wine.inf; do
  [ -e "$new/$f" ] || { echo "the private Wine lacks $f" >&2; exit 1; }
done
# (Whether its 32-bit loader runs, natively or through qemu, scripts/deps.sh
# checks next.)
echo "$version" >"$new/.version"
rm -rf "$dest" "$work"
mv "$new" "$dest"
echo "Wine $version (its 32-bit side from the release's i386 packages) in $dest"
