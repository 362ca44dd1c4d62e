#!/usr/bin/env bash
# Lets 32-bit Windows programs run under Wine on an x86_64 kernel built
# without 32-bit (IA32) support, where every i386 ELF program, Wine's own
# loader among them, fails with "Exec format error".
#
# i386 programs are handed to qemu-i386 through binfmt_misc. qemu 7.2 (Debian
# 12) cannot start Wine, so qemu-user comes from bookworm-backports. qemu
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

# qemu-user 10 from backports.
if ! "$qemu" --version 2>/dev/null | grep -qE 'version ([1-9][0-9])\.'; then
  if ! grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    cat > /etc/apt/sources.list.d/bookworm-backports.sources <<'SRC'
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  fi
  apt-get update -q
  apt-get install -y -q --no-install-recommends -t bookworm-backports qemu-user
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
