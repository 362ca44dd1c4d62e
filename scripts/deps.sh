#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when run as
# root; otherwise prints the command that would. Also makes sure 32-bit
# Windows programs run under Wine and that Wine's prefix exists, so that tests
# run in parallel do not race to create it.
#
#   deps.sh [all]        everything scripts/test.sh needs (the default)
#   deps.sh demo-native  only what the demo's native session needs
#   deps.sh windows      the Windows compilers and Wine, for the DLLs' sessions
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
group="${1:-all}"

demo_native=(cmake make g++ pkg-config libusb-1.0-0-dev python3)
# (Both thread models of MinGW g++: posix for the tree, win32 for the virtual
# reader DLLs that load on XP; dpkg-dev unpacks cpp-httplib's source for
# zubtool.exe, scripts/httplib_source.sh.)
windows=(binutils-mingw-w64-i686 g++-mingw-w64-i686 g++-mingw-w64-i686-posix g++-mingw-w64-i686-win32
  binutils-mingw-w64-x86-64 g++-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-win32
  wine wine32:i386 wine64
  dpkg-dev)
tests=(clang libclang-rt-14-dev python3-pytest python3-pip python3-setuptools python3-wheel python3-build python3-venv mypy dpkg-dev lintian libgtest-dev nlohmann-json3-dev libbenchmark-dev valgrind gcovr
  pcscd pcsc-tools python3-pyscard libpcsclite-dev
  fp-compiler mono-mcs mono-runtime libmono-i18n-cjk4.0-cil umockdev libumockdev-dev
  libcpp-httplib-dev)
# The browser tests: chromium, and node and npm from Debian unless the machine
# has its own (Debian's npm would conflict with one installed from elsewhere).
tests+=(chromium)
command -v node >/dev/null || tests+=(nodejs)
command -v npm >/dev/null || tests+=(npm)
case "$group" in
  demo-native) packages=("${demo_native[@]}") ;;
  windows) packages=("${windows[@]}") ;;
  all) packages=("${demo_native[@]}" "${tests[@]}" "${windows[@]}") ;;
  *) echo "usage: $0 [all|demo-native|windows]" >&2; exit 2 ;;
esac

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }

missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  cmd="dpkg --add-architecture i386 && apt-get update && apt-get install -y ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages. Install them with:" >&2
    echo "  sudo sh -c '$cmd'" >&2
    exit 1
  fi
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  apt-get update -q
  apt-get install -y -q "${missing[@]}"
fi

# The native group needs no Wine.
[ "$group" = demo-native ] && exit 0

# Wine's loader is a 32-bit Linux program. A kernel without 32-bit support
# cannot start it; qemu-i386 then runs it.
if [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ] || ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "This kernel cannot run 32-bit programs. Let qemu run them with:" >&2
    echo "  sudo bash $root/scripts/wine32/setup-qemu.sh" >&2
    exit 1
  fi
  bash "$root/scripts/wine32/setup-qemu.sh"
fi

# The same default as scripts/wine-run: inside the build tree.
export WINEPREFIX="${WINEPREFIX:-$root/build/wineprefix}"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Creating the Wine prefix (once) in $WINEPREFIX..."
  mkdir -p "$WINEPREFIX"
  "$root/scripts/wine-run" wineboot --init
  # Its registry is on disk once the server has stopped.
  "$root/scripts/wine-run" --server-down
fi
