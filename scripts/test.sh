#!/usr/bin/env bash
# test.sh: the project's whole check, as CI runs it (root, Debian 12):
#   dependencies, clang-format, the native build with its tests (lab included), the same under
#   AddressSanitizer and UBSan, fuzzing, the Windows build with its tests under Wine, and the
#   packages.
# Every stage runs even when an earlier one failed (except the tests of a build that failed);
# the summary at the end lists each with its time, and the exit status is 1 if any failed.
# Build dirs: $TOLVERIN_BUILD_ROOT (default build-test/) holds native/, sanitize/, fuzz/,
# windows/ and the packages' build-pkg/ and build-pkg-win/.
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
cd "$repo" || exit 1
root=$(realpath -m "${TOLVERIN_BUILD_ROOT:-$repo/build-test}")
jobs=$(nproc 2>/dev/null || echo 2)

names=()
results=()
seconds=()
start_all=$SECONDS

# step NAME COMMAND...: runs the command, records its result and time.
step() {
  local name=$1 start=$SECONDS status=0
  shift
  echo
  echo "==> $name"
  "$@" || status=$?
  names+=("$name")
  seconds+=($((SECONDS - start)))
  if [ "$status" -eq 0 ]; then results+=(ok); else results+=(FAIL); fi
  return "$status"
}

skip() {
  echo
  echo "==> $1: skipped ($2)"
  names+=("$1")
  results+=(skipped)
  seconds+=(0)
}

# The project's C++ files: those git knows of or would add (not ignored), else all outside builds.
cxx_files() {
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h' '*.cc' '*.hpp' |
      while IFS= read -r f; do [ -f "$f" ] && echo "$f"; done
  else
    find . -path './build*' -prune -o \( -name '*.cpp' -o -name '*.h' -o -name '*.cc' \
      -o -name '*.hpp' \) -print | sed 's|^\./||'
  fi
}

format_check() {
  local f bad=0 count=0
  clang-format --version
  while IFS= read -r f; do
    count=$((count + 1))
    if ! clang-format --style=file "$f" | diff -u --label "$f" --label "$f (clang-format)" "$f" -; then
      bad=$((bad + 1))
    fi
  done < <(cxx_files | sort)
  echo "$count files checked, $bad not formatted"
  [ "$count" -gt 0 ] && [ "$bad" -eq 0 ]
}

# build DIR CMAKE_OPTIONS...: configures and builds.
build() {
  local dir=$1
  shift
  cmake -S "$repo" -B "$dir" "$@" && cmake --build "$dir" -j "$jobs"
}

run_ctest() {
  ctest --test-dir "$1" --output-on-failure -j2 --timeout 300
}

sanitized_ctest() {
  ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 run_ctest "$1"
}

# The Wine server of the build's prefix outlives the tests by a few seconds; wait for it, so
# that no Wine process is left when this script ends.
windows_ctest() {
  local status=0
  run_ctest "$1" || status=$?
  WINEPREFIX=$1/wine-prefix /usr/lib/wine/wineserver -w 2>/dev/null
  return "$status"
}

echo "tolverin checks in $repo (builds in $root, CI=${CI:-})"

if ! step "dependencies" bash scripts/install-deps.sh; then
  echo "test.sh: cannot go on without the dependencies" >&2
  exit 1
fi
cmake --version | head -1
g++ --version | head -1
x86_64-w64-mingw32-g++-posix --version | head -1
/usr/lib/wine/wine64 --version

step "clang-format" format_check

# The native and Windows builds are optimised, as shipped: some warnings only show with
# inlining. The sanitizer build is not, so that its reports point at the source lines.
if step "native build (Release, -DTOLVERIN_WERROR=ON)" build "$root/native" \
  -DCMAKE_BUILD_TYPE=Release -DTOLVERIN_WERROR=ON; then
  step "native tests" run_ctest "$root/native"
else
  skip "native tests" "build failed"
fi

if step "sanitizer build (ASan + UBSan)" build "$root/sanitize" -DTOLVERIN_WERROR=ON \
  -DTOLVERIN_SANITIZE=ON; then
  step "sanitizer tests" sanitized_ctest "$root/sanitize"
else
  skip "sanitizer tests" "build failed"
fi

# Each parser of received bytes fuzzed for a bounded time with clang's libFuzzer, under
# AddressSanitizer and UBSan, from its checked-in corpus.
step "fuzzing (30 s per parser, ASan + UBSan)" \
  env TOLVERIN_FUZZ_BUILD="$root/fuzz" bash scripts/fuzz.sh 30

if step "Windows build (mingw-w64, Release)" build "$root/windows" \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DTOLVERIN_WERROR=ON; then
  step "Windows tests (Wine)" windows_ctest "$root/windows"
else
  skip "Windows tests (Wine)" "build failed"
fi

# The Debian package installed, tried and purged here and in a fresh Debian 12 base system;
# the Windows ZIP tried under Wine.
step "packages (.deb here and in a fresh Debian 12, Windows ZIP)" \
  env TOLVERIN_PKG_BUILD_ROOT="$root" bash scripts/package.sh --chroot

echo
echo "==== summary ===="
failed=0
for i in "${!names[@]}"; do
  printf '  %-8s %-40s %5ss\n' "${results[$i]}" "${names[$i]}" "${seconds[$i]}"
  [ "${results[$i]}" = ok ] || failed=1
done
printf '  total %ss\n' $((SECONDS - start_all))
if [ "$failed" -eq 0 ]; then echo "ALL PASSED"; else echo "FAILED"; fi
exit "$failed"
