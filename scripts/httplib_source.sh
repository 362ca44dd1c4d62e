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
rm -rf "$work"
mkdir -p "$work/lists/partial" "$work/cache" "$work/src" "$work/parts"

# The machine's sources, as source entries.
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -f "$f" ] && sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$f"
done >"$work/sources.list"
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] && sed -E 's/^Types:.*/Types: deb-src/' "$f" >"$work/parts/$(basename "$f")"
done

apt_opts=(-o "Dir::Etc::sourcelist=$work/sources.list" -o "Dir::Etc::sourceparts=$work/parts"
  -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache" -o APT::Sandbox::User=root -q)
# A mirror in the middle of a sync fails a refresh now and then.
tries=${MZ_APT_TRIES:-3}
for ((n = 1; n <= tries; n++)); do
  apt-get "${apt_opts[@]}" update >"$work/update.log" 2>&1 && break
  [ "$n" -lt "$tries" ] && sleep "${MZ_APT_PAUSE:-15}"
done
if ! (cd "$work/src" && apt-get "${apt_opts[@]}" source --download-only cpp-httplib >"$work/source.log" 2>&1); then
  echo "apt-get source cpp-httplib failed:" >&2
  grep -E '^(E|W|Err):' "$work/update.log" "$work/source.log" | head -n 4 >&2
  exit 1
fi
(cd "$work/src" && dpkg-source -x --no-check ./*.dsc tree >"$work/extract.log" 2>&1)
cp "$work/src/tree/httplib.h" "$work/src/tree/LICENSE" "$dest/"
rm -rf "$work"
echo "cpp-httplib $(grep -m1 -o '"[0-9.]*"' "$dest/httplib.h") in $dest"
