#!/usr/bin/env bash
# usage_test.sh lf|crlf [RUNNER...] TOLVERIN
# Runs the command without a station name: it must print exactly the usage line (with the
# platform's line end) and exit with -1, which a POSIX shell sees as 255.
set -u
newline=$1
shift
if [ "$newline" = crlf ]; then want=$'USAGE: TOLVERIN <station name>\r\n'; else want=$'USAGE: TOLVERIN <station name>\n'; fi

out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$@" >"$out"
status=$?
got=$(od -An -c "$out")
expected=$(printf '%s' "$want" | od -An -c)
fail=0
if [ "$got" != "$expected" ]; then
  echo "standard output differs:"; echo " got: $got"; echo " want: $expected"; fail=1
fi
if [ "$status" -ne 255 ]; then echo "exit status $status, want 255 (-1)"; fail=1; fi
[ "$fail" -eq 0 ] && echo "usage line and exit status -1: ok"
exit "$fail"
