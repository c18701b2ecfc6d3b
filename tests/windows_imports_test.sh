#!/usr/bin/env bash
# windows_imports_test.sh OBJDUMP PROGRAM.exe
# The Windows command must run on a bare Windows: it imports Netbios from NETAPI32.dll and
# CharUpperA from USER32.dll, and nothing from any DLL but the system's own (no MinGW runtime
# DLL such as libstdc++-6.dll, libgcc_s_seh-1.dll or libwinpthread-1.dll).
set -u
objdump=$1
program=$2

system_dlls=(KERNEL32.dll msvcrt.dll NETAPI32.dll USER32.dll)
required=(NETAPI32.dll:Netbios USER32.dll:CharUpperA)

dump=$("$objdump" -p "$program") || { echo "$objdump -p $program failed"; exit 1; }
# One "DLL:function" line per import, from the "DLL Name:" blocks of the import tables.
imports=$(awk '
  /^The Import Tables/ { in_imports = 1; next }
  in_imports && /^The / { in_imports = 0 }
  in_imports && /DLL Name:/ { dll = $3; print dll ":"; next }
  in_imports && dll != "" && NF == 3 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ { print dll ":" $3 }
' <<<"$dump")

echo "imports of $program:"
awk -F: '$2 == "" { print "  " $1 } $2 != "" { print "    " $2 }' <<<"$imports"

fail=0
for dll in $(awk -F: '$2 == "" { print $1 }' <<<"$imports"); do
  known=0
  for s in "${system_dlls[@]}"; do [ "${dll,,}" = "${s,,}" ] && known=1; done
  [ "$known" -eq 1 ] || { echo "FAIL: imports from $dll, not a system DLL (${system_dlls[*]})"; fail=1; }
done
for pair in "${required[@]}"; do
  grep -qixF "$pair" <<<"$imports" || { echo "FAIL: does not import ${pair#*:} from ${pair%%:*}"; fail=1; }
done
[ "$fail" -eq 0 ] && echo "imports: Netbios from NETAPI32.dll, CharUpperA from USER32.dll, system DLLs only: ok"
exit "$fail"
