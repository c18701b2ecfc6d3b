#!/usr/bin/env bash
# Shows the command at work in a throwaway lab: three adapters, and behind LANA 1 a station
# PLANT7 whose command server answers NEGATIVE SESSION RESPONSE 0x83 (called name present,
# no resources). Needs root (network namespaces); nothing leaves the lab.
#   usage: lab/demo.sh [TOLVERIN_BINARY]      (default: build/cli/tolverin)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
binary=${1:-$here/../build/cli/tolverin}
if [ ! -x "$binary" ]; then
  echo "demo: no binary at $binary (build first, or give its path)" >&2
  exit 2
fi
binary=$(cd "$(dirname "$binary")" && pwd)/$(basename "$binary")

# The station's server name is "PLANT7.COMMAND.SRV" cut at 16 bytes, as the command forms it.
status=0
python3 "$here/lab.py" --adapters 3 \
  --station '1:--name PLANT7.COMMAND.S --session negative:0x83' \
  -- "$binary" plant7 || status=$?
echo
echo "(exit status $status)"
