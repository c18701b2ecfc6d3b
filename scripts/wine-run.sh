#!/usr/bin/env bash
# wine-run.sh PROGRAM.exe [ARGS...]
# Runs a Windows program of the build under Debian's wine64, in a network namespace of its own
# that has no interface but a loopback that is down: whatever the program does, nothing it sends
# leaves the process (Wine's Netbios sees no adapter). Standard output and the exit status are
# the program's; Windows' -1 reaches the caller as 255.
#
# The Wine prefix belongs to the build: <build dir>/wine-prefix, the build dir being the nearest
# directory above PROGRAM holding a CMakeCache.txt (or $TOLVERIN_WINEPREFIX). It is created on
# first use under a lock, so that tests started in parallel wait for one another's setup.
set -euo pipefail

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

die() {
  echo "wine-run: $*" >&2
  exit 125
}

[ $# -ge 1 ] || die "usage: wine-run.sh PROGRAM.exe [ARGS...]"
[ -x "$wine" ] || die "$wine not found (Debian package wine64; see scripts/install-deps.sh)"
[ -e "$1" ] || die "$1: no such program"

build_dir_of() {
  local dir
  dir=$(cd "$(dirname "$1")" && pwd -P)
  while [ "$dir" != / ]; do
    [ -f "$dir/CMakeCache.txt" ] && { echo "$dir"; return 0; }
    dir=$(dirname "$dir")
  done
  return 1
}

if [ -n "${TOLVERIN_WINEPREFIX:-}" ]; then
  prefix=$TOLVERIN_WINEPREFIX
else
  build_dir=$(build_dir_of "$1") || die "$1 is not inside a CMake build dir; set TOLVERIN_WINEPREFIX"
  prefix=$build_dir/wine-prefix
fi

# Isolated from every network: a fresh namespace (root), or a user namespace mapping the caller
# to root that holds one. Never run without it.
if [ "$(id -u)" -eq 0 ]; then
  isolate=(unshare --net)
else
  isolate=(unshare --user --map-root-user --net)
fi
"${isolate[@]}" true 2>/dev/null || die "cannot create a network namespace (${isolate[*]})"

export WINEPREFIX=$prefix
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko installer, no window: nothing here needs them.
export WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d'
unset DISPLAY WAYLAND_DISPLAY

# The prefix is ready when its marker names the Wine that made it; otherwise (first use, a
# broken earlier setup, another Wine) it is made again. The lock's descriptor is closed for
# every Wine process, or the Wine server, which outlives its clients, would keep holding it.
version=$("$wine" --version 2>/dev/null || echo unknown)
marker=$prefix/.tolverin-ready
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
if [ "$(cat "$marker" 2>/dev/null)" != "$version" ]; then
  echo "wine-run: creating the Wine prefix $prefix" >&2
  rm -rf "$prefix"
  "${isolate[@]}" "$wine" wineboot --init </dev/null >/dev/null 2>&1 9>&-
  # Until the server has written the registry out, the prefix is not complete.
  "${isolate[@]}" "$wineserver" -w </dev/null >/dev/null 2>&1 9>&-
  [ -f "$prefix/system.reg" ] || die "wineboot did not create $prefix"
  echo "$version" >"$marker"
fi
exec 9>&-

# Wine's background processes (the server, services.exe, explorer.exe...) inherit standard
# error and outlive the program by seconds: a caller reading it through a pipe (ctest) would
# wait for them. So the program's standard error goes to a file, copied out when it exits.
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
status=0
"${isolate[@]}" "$wine" "$@" 2>"$errors" || status=$?
cat "$errors" >&2
exit "$status"
