#!/usr/bin/env bash
# Sets everything up on Debian 12 (as root), builds tolverin, and runs it in a throwaway lab
# of network namespaces with a simulated station behind LANA 1 of 3.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTOLVERIN_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target tolverin >/dev/null
echo "\$ tolverin plant7"
exec bash lab/demo.sh build/cli/tolverin
