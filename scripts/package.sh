#!/usr/bin/env bash
# package.sh: builds the release artifacts into dist/ and checks them as a user would (root,
# Debian 12):
#   dist/tolverin_<version>-1_<arch>.deb   the Linux command, its manual page and the README
#   dist/tolverin-<version>-win64.zip      tolverin.exe and the README
# The Debian package is installed on this machine with apt-get, tried (usage line, exit status,
# manual page) and purged again, also when a check fails; the machine's package list must end
# as it began. tolverin.exe runs its usage under Wine, in a network namespace of its own.
# --chroot: besides, installs the package in a fresh Debian 12 (debootstrap --variant=minbase
# bookworm, with man-db; made once, kept in build-pkg/chroot-bookworm/) without network, so
# that its Depends must be met by the base system, and tries it there.
# Nothing here sends NetBIOS traffic: the command only ever runs without a station name.
# Build dirs: $TOLVERIN_PKG_BUILD_ROOT (default: the repository) holds build-pkg/ and
# build-pkg-win/. Exit status 1 if any check failed.
set -euo pipefail

chroot_check=0
case "${1:-}" in
  "") ;;
  --chroot) chroot_check=1 ;;
  *)
    echo "usage: package.sh [--chroot]" >&2
    exit 2
    ;;
esac

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

# installed_checks: what a user of the installed package sees, the commands run through
# "${in[@]}" (the machine itself, or a chroot).
installed_checks() {
  local status=0
  # shellcheck disable=SC2016 # dpkg-query's own fields
  check "dpkg knows it as installed" \
    same "install ok installed $version-1" \
    "$("${in[@]}" dpkg-query -W -f='${Status} ${Version}' tolverin)"
  check "tolverin on PATH is /usr/bin/tolverin" \
    same /usr/bin/tolverin "$("${in[@]}" sh -c 'command -v tolverin')"
  "${in[@]}" sh -c 'cd / && exec tolverin' >"$contents/usage.out" || status=$?
  check "tolverin without a station name prints the usage line" \
    same_bytes "$usage_line"$'\n' "$contents/usage.out"
  check "... and exits with 255 (-1)" same 255 "$status"
  check "man -w tolverin finds the installed page" \
    same /usr/share/man/man1/tolverin.1.gz "$("${in[@]}" man -w tolverin)"
  check "man tolverin shows its NAME line" \
    grep -qx ' *tolverin - find the LAN adapter through which a NetBIOS station is reached' \
    <("${in[@]}" env LC_ALL=C MANPAGER=cat PAGER=cat MANWIDTH=120 man tolverin 2>&1)
  check "the README is in /usr/share/doc/tolverin" \
    cmp <("${in[@]}" cat /usr/share/doc/tolverin/README.md) README.md
}

# remove_tree DIR: removes a chroot's tree, never crossing into anything mounted below it.
remove_tree() {
  if awk -v dir="$1" '$2 == dir || index($2, dir "/") == 1 {found = 1} END {exit !found}' \
    /proc/self/mounts; then
    echo "package.sh: something is mounted below $1; not removing it" >&2
    return 1
  fi
  rm -rf --one-file-system "$1"
}

# make_base_system: $base, a minimal Debian 12 with man-db, made once by debootstrap and kept.
make_base_system() {
  local args=(--variant=minbase --include=man-db bookworm)
  local mirror=${TOLVERIN_DEBIAN_MIRROR:-http://deb.debian.org/debian}
  local ready=$build/chroot-bookworm.ready
  base=$build/chroot-bookworm
  [ "$(cat "$ready" 2>/dev/null)" = "${args[*]}" ] && [ -d "$base" ] && return 0
  command -v debootstrap >/dev/null || die "debootstrap not found (see scripts/install-deps.sh)"
  echo "making $base with debootstrap ${args[*]} (once)"
  rm -f "$ready"
  remove_tree "$base.new"
  remove_tree "$base"
  if ! debootstrap "${args[@]}" "$base.new" "$mirror" >"$build/debootstrap.log" 2>&1; then
    tail -n 20 "$build/debootstrap.log" >&2
    die "debootstrap failed (log: $build/debootstrap.log)"
  fi
  mv "$base.new" "$base"
  echo "${args[*]}" >"$ready"
}

# hardening ELF: what of Debian's hardening the program shows, as PIE NOW|GNU_RELRO|names...
hardening() {
  {
    readelf -dW "$1" | grep -o 'Flags: .*' | grep -Eo 'PIE|NOW' | sort -r | paste -sd' '
    readelf -lW "$1" | grep -o GNU_RELRO
    nm -D "$1" | grep -Eo '__(printf|stack_chk_fail)[a-z_]*' | sort -u
  } | paste -sd'|'
}

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

# The Linux command is built with the flags Debian builds its own packages with, hardening
# included: fortified calls, stack protector, PIE, full RELRO.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
release "$build" \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)"
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
work=
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
  [ -z "$work" ] || remove_tree "$work"
  rm -rf "$contents"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
dpkg-deb -x "$deb" "$contents"
check "the command is a stripped ELF executable" \
  grep -q 'ELF 64-bit.*executable.*, stripped$' <(file -b "$contents/usr/bin/tolverin")
check "the command is hardened: PIE, full RELRO, fortified calls, stack protector" \
  same "PIE NOW|GNU_RELRO|__printf_chk|__stack_chk_fail" "$(hardening "$contents/usr/bin/tolverin")"
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
in=(env)
installed_checks
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

if [ "$chroot_check" -eq 1 ]; then
  echo
  echo "==> $deb_name in a fresh Debian 12 (minbase)"
  make_base_system
  work=$build/chroot-run
  remove_tree "$work"
  cp -a "$base" "$work"
  cp "$deb" "$work/tmp/"
  in=(unshare --net chroot "$work" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root)
  check "apt-get installs it offline: the base system has all it depends on" \
    "${in[@]}" DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    "/tmp/$deb_name"
  installed_checks
  remove_tree "$work"
  work=
fi

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
