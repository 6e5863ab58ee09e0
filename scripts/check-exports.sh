#!/usr/bin/env bash
# Checks a built library's export table against the .def file.
#   check-exports.sh so  <libquelt_ox952.so> <quelt_ox952.def>
#   check-exports.sh dll <quelt_ox952.dll>    <quelt_ox952.def>
# Fails when a .def name is not exported, when anything else is exported, or
# (dll) when the DLL imports from anything but Windows system DLLs.
set -euo pipefail

usage() { echo "usage: $0 so|dll LIBRARY DEF" >&2; exit 2; }
[[ $# -eq 3 ]] || usage
mode=$1 lib=$2 def=$3
[[ -f $lib ]] || { echo "check-exports: no such library: $lib" >&2; exit 2; }
[[ -f $def ]] || { echo "check-exports: no such .def file: $def" >&2; exit 2; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Names after EXPORTS: comments, ordinals and aliases dropped.
awk '
  { sub(/;.*/, "") }
  /^[[:space:]]*EXPORTS/ { on = 1; next }
  /^[[:space:]]*(LIBRARY|NAME|SECTIONS|HEAPSIZE|STACKSIZE|VERSION)([[:space:]]|$)/ { on = 0; next }
  on && match($0, /[A-Za-z_][A-Za-z0-9_]*/) { print substr($0, RSTART, RLENGTH) }
' "$def" | sort >"$tmp/want"
if [[ $(sort -u "$tmp/want" | wc -l) -ne $(wc -l <"$tmp/want") ]]; then
  echo "check-exports: names listed twice in $def:" >&2
  uniq -d "$tmp/want" >&2
  exit 1
fi

status=0
case $mode in
so)
  NM=${NM:-nm}
  # Defined dynamic symbols, less the ELF bookkeeping names and the simulated
  # driver's one internal entry for its control library (sim/capi/driver_controls.h).
  internal=quelt_internal_sim_driver
  "$NM" -D --defined-only "$lib" | awk '$2 != "A" { print $3 }' | sed 's/@.*//' |
    grep -vxE '_init|_fini|_edata|_end|__bss_start' | grep -vx "$internal" | sort -u >"$tmp/have"
  ;;
dll)
  OBJDUMP=${OBJDUMP:-x86_64-w64-mingw32-objdump}
  "$OBJDUMP" -p "$lib" >"$tmp/dump"
  awk '
    /^\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
    on && /^[[:space:]]*\[ *[0-9]+\]/ { sub(/^[[:space:]]*\[ *[0-9]+\][[:space:]]*/, ""); print; next }
    on && /^[[:space:]]*$/ { on = 0 }
  ' "$tmp/dump" | sort -u >"$tmp/have"
  # Only DLLs every 64-bit Windows has: the system DLLs the library calls and
  # the C runtime. Anything else (libstdc++-6.dll, libgcc_s_seh-1.dll,
  # libwinpthread-1.dll) would be missing on the user's machine.
  grep -E '^[[:space:]]*DLL Name:' "$tmp/dump" | awk '{ print $3 }' | sort -u >"$tmp/imports"
  allowed='^(kernel32|user32|setupapi|psapi|advapi32|ntdll|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll$'
  while read -r dll; do
    if ! grep -qiE "$allowed" <<<"$dll"; then
      echo "check-exports: $lib imports from $dll, which is not a Windows system DLL" >&2
      status=1
    fi
  done <"$tmp/imports"
  [[ -s $tmp/imports ]] || { echo "check-exports: no import table found in $lib" >&2; status=1; }
  ;;
*) usage ;;
esac

missing=$(comm -23 "$tmp/want" "$tmp/have")
extra=$(comm -13 "$tmp/want" "$tmp/have")
if [[ -n $missing ]]; then
  echo "check-exports: listed in $(basename "$def") but not exported by $(basename "$lib"):" >&2
  sed 's/^/  /' <<<"$missing" >&2
  status=1
fi
if [[ -n $extra ]]; then
  echo "check-exports: exported by $(basename "$lib") but not listed in $(basename "$def"):" >&2
  sed 's/^/  /' <<<"$extra" >&2
  status=1
fi
if [[ $status -eq 0 ]]; then
  echo "check-exports: $(basename "$lib"): $(wc -l <"$tmp/have") exports match $(basename "$def")"
fi
exit $status
