#!/usr/bin/env bash
# Installs what building and testing need, part by part, when run as root;
# otherwise prints the one command that would and exits 1.
#
#   deps.sh [--status FILE] [PART...]
#
# Parts (the default is all of test.sh's: native windows64 windows reliability):
#   demo-native  the demo's native session: compilers, CMake, libusb, JSON
#   native       the native build and all of its tests (demo-native and more)
#   windows64    the 64-bit Windows build under 64-bit Wine (no foreign
#                architecture); also fetches cpp-httplib's whole header
#   windows      the 32-bit Windows build under 32-bit Wine: adds the i386
#                architecture, and lets qemu run 32-bit programs where the
#                kernel cannot
#   reliability  the sanitizers, Valgrind and coverage
#   package      what scripts/package.sh needs
#   perf         what scripts/perf.sh needs
#
# A package mirror in the middle of a sync fails an index refresh now and
# then: the refresh is tried a few times (MZ_APT_TRIES, default 3, with
# MZ_APT_PAUSE seconds between, default 15), then the packages are installed
# with the lists at hand. A part that still cannot be installed is named, with
# its packages and apt's reason; every other part is installed all the same,
# and the exit status is 3. With --status FILE, each part's outcome is
# appended to FILE ("PART ok" or "PART failed: REASON") for scripts/test.sh.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

status_file=
if [ "${1:-}" = --status ]; then
  status_file=$2
  shift 2
fi
parts=("$@")
[ ${#parts[@]} -gt 0 ] || parts=(native windows64 windows reliability)
[ "${parts[*]}" = all ] && parts=(native windows64 windows reliability)

# (cpp-httplib and pcsc-lite's headers: configuring the tree needs them, for
# zubtool's workbench and the PC/SC driver.)
demo_native=(cmake make g++ pkg-config libusb-1.0-0-dev python3 nlohmann-json3-dev
  libcpp-httplib-dev libpcsclite-dev)
native=("${demo_native[@]}" libgtest-dev libbenchmark-dev
  python3-pytest python3-pip python3-setuptools python3-wheel python3-build python3-venv mypy
  dpkg-dev lintian pcscd pcsc-tools python3-pyscard fpc-source
  fp-compiler mono-mcs mono-runtime libmono-i18n-cjk4.0-cil umockdev libumockdev-dev
  groff-base chromium)
# node and npm from the distribution unless the machine has its own (the
# distribution's npm would conflict with one installed from elsewhere).
command -v node >/dev/null || native+=(nodejs)
command -v npm >/dev/null || native+=(npm)
# Both thread models of MinGW g++: posix for the tree, win32 for the virtual
# reader DLLs that load on XP. googletest's sources are compiled for Windows;
# dpkg-dev unpacks cpp-httplib's source package.
windows64=("${demo_native[@]}" binutils-mingw-w64-x86-64 g++-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix
  g++-mingw-w64-x86-64-win32 wine wine64 googletest dpkg-dev)
windows=("${demo_native[@]}" binutils-mingw-w64-i686 g++-mingw-w64-i686 g++-mingw-w64-i686-posix
  g++-mingw-w64-i686-win32 wine wine32:i386 googletest dpkg-dev)
reliability=(clang libclang-rt-dev valgrind gcovr)
package=("${windows64[@]}" "${windows[@]}" python3-build python3-wheel python3-setuptools
  python3-venv mono-mcs zip)
perf=("${demo_native[@]}" libgtest-dev libbenchmark-dev valgrind)

describe() {
  case $1 in
    demo-native) echo "the demo's native session" ;;
    native) echo "the native build and its tests" ;;
    windows64) echo "the 64-bit Windows build and its tests under Wine" ;;
    windows) echo "the 32-bit Windows build and its tests under Wine" ;;
    reliability) echo "the sanitizer, Valgrind and coverage runs" ;;
    package) echo "the Windows package" ;;
    perf) echo "the performance measurements" ;;
  esac
}
part_packages() {
  case $1 in
    demo-native | native | windows64 | windows | reliability | package | perf)
      local -n list="${1//-/_}"
      printf '%s\n' "${list[@]}"
      ;;
    *)
      echo "usage: $0 [--status FILE] [demo-native|native|windows64|windows|reliability|package|perf|all]..." >&2
      exit 2
      ;;
  esac
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }
# Where wine32:i386 could not be installed, a private Wine of the same
# version in the build tree stands in for it (scripts/wine32/private-wine.sh).
private_wine=$root/build/third_party/wine
private_wine_ready() {
  [ -f "$private_wine/.version" ] &&
    [ "$(cat "$private_wine/.version")" = "$(dpkg-query -W -f='${Version}' wine64 2>/dev/null)" ]
}
had() {
  installed "$1" || { [ "$1" = wine32:i386 ] && private_wine_ready; }
}
needs_i386() { [[ " $* " == *":i386 "* ]]; }
have_i386() { dpkg --print-foreign-architectures | grep -qx i386; }

declare -A part_missing
all_missing=()
for part in "${parts[@]}"; do
  list=()
  while read -r p; do had "$p" || list+=("$p"); done < <(part_packages "$part")
  part_missing[$part]="${list[*]}"
  for p in "${list[@]}"; do
    [[ " ${all_missing[*]} " == *" $p "* ]] || all_missing+=("$p")
  done
done

if [ ${#all_missing[@]} -gt 0 ] && [ "$(id -u)" -ne 0 ]; then
  arch=
  needs_i386 "${all_missing[@]}" && ! have_i386 && arch="dpkg --add-architecture i386 && "
  echo "Missing packages. Install them with:" >&2
  echo "  sudo sh -c '${arch}apt-get update && apt-get install -y ${all_missing[*]}'" >&2
  exit 1
fi

record() {
  [ -z "$status_file" ] || echo "$1" >>"$status_file"
}
declare -A failed
fail_part() {
  failed[$1]=$2
  echo "deps.sh: $1 ($(describe "$1")) cannot be set up: $2" >&2
}

# Whether the package lists need a refresh: none at all (a fresh machine),
# none for an architecture now configured, or older than an hour.
lists_stale() {
  local lists=/var/lib/apt/lists
  compgen -G "$lists/*_Packages*" >/dev/null || return 0
  if have_i386 && ! compgen -G "$lists/*binary-i386_Packages*" >/dev/null; then return 0; fi
  [ -n "$(find "$lists" -maxdepth 0 -mmin +60)" ]
}

# apt-get update, tried again after a pause while it fails (a mirror in the
# middle of a sync); a last failure is only reported, and kept in
# refresh_failure for the reasons given below.
refreshed=
refresh_failure=
refresh_lists() {
  local tries=${MZ_APT_TRIES:-3} pause=${MZ_APT_PAUSE:-15} n log
  refreshed=1
  log=$(mktemp)
  for ((n = 1; n <= tries; n++)); do
    if apt-get update -q >"$log" 2>&1; then
      rm -f "$log"
      refresh_failure=
      return 0
    fi
    echo "deps.sh: refreshing the package lists failed (try $n of $tries):" >&2
    grep -E '^(E|W|Err):' "$log" | head -n 4 | sed 's/^/  /' >&2
    refresh_failure=$(grep -m1 -E '^E:' "$log" | cut -c1-300)
    [ "$n" -lt "$tries" ] && sleep "$pause"
  done
  rm -f "$log"
  echo "deps.sh: going on with the package lists at hand" >&2
}

# apt's reason for a failed install, in a few lines: its errors, then the
# first unmet dependencies.
apt_reason() {
  {
    grep -E '^E:' "$1" | head -n 2
    grep -E '^ [^ ].* : (Depends|PreDepends|Conflicts|Breaks)' "$1" | head -n 3 | sed 's/^ *//'
  } | paste -sd ';' | sed 's/;/; /g' | cut -c1-700
}

install_packages() {
  local log rc
  log=$(mktemp)
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@" >"$log" 2>&1
  rc=$?
  if [ $rc -ne 0 ]; then
    reason=$(apt_reason "$log")
    [ -n "$reason" ] || reason=$(tail -n 3 "$log" | paste -sd ';')
  fi
  rm -f "$log"
  return $rc
}

if [ ${#all_missing[@]} -gt 0 ]; then
  echo "Installing: ${all_missing[*]}"
  if needs_i386 "${all_missing[@]}" && ! have_i386; then
    dpkg --add-architecture i386
  fi
  if lists_stale; then refresh_lists; fi
  # One transaction for everything; where it fails, with lists that were not
  # refreshed now, once more after a refresh; then part by part, so that a
  # part that cannot be had keeps none of the others from being installed.
  reason=
  if ! install_packages "${all_missing[@]}"; then
    if [ -z "$refreshed" ]; then refresh_lists; fi
    if ! install_packages "${all_missing[@]}"; then
      for part in "${parts[@]}"; do
        [ -n "${part_missing[$part]}" ] || continue
        # shellcheck disable=SC2086  # a list of package names
        install_packages ${part_missing[$part]} && continue
        apt_failure="(apt: $reason)${refresh_failure:+; the package lists could not be refreshed: $refresh_failure}"
        others=${part_missing[$part]//wine32:i386/}
        if [ "$others" != "${part_missing[$part]}" ]; then
          # shellcheck disable=SC2086
          if [ -z "${others// /}" ] || install_packages $others; then
            wine32_failure=$apt_failure
            continue
          fi
        fi
        fail_part "$part" "packages ${part_missing[$part]} not installed $apt_failure"
      done
    fi
  fi
fi

# ---- What the Windows parts need beyond packages
# The cross builds of zubtool.exe take cpp-httplib's whole header from the
# distribution's source package (its binary package holds a Linux library).
httplib_dir=$root/build/third_party/httplib
fetch_httplib() {
  [ -f "$httplib_dir/httplib.h" ] && return 0
  local log
  log=$(mktemp)
  if bash "$root/scripts/httplib_source.sh" "$httplib_dir" >"$log" 2>&1; then
    tail -n 1 "$log"
    rm -f "$log"
    return 0
  fi
  reason=$(tail -n 3 "$log" | paste -sd ';')
  rm -f "$log"
  return 1
}

# Wine's 32-bit loader: the distribution's, or the private Wine's.
wine32_loader() {
  if [ -e /usr/lib/wine/wine ]; then
    echo /usr/lib/wine/wine
  elif [ -e "$private_wine/usr/lib/wine/wine" ]; then
    echo "$private_wine/usr/lib/wine/wine"
  fi
}
# The loader is a 32-bit Linux program. A kernel without 32-bit support
# cannot start it; qemu-i386 then runs it.
wine32_runs() {
  LD_LIBRARY_PATH=$private_wine/usr/lib/i386-linux-gnu:$private_wine/lib/i386-linux-gnu \
    "$(wine32_loader)" --version >/dev/null 2>&1 || return 1
  # Through qemu, only with the trap-number shim (scripts/wine-run).
  [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ] ||
    [ -e /usr/local/lib/wine-trapfix/lib/i386-linux-gnu/trapfix.so ]
}

# Wine's 32-bit side, where apt could not install it: a private Wine.
wine32_failure=${wine32_failure:-}
wants_wine32=
for part in "${parts[@]}"; do
  case $part in windows | package) [ -n "${failed[$part]:-}" ] || wants_wine32=1 ;; esac
done
if [ -n "$wants_wine32" ] && [ ! -e /usr/lib/wine/wine ] && ! private_wine_ready; then
  echo "deps.sh: wine32:i386 could not be installed ${wine32_failure:-(not installed)}" >&2
  echo "deps.sh: setting up a private Wine with the release's i386 packages in $private_wine..." >&2
  log=$(mktemp)
  # (Where this run has already waited out a failing refresh, once is enough.)
  tries=${MZ_APT_TRIES:-3}
  [ -z "$refresh_failure" ] || tries=1
  private_failure=
  # Its loader's C library is the machine's.
  if ! installed libc6:i386 && ! install_packages libc6:i386; then
    private_failure="libc6:i386 not installed (apt: $reason)"
  elif MZ_APT_TRIES=$tries bash "$root/scripts/wine32/private-wine.sh" "$private_wine" >"$log" 2>&1; then
    tail -n 1 "$log"
  else
    private_failure=$(tail -n 3 "$log" | paste -sd ';')
  fi
  if [ -n "$private_failure" ]; then
    for part in "${parts[@]}"; do
      case $part in
        windows | package)
          fail_part "$part" "packages wine32:i386 not installed ${wine32_failure:-}; nor could a private Wine be set up: $private_failure"
          ;;
      esac
    done
  fi
  rm -f "$log"
fi

# The same default as scripts/wine-run: inside the build tree. Created once,
# so that tests run in parallel do not race to create it; made again where it
# lacks the 32-bit side that a Wine installed since could give it (a prefix
# made by 64-bit Wine alone never gains one).
make_prefix() {
  export WINEPREFIX="${WINEPREFIX:-$root/build/wineprefix}"
  if [ -f "$WINEPREFIX/system.reg" ]; then
    if [ -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ] ||
      { [ ! -e /usr/lib/wine/wine ] && [ ! -e "$private_wine/usr/lib/wine/wine" ]; }; then
      return 0
    fi
    echo "Making the Wine prefix again, with its 32-bit side..."
    "$root/scripts/wine-run" --server-down
    rm -rf "$WINEPREFIX"
  fi
  echo "Creating the Wine prefix (once) in $WINEPREFIX..."
  mkdir -p "$WINEPREFIX"
  "$root/scripts/wine-run" wineboot --init
  # Its registry is on disk once the server has stopped.
  "$root/scripts/wine-run" --server-down
}

for part in "${parts[@]}"; do
  [ -z "${failed[$part]:-}" ] || continue
  case $part in
    windows64 | windows | package)
      fetch_httplib || fail_part "$part" "cpp-httplib's source could not be had: $reason"
      ;;
  esac
  [ -z "${failed[$part]:-}" ] || continue
  case $part in
    windows | package)
      # (qemu's binfmt entry is lost at every boot; the set-up is safe to
      # repeat.)
      if [ -n "$(wine32_loader)" ] && ! wine32_runs; then
        if [ "$(id -u)" -ne 0 ]; then
          echo "This kernel cannot run 32-bit programs. Let qemu run them with:" >&2
          echo "  sudo bash $root/scripts/wine32/setup-qemu.sh" >&2
          exit 1
        fi
        log=$(mktemp)
        if ! bash "$root/scripts/wine32/setup-qemu.sh" >"$log" 2>&1; then
          fail_part "$part" "32-bit programs cannot run here, and qemu-i386 could not be set up: $(tail -n 3 "$log" | paste -sd ';')"
        elif ! wine32_runs; then
          fail_part "$part" "Wine's 32-bit loader $(wine32_loader) does not start, not even through qemu-i386"
        fi
        rm -f "$log"
      fi
      ;;
  esac
done
# Wine's prefix once every Wine that is to use it can run.
for part in "${parts[@]}"; do
  [ -z "${failed[$part]:-}" ] || continue
  case $part in
    windows64 | windows) make_prefix || fail_part "$part" "Wine's prefix could not be created" ;;
  esac
done

status=0
for part in "${parts[@]}"; do
  if [ -n "${failed[$part]:-}" ]; then
    record "$part failed: ${failed[$part]}"
    status=3
  else
    record "$part ok"
  fi
done
exit $status
