# Sourced by scripts/test.sh and scripts/demo.sh: every process that the
# command starts carries a mark in its environment, so that whatever is still
# alive when the command ends (a wineserver and Wine's services.exe,
# winedevice.exe and plugplay.exe, a pcscd, a browser, a web server) is found
# by that mark, ended, and named.
#
#   mz_mark_processes        export the mark (call it before starting anything)
#   mz_end_leftovers LABEL   end the marked processes still alive; prints them,
#                            counts them in MZ_LEFTOVERS and returns 1 if there
#                            were any

mz_mark_processes() {
  MZ_RUN_MARK="$$-$(date +%s%N)"
  export MZ_RUN_MARK
}

# The pids whose environment holds the mark. Bash builtins only: a process
# started to look would carry the mark itself. The command's own shell and
# its subshells carry it only in their variables, not in the environment they
# were started with, so they are not listed.
mz_marked_pids() {
  local dir pid kv
  for dir in /proc/[0-9]*; do
    pid=${dir#/proc/}
    [ "$pid" = "$$" ] && continue
    # (Kernel threads and processes that end meanwhile cannot be read.)
    {
      while IFS= read -r -d '' kv; do
        if [ "$kv" = "MZ_RUN_MARK=$MZ_RUN_MARK" ]; then
          # A zombie has ended; its parent has only not been told.
          local state=
          while read -r key value _; do
            [ "$key" = State: ] && state=$value && break
          done <"$dir/status"
          [ "$state" = Z ] || echo "$pid"
          break
        fi
      done <"$dir/environ"
    } 2>/dev/null
  done
}

mz_end_leftovers() {
  local label=$1 pids pid n
  [ -n "${MZ_RUN_MARK:-}" ] || return 0
  # Wine's server, if any is left in the run's prefix, takes its services down
  # with it.
  if [ -n "${WINEPREFIX:-}" ] && command -v wineserver >/dev/null; then
    WINEPREFIX=$WINEPREFIX wineserver -k >/dev/null 2>&1 || true
  fi
  # A few seconds for what ends by itself: Wine's services after the server,
  # scripts/wine-run's watchers a second after their program.
  for n in $(seq 30); do
    pids=$(mz_marked_pids)
    [ -z "$pids" ] && return 0
    sleep 0.1
  done
  MZ_LEFTOVERS=$(echo "$pids" | wc -w)
  echo "$label: processes still running at the end, ended now:" >&2
  for pid in $pids; do
    echo "  $pid $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | cut -c1-160)" >&2
  done
  # shellcheck disable=SC2086  # a list of pids
  kill -TERM $pids 2>/dev/null || true
  for n in $(seq 20); do
    [ -z "$(mz_marked_pids)" ] && return 1
    sleep 0.25
  done
  # shellcheck disable=SC2046
  kill -KILL $(mz_marked_pids) 2>/dev/null || true
  return 1
}
