#!/usr/bin/env bash
# package.sh: builds the release artifacts into dist/ and checks them as a user would (root,
# Debian 12):
#   dist/tolverin_<version>-1_<arch>.deb   the Linux command, its manual page and the README
#   dist/tolverin-<version>-win64.zip      tolverin.exe and the README
# The Debian package is installed on this machine with apt-get, tried (usage line, exit status,
# manual page) and purged again, also when a check fails; the machine's package list must end
# as it began. tolverin.exe runs its usage under Wine, in a network namespace of its own.
# Nothing here sends NetBIOS traffic: the command only ever runs without a station name.
# Build dirs: $TOLVERIN_PKG_BUILD_ROOT (default: the repository) holds build-pkg/ and
# build-pkg-win/. Exit status 1 if any check failed.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
cd "$repo"
root=$(realpath -m "${TOLVERIN_PKG_BUILD_ROOT:-$repo}")
build=$root/build-pkg
build_win=$root/build-pkg-win
dist=$repo/dist
jobs=$(nproc 2>/dev/null || echo 2)
usage_line='USAGE: TOLVERIN <station name>'

failures=0
# check DESCRIPTION COMMAND...: runs the command quietly and reports; a failure is counted.
check() {
  local what=$1 output
  shift
  if output=$("$@" 2>&1); then
    echo "  ok    $what"
  else
    echo "  FAIL  $what"
    [ -z "$output" ] || printf '%s\n' "$output" | sed 's/^/        /'
    failures=$((failures + 1))
  fi
}

# same WANT GOT: fails, showing both, unless they are equal.
same() {
  [ "$1" = "$2" ] && return 0
  printf 'want: %q\ngot:  %q\n' "$1" "$2"
  return 1
}

# same_bytes WANT FILE: as same, for the file's bytes, trailing line ends included.
same_bytes() {
  local got
  got=$(cat "$2" && printf .)
  same "$1" "${got%.}"
}

die() {
  echo "package.sh: $*" >&2
  exit 1
}

# What dpkg knows of the package: installed, config-files, half-installed... or not-installed.
package_state() {
  local state
  state=$(dpkg-query -W -f='${db:Status-Status}' tolverin 2>/dev/null) || state=
  echo "${state:-not-installed}"
}

[ "$(id -u)" -eq 0 ] || die "run as root: the package is installed and removed again"
bash scripts/install-deps.sh
for tool in dpkg-shlibdeps dpkg-deb apt-get man file; do
  command -v "$tool" >/dev/null || die "$tool not found (see scripts/install-deps.sh)"
done
if [ "$(package_state)" != not-installed ] || [ -e /usr/bin/tolverin ]; then
  die "tolverin is already on this machine; remove it first (apt-get purge tolverin)"
fi

# release BUILD_DIR CMAKE_OPTIONS...: an optimised build of the command alone, packed by CPack.
release() {
  local dir=$1
  shift
  echo "==> $dir"
  cmake -S "$repo" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DTOLVERIN_WERROR=ON \
    -DTOLVERIN_TESTS=OFF "$@" >/dev/null
  cmake --build "$dir" -j "$jobs" >/dev/null
  rm -f "$dir"/tolverin_*.deb "$dir"/tolverin-*.zip
  (cd "$dir" && cpack >/dev/null)
}

release "$build"
release "$build_win" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake"

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
arch=$(dpkg --print-architecture)
deb_name=tolverin_${version}-1_${arch}.deb
zip_name=tolverin-${version}-win64.zip
[ -f "$build/$deb_name" ] || die "CPack made no $deb_name in $build"
[ -f "$build_win/$zip_name" ] || die "CPack made no $zip_name in $build_win"
mkdir -p "$dist"
rm -f "$dist"/tolverin_*.deb "$dist"/tolverin-*.zip
cp "$build/$deb_name" "$build_win/$zip_name" "$dist/"
deb=$dist/$deb_name
zip=$dist/$zip_name

echo
echo "==> $deb_name: contents"
dpkg-deb -I "$deb"
dpkg-deb -c "$deb"
check "Package, Version, Architecture, Section" \
  same "tolverin|$version-1|$arch|net" \
  "$(dpkg-deb -f "$deb" Package Version Architecture Section | sed 's/^[^:]*: //' | paste -sd'|')"
check "Depends computed from the binary's libraries (libc6 among them)" \
  grep -Eq '^Depends: (.*, )?libc6 \(>= [0-9.]+\)' <(dpkg-deb -f "$deb" Depends | sed 's/^/Depends: /')
check "Maintainer set" grep -Eq '^.+ <.+@.+>$' <(dpkg-deb -f "$deb" Maintainer)
check "files: the command, the manual page, the README, nothing else" \
  same $'./usr/bin/tolverin\n./usr/share/doc/tolverin/README.md\n./usr/share/man/man1/tolverin.1.gz' \
  "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $NF}' | sort)"
check "every file and directory owned by root" \
  same "" "$(dpkg-deb -c "$deb" | awk '$2 != "root/root"')"
contents=$(mktemp -d)
installed=0
# apt_quietly ARGS...: apt-get, waiting for the dpkg lock if another install holds it; its
# output is shown only if it fails.
apt_quietly() {
  local log=$contents/apt.log
  if DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=300 "$@" >"$log" 2>&1
  then
    return 0
  fi
  cat "$log" >&2
  return 1
}
# Whatever happens from here on, the package leaves the machine again.
cleanup() {
  if [ "$installed" -eq 1 ] || [ "$(package_state)" != not-installed ]; then
    echo "==> removing the package"
    apt_quietly purge tolverin || dpkg --purge tolverin
  fi
  rm -rf "$contents"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
dpkg-deb -x "$deb" "$contents"
check "the command is a stripped ELF executable" \
  grep -q 'ELF 64-bit.*executable.*, stripped$' <(file -b "$contents/usr/bin/tolverin")
check "the manual page is gzip -9n (best compression, no name, no time stamp)" \
  same "gzip compressed data, max compression, from Unix, original size modulo 2^32 $(wc -c <doc/tolverin.1)" \
  "$(file -b "$contents/usr/share/man/man1/tolverin.1.gz")"
check "the manual page is doc/tolverin.1" \
  cmp <(gzip -dc "$contents/usr/share/man/man1/tolverin.1.gz") doc/tolverin.1

echo
echo "==> installing $deb_name"
packages_before=$(dpkg-query -W -f='${Package} ${Version} ${Status}\n' | sort)
installed=1
apt_quietly install --no-install-recommends "$deb"
check "dpkg knows it as installed" \
  same "install ok installed $version-1" "$(dpkg-query -W -f='${Status} ${Version}' tolverin)"
check "tolverin on PATH is /usr/bin/tolverin" same /usr/bin/tolverin "$(command -v tolverin)"
status=0
(cd / && tolverin) >"$contents/usage.out" || status=$?
check "tolverin without a station name prints the usage line" \
  same_bytes "$usage_line"$'\n' "$contents/usage.out"
check "... and exits with 255 (-1)" same 255 "$status"
check "man -w tolverin finds the installed page" \
  same /usr/share/man/man1/tolverin.1.gz "$(man -w tolverin)"
check "man tolverin shows its NAME line" \
  grep -qx ' *tolverin - find the LAN adapter through which a NetBIOS station is reached' \
  <(LC_ALL=C MANPAGER=cat PAGER=cat MANWIDTH=120 COLUMNS=120 man tolverin 2>&1)
check "the README is in /usr/share/doc/tolverin" cmp /usr/share/doc/tolverin/README.md README.md

echo
echo "==> purging tolverin"
apt_quietly purge tolverin
installed=0
check "dpkg no longer has the package, not even its configuration" \
  same not-installed "$(package_state)"
check "its files are gone" \
  same "" "$(ls -d /usr/bin/tolverin /usr/share/man/man1/tolverin.1.gz /usr/share/doc/tolverin 2>/dev/null || true)"
check "the machine's package list is as it was" \
  same "$packages_before" "$(dpkg-query -W -f='${Package} ${Version} ${Status}\n' | sort)"

echo
echo "==> $zip_name"
cmake -E tar tf "$zip"
check "files: tolverin.exe and the README, in one folder" \
  same $'tolverin-'"$version"$'-win64/README.md\ntolverin-'"$version"$'-win64/tolverin.exe' \
  "$(cmake -E tar tf "$zip" | grep -v '/$' | sort)"
# Unpacked inside the Windows build dir, whose Wine prefix scripts/wine-run.sh then uses.
unpacked=$build_win/zip-check
rm -rf "$unpacked"
mkdir -p "$unpacked"
(cd "$unpacked" && cmake -E tar xf "$zip")
exe=$unpacked/tolverin-$version-win64/tolverin.exe
check "tolverin.exe is a PE32+ console program for x86-64" \
  grep -q '^PE32+ executable (console) x86-64' <(file -b "$exe")
status=0
bash scripts/wine-run.sh "$exe" >"$unpacked/usage.out" || status=$?
WINEPREFIX=$build_win/wine-prefix /usr/lib/wine/wineserver -w 2>/dev/null || true
check "tolverin.exe under Wine prints the usage line (CR LF)" \
  same_bytes "$usage_line"$'\r\n' "$unpacked/usage.out"
check "... and exits with 255 (-1)" same 255 "$status"

echo
ls -l "$deb" "$zip"
if [ "$failures" -eq 0 ]; then
  echo "ALL PACKAGE CHECKS PASSED"
else
  echo "$failures PACKAGE CHECK(S) FAILED"
  exit 1
fi
