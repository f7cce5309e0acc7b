#!/usr/bin/env bash
# Fails when a Windows program imports a DLL that is not a KnownDLL. Windows
# maps KnownDLLs from System32 whatever lies beside the program; any other
# imported DLL is looked up in the program's folder first, where users can
# plant one. The list is what Windows 7 and Windows 10 both name under
# HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs, plus ntdll.
set -euo pipefail
objdump="$1"; shift
known=" advapi32 clbcatq comdlg32 difxapi gdi32 imagehlp imm32 kernel32 msctf msvcrt normaliz nsi
        ntdll ole32 oleaut32 psapi rpcrt4 sechost setupapi shell32 shlwapi user32 wldap32 ws2_32 "
status=0
for exe in "$@"; do
  imports=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
  [ -n "$imports" ] || { echo "FAIL: no import table read from $exe"; status=1; continue; }
  for dll in $imports; do
    if [[ "$known" == *" ${dll%.dll}"[[:space:]]* ]]; then
      echo "ok: $exe imports $dll"
    else
      echo "FAIL: $exe imports $dll, which is not a KnownDLL"; status=1
    fi
  done
done
exit $status
