# shellcheck shell=bash
# A private apt beside the machine's own: the machine's package sources and
# their signed indexes, with lists, cache and the record of what is installed
# in a folder of its own, so that nothing in /etc or /var changes and nothing
# is installed. Sourced by scripts/httplib_source.sh (source packages) and
# scripts/wine32/private-wine.sh (i386 packages).
#
#   private_apt DIR TYPE [OPTION...]  empties DIR and sets apt_opts, the
#                                     options for apt-get; TYPE is deb or
#                                     deb-src (each of the machine's entries is
#                                     read as that type), OPTIONs are more -o
#                                     settings
#   private_apt_refresh LOG           apt-get update, tried again after a pause
#                                     while it fails (a mirror in the middle of
#                                     a sync): MZ_APT_TRIES (3) tries,
#                                     MZ_APT_PAUSE (15) seconds apart; a last
#                                     failure leaves the lists that did come,
#                                     and its errors in LOG

private_apt() {
  local dir=$1 type=$2 f
  shift 2
  rm -rf "$dir"
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial" "$dir/parts" "$dir/state"
  : >"$dir/state/status"
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    if [ -f "$f" ]; then sed -n "s/^[[:space:]]*deb\(-src\)\{0,1\}[[:space:]]/$type /p" "$f"; fi
  done | sort -u >"$dir/sources.list"
  for f in /etc/apt/sources.list.d/*.sources; do
    if [ -f "$f" ]; then sed -E "s/^Types:.*/Types: $type/" "$f" >"$dir/parts/$(basename "$f")"; fi
  done
  apt_opts=(-q -o "Dir::Etc::sourcelist=$dir/sources.list" -o "Dir::Etc::sourceparts=$dir/parts"
    -o "Dir::State::Lists=$dir/lists" -o "Dir::State::status=$dir/state/status"
    -o "Dir::Cache=$dir/cache" -o APT::Sandbox::User=root)
  for f in "$@"; do apt_opts+=(-o "$f"); done
}

private_apt_refresh() {
  local tries=${MZ_APT_TRIES:-3} n
  for ((n = 1; n <= tries; n++)); do
    apt-get "${apt_opts[@]}" update >"$1" 2>&1 && return 0
    [ "$n" -lt "$tries" ] && sleep "${MZ_APT_PAUSE:-15}"
  done
  return 0
}
