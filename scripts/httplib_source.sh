#!/bin/bash
# Puts cpp-httplib's single header (the whole library) into DEST for the
# MinGW builds of zubtool.exe: Debian's libcpp-httplib-dev ships the library
# split into a header of declarations and a Linux shared library, so the
# cross builds take Debian's source package of the same version instead,
# fetched with apt into DEST alone (nothing in /etc or /var is touched).
#   bash scripts/httplib_source.sh DEST
set -euo pipefail
dest=$1
work=$dest/.apt
rm -rf "$work"
mkdir -p "$work/lists/partial" "$work/cache" "$work/src"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main" \
  > "$work/sources.list"
apt_opts=(-o "Dir::Etc::sourcelist=$work/sources.list" -o Dir::Etc::sourceparts=/nonexistent
  -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache" -o APT::Sandbox::User=root -q)
apt-get "${apt_opts[@]}" update >"$work/update.log" 2>&1
(cd "$work/src" && apt-get "${apt_opts[@]}" source --download-only cpp-httplib >"$work/source.log" 2>&1)
(cd "$work/src" && dpkg-source -x --no-check ./*.dsc tree >"$work/extract.log" 2>&1)
cp "$work/src/tree/httplib.h" "$work/src/tree/LICENSE" "$dest/"
rm -rf "$work"
echo "cpp-httplib $(grep -m1 -o '"[0-9.]*"' "$dest/httplib.h") in $dest"
