#!/bin/bash
# Puts cpp-httplib's single header (the whole library) into DEST for the
# MinGW builds of zubtool.exe: the distribution's libcpp-httplib-dev ships the
# library split into a header of declarations and a Linux shared library, so
# the cross builds take the distribution's source package instead. apt fetches
# and checks it against the signed source index of the machine's own package
# sources (each of its `deb` entries read as `deb-src`), with lists and cache
# in DEST alone: nothing in /etc or /var is touched. Run by scripts/deps.sh at
# set-up time, never while configuring.
#   bash scripts/httplib_source.sh DEST
set -euo pipefail
dest=$1
work=$dest/.apt
# shellcheck source=scripts/private-apt.sh
source "$(dirname "${BASH_SOURCE[0]}")/private-apt.sh"
private_apt "$work" deb-src
mkdir -p "$work/src"
private_apt_refresh "$work/update.log"
if ! (cd "$work/src" && apt-get "${apt_opts[@]}" source --download-only cpp-httplib >"$work/source.log" 2>&1); then
  echo "apt-get source cpp-httplib failed:" >&2
  grep -E '^(E|W|Err):' "$work/update.log" "$work/source.log" | head -n 4 >&2
  exit 1
fi
(cd "$work/src" && dpkg-source -x --no-check ./*.dsc tree >"$work/extract.log" 2>&1)
cp "$work/src/tree/httplib.h" "$work/src/tree/LICENSE" "$dest/"
rm -rf "$work"
echo "cpp-httplib $(grep -m1 -o '"[0-9.]*"' "$dest/httplib.h") in $dest"
