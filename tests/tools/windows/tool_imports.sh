#!/usr/bin/env bash
# The Windows tools start on a machine without mingw-w64: they import only
# system DLLs and quelt_ox952.dll, never the compiler's runtime
# (libstdc++-6.dll, libgcc_s_seh-1.dll, libwinpthread-1.dll).
#   tool_imports.sh OBJDUMP TOOL.exe...
set -euo pipefail
objdump=$1
shift
status=0
for exe in "$@"; do
    imports=$("$objdump" -p "$exe" | sed -n 's/^\s*DLL Name: //p')
    [[ -n $imports ]] || { echo "FAIL: $exe: no import table found" >&2; status=1; continue; }
    while read -r dll; do
        case ${dll,,} in
        kernel32.dll | msvcrt.dll | quelt_ox952.dll) ;;
        *) echo "FAIL: $(basename "$exe") imports $dll" >&2; status=1 ;;
        esac
    done <<<"$imports"
done
[[ $status -eq 0 ]] && echo "tool imports: only system DLLs and quelt_ox952.dll"
exit $status
