#!/usr/bin/env bash
# fuzz.sh [SECONDS]: fuzzes the NetBIOS codec's parsers of received bytes with libFuzzer
# (clang, with AddressSanitizer and UBSan) for SECONDS (default 60), starting from the
# checked-in corpus. New inputs go to build-fuzz/corpus; copy the ones worth keeping into
# netbios/fuzz/corpus, where every test run replays them. Touches no network.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

if ! command -v clang++ >/dev/null || ! dpkg-query -W libclang-rt-14-dev >/dev/null 2>&1; then
  [ "$(id -u)" -eq 0 ] || { echo "fuzz: needs clang and libclang-rt-14-dev (run as root to install)" >&2; exit 1; }
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends clang libclang-rt-14-dev
fi

cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DTOLVERIN_TESTS=OFF -DTOLVERIN_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target codec_fuzz
mkdir -p build-fuzz/corpus
build-fuzz/netbios/fuzz/codec_fuzz -max_total_time="$seconds" -max_len=600 \
  build-fuzz/corpus netbios/fuzz/corpus
