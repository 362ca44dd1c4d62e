#!/usr/bin/env bash
# Lets 32-bit Windows programs run under Wine on an x86_64 kernel built
# without 32-bit (IA32) support, where every i386 ELF program, Wine's own
# loader among them, fails with "Exec format error".
#
# i386 programs are handed to qemu-i386 through binfmt_misc. qemu 7.2 (Debian
# 12) cannot start Wine, so qemu-user then comes from the backports suite. qemu
# leaves the trap number out of the signal frames it builds, and Wine picks the
# Windows exception from that number: without trapfix.c (preloaded by
# scripts/wine-run) every access violation would arrive as an illegal
# instruction and Wine's own exception handling would break.
#
# Run as root. Safe to run again; the binfmt entry is lost at every boot.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
export DEBIAN_FRONTEND=noninteractive
qemu=/usr/bin/qemu-i386
shim_dir=/usr/local/lib/wine-trapfix

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }

# A qemu-user that starts Wine: the distribution's own where it is new enough
# (8 or later), else its backports suite (Debian 12's qemu is 7.2), read from
# a private copy of the machine's sources: nothing is written into /etc/apt.
qemu_major() { "$qemu" --version 2>/dev/null | sed -n 's/.*version \([0-9]*\)\..*/\1/p' | head -n 1; }
candidate_major() { apt-cache policy qemu-user "$@" 2>/dev/null | sed -n 's/^ *Candidate: *\([0-9]*:\)\{0,1\}\([0-9]*\)\..*/\2/p'; }
if [ "$(qemu_major)" -lt 8 ] 2>/dev/null || [ -z "$(qemu_major)" ]; then
  apt_opts=()
  if [ "$(candidate_major)" -lt 8 ] 2>/dev/null || [ -z "$(candidate_major)" ]; then
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    uri=$(grep -rhsoE 'https?://[^ ]+/debian/?( |$)' /etc/apt/sources.list /etc/apt/sources.list.d/*.sources \
      /etc/apt/sources.list.d/*.list | head -n 1 | tr -d ' ')
    if [ -z "$codename" ] || [ -z "$uri" ]; then
      echo "setup-qemu.sh: the distribution's qemu-user is older than 8 and no backports suite is known" >&2
      exit 1
    fi
    parts=$(mktemp -d)
    trap 'rm -rf "$parts"' EXIT
    cp /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list "$parts"/ 2>/dev/null || true
    printf 'Types: deb\nURIs: %s\nSuites: %s-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
      "$uri" "$codename" >"$parts/mz-backports.sources"
    apt_opts=(-o "Dir::Etc::sourceparts=$parts" -t "$codename-backports")
    apt-get -q "${apt_opts[@]:0:2}" update || echo "setup-qemu.sh: going on with the lists at hand" >&2
  fi
  apt-get install -y -q --no-install-recommends "${apt_opts[@]}" qemu-user
fi

# binfmt_misc: i386 ELF programs run through qemu-i386.
[ -e /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
entry=/proc/sys/fs/binfmt_misc/qemu-i386
if [ -e "$entry" ] && ! grep -qx "interpreter $qemu" "$entry"; then
  echo -1 > "$entry"  # an entry for another qemu
fi
if [ ! -e "$entry" ]; then
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F' \
    > /proc/sys/fs/binfmt_misc/register
fi
grep -q enabled "$entry"

# The trap-number shim: built for i386, with an empty x86_64 twin so that the
# 64-bit wineserver, which inherits LD_PRELOAD, loads something harmless.
installed gcc-multilib || apt-get install -y -q --no-install-recommends gcc-multilib
mkdir -p "$shim_dir/lib/i386-linux-gnu" "$shim_dir/lib/x86_64-linux-gnu"
gcc -m32 -O2 -Wall -shared -fPIC -fno-stack-protector \
  -o "$shim_dir/lib/i386-linux-gnu/trapfix.so" "$here/trapfix.c" -ldl
echo '' | gcc -x c -O2 -shared -fPIC -o "$shim_dir/lib/x86_64-linux-gnu/trapfix.so" -
echo "32-bit Wine runs through $("$qemu" --version | head -n1)"
