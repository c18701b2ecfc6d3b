#!/usr/bin/env bash
# fuzz.sh [SECONDS_PER_TARGET]: fuzzes each parser of received bytes (netbios/fuzz/*_fuzz.cpp)
# with libFuzzer under AddressSanitizer and UBSan, SECONDS_PER_TARGET each (default 60), from
# its checked-in corpus. Touches no network.
# Builds in $TOLVERIN_FUZZ_BUILD (default build-fuzz/), which holds:
#   build-fuzz/corpus/<target>/   inputs this machine's runs added (copy the worth-keeping
#                                 ones into netbios/fuzz/corpus/<target>/, replayed by ctest)
#   build-fuzz/findings/<target>/ crash-*, leak-*, timeout-*, oom-* inputs of failed runs
# Exit status 1 if any target found a crash, leak, timeout or out-of-memory input.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
case $seconds in '' | *[!0-9]*) echo "usage: $0 [SECONDS_PER_TARGET]" >&2; exit 2 ;; esac

# target:max_len  (a datagram longer than 576 bytes is dropped unread; an answer on a
# session has at most ten bytes, a few keep-alives before it make the longest useful input)
targets=(name_service_response_fuzz:600 session_response_fuzz:64 encoded_name_fuzz:600)
build=${TOLVERIN_FUZZ_BUILD:-build-fuzz}

if ! command -v clang++ >/dev/null || ! dpkg-query -W libclang-rt-14-dev >/dev/null 2>&1; then
  echo "fuzz: needs clang and libclang-rt-14-dev (bash scripts/install-deps.sh)" >&2
  exit 1
fi

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DTOLVERIN_TESTS=OFF -DTOLVERIN_FUZZ=ON \
  -DTOLVERIN_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all -fno-omit-frame-pointer" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]%%:*}"

failed=()
summary=()
for entry in "${targets[@]}"; do
  target=${entry%%:*}
  max_len=${entry##*:}
  found=$build/corpus/$target
  findings=$build/findings/$target
  log=$build/$target.log
  mkdir -p "$found" "$findings"
  before=$(find "$found" -type f | wc -l)
  echo
  echo "==> $target: ${seconds} s"
  start=$SECONDS
  status=0
  # New inputs go to the first folder; the checked-in corpus is read, never written.
  "$build/netbios/fuzz/$target" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=1024 \
    -malloc_limit_mb=512 -max_len="$max_len" -print_final_stats=1 \
    -artifact_prefix="$findings/" "$found" "netbios/fuzz/corpus/$target" >"$log" 2>&1 ||
    status=$?
  elapsed=$((SECONDS - start))
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  added=$(($(find "$found" -type f | wc -l) - before))
  corpus=$(grep -o 'corp: [0-9]*' "$log" | tail -1 | sed 's/corp: //')
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$log"
    failed+=("$target")
    artifacts=$(grep -o "Test unit written to [^ ]*" "$log" | sed 's/.* //' | tr '\n' ' ')
    summary+=("$(printf '%-28s FAILED (status %d) after %d s: %s(log %s)' "$target" "$status" \
      "$elapsed" "${artifacts:-no input written }" "$log")")
  else
    summary+=("$(printf '%-28s %10s runs in %4d s (%s/s), corpus %s, %d new entries' \
      "$target" "${runs:-?}" "$elapsed" "${rate:-?}" "${corpus:-?}" "$added")")
  fi
done

echo
echo "==> fuzz summary (${seconds} s per target)"
printf '%s\n' "${summary[@]}"
if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzz: findings in ${failed[*]} (inputs under $build/findings/)" >&2
  exit 1
fi
