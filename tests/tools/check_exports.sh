#!/usr/bin/env bash
# The export/import check itself: it passes on the built shared object and
# fails for each kind of mismatch (a .def name not exported, an export not
# listed, a name listed twice, a DLL importing a non-system DLL).
set -u
root="$(cd "$(dirname "$0")/../.." && pwd)"
check="$root/scripts/check-exports.sh"
so="${QUELT_BIN:?QUELT_BIN not set}/libquelt_ox952.so"
def="$root/src/quelt_ox952.def"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# expect STATUS PATTERN DESCRIPTION -- command...
expect() {
  local want="$1" pattern="$2" what="$3"; shift 4
  local out status
  out="$("$@" 2>&1)"; status=$?
  out="${out//$'\n'/ }"  # one line, so a pattern may span the message
  if [[ $want == ok && $status -ne 0 ]] || [[ $want == fail && $status -eq 0 ]]; then
    fail "$what: exit $status: $out"; return
  fi
  grep -Eq -- "$pattern" <<<"$out" || fail "$what: output did not match /$pattern/: $out"
}

expect ok "exports match" "the built library matches its .def" -- bash "$check" so "$so" "$def"

{ cat "$def"; echo "NotAnExport ; trailing comment"; } >"$tmp/extra.def"
expect fail "not exported by.*NotAnExport" "a .def name the library lacks" -- bash "$check" so "$so" "$tmp/extra.def"

first=$(awk '/^EXPORTS/{on=1;next} on && /^[A-Za-z_]/{print $1; exit}' "$def")
grep -vx "$first" "$def" >"$tmp/short.def"
expect fail "not listed in.*$first" "an export the .def lacks" -- bash "$check" so "$so" "$tmp/short.def"

{ cat "$def"; echo "$first"; } >"$tmp/twice.def"
expect fail "listed twice" "a name listed twice" -- bash "$check" so "$so" "$tmp/twice.def"

expect fail "usage" "an unknown mode" -- bash "$check" exe "$so" "$def"

# DLL mode over a stand-in objdump, so the import rule is checked without a
# Windows build: system DLLs pass, a compiler runtime DLL fails.
printf 'LIBRARY x.dll\nEXPORTS\nClassInstaller\n' >"$tmp/one.def"
touch "$tmp/x.dll"
fake_objdump() {
  cat >"$tmp/objdump" <<EOF2
#!/bin/sh
cat <<'DUMP'
The Import Tables (interpreted .idata section contents)
	DLL Name: KERNEL32.dll
	DLL Name: SETUPAPI.dll
	DLL Name: $1
[Ordinal/Name Pointer] Table
	[   0] ClassInstaller

DUMP
EOF2
  chmod +x "$tmp/objdump"
}
fake_objdump msvcrt.dll
expect ok "1 exports match" "a DLL importing only system DLLs" -- env OBJDUMP="$tmp/objdump" bash "$check" dll "$tmp/x.dll" "$tmp/one.def"
fake_objdump libstdc++-6.dll
expect fail "imports from libstdc\+\+-6.dll" "a DLL importing the C++ runtime" -- env OBJDUMP="$tmp/objdump" bash "$check" dll "$tmp/x.dll" "$tmp/one.def"

[[ $failures -eq 0 ]] && echo "check_exports: all passed"
exit $((failures > 0))
