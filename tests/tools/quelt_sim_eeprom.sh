#!/usr/bin/env bash
# quelt-sim's EEPROM commands: placing the part, showing and setting its words,
# and seeing what the library wrote through the quelt tool.
set -euo pipefail
# Under ThreadSanitizer a process whose threads still run at exit (quelt's
# signal thread) sleeps a second there; the tests run hundreds of them.
export TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}atexit_sleep_ms=0"
: "${QUELT_BIN:?QUELT_BIN must name the build directory}"
SIM="$QUELT_BIN/quelt-sim"
QUELT="$QUELT_BIN/quelt"

QUELT_SIM_ROOT=$(mktemp -d /dev/shm/quelt-eeprom-tool-XXXXXX)
export QUELT_SIM_ROOT
trap 'rm -rf "$QUELT_SIM_ROOT"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
# word N of the JSON read on stdin
word() { python3 -c 'import json,sys; print(json.load(sys.stdin)["words"][int(sys.argv[1])])' "$1"; }
# expects the command to fail with a message on stderr containing $1
refused() {
    local want=$1
    shift
    local err
    if err=$("$@" 2>&1 >/dev/null); then fail "'$*' succeeded"; fi
    [[ $err == *"$want"* ]] || fail "'$*' said '$err', expected '$want'"
}

"$SIM" init --empty >/dev/null
[ "$("$SIM" add --family ox9162)" = 1 ] || fail "first card is not device 1"

# A new part is erased; the text dump shows 8 rows of 8 words.
dump=$("$SIM" eeprom 1)
[ "$(echo "$dump" | wc -l)" = 8 ] || fail "dump is not 8 rows: $dump"
[ "$(echo "$dump" | head -1)" = "00: FFFF FFFF FFFF FFFF FFFF FFFF FFFF FFFF" ] || fail "first row: $dump"
[ "$(echo "$dump" | tail -1 | cut -c1-3)" = "56:" ] || fail "last row: $dump"

# --set takes hex or decimal; --json gives every word.
"$SIM" eeprom 1 --set 5=0x1234 --set 63=42 >/dev/null
json=$("$SIM" eeprom 1 --json)
[ "$(echo "$json" | word 5)" = 4660 ] || fail "word 5 after --set: $json"
[ "$(echo "$json" | word 63)" = 42 ] || fail "word 63 after --set"
[ "$(echo "$json" | word 4)" = 65535 ] || fail "word 4 changed"
"$SIM" eeprom 1 --set 6=7 --dump | head -1 | grep -q '^00: FFFF FFFF FFFF FFFF FFFF 1234 0007 FFFF$' ||
    fail "--set with --dump does not show the new word"

# What quelt-sim set, the library reads; what the library writes, quelt-sim shows.
[ "$("$QUELT" eeprom read ox9162 0 --json | word 5)" = 4660 ] || fail "the library does not read word 5"
"$QUELT" eeprom write ox9162 0 7 0xBEEF >/dev/null
"$QUELT" eeprom erase ox9162 0 63 >/dev/null
json=$("$SIM" eeprom 1 --json)
[ "$(echo "$json" | word 7)" = 48879 ] || fail "the library's write is not shown"
[ "$(echo "$json" | word 63)" = 65535 ] || fail "the library's erase is not shown"

# Bad input is refused with a clear message, and nothing is written.
refused "word" "$SIM" eeprom 1 --set 64=1
refused "value" "$SIM" eeprom 1 --set 3=0x10000
refused "WORD=VALUE" "$SIM" eeprom 1 --set 3
refused "word" "$SIM" eeprom 1 --set 3=1 --set 99=1
[ "$("$SIM" eeprom 1 --json | word 3)" = 65535 ] || fail "a refused --set list wrote word 3"
refused "no device 9" "$SIM" eeprom 9

# Placing the part: a card without one, a chosen region, a region that is not there.
[ "$("$SIM" add --family ep4gxa)" = 2 ] || fail "second card"
refused "no EEPROM" "$SIM" eeprom 2
[ "$("$SIM" add --family ep4gxa --eeprom 2)" = 3 ] || fail "third card"
"$SIM" list --json | python3 -c 'import json,sys; d=json.load(sys.stdin)["devices"]; assert d[2].get("eeprom_region", d[2].get("eeprom-region")) == 2, d[2]' ||
    fail "--eeprom 2 not recorded"
"$SIM" eeprom 3 >/dev/null
[ "$("$SIM" add --family ox9162 --eeprom none)" = 4 ] || fail "fourth card"
refused "no EEPROM" "$SIM" eeprom 4
refused "region" "$SIM" add --family ox9162 --eeprom 5
refused "region" "$SIM" add --family ox9162 --eeprom -2

echo "quelt-sim eeprom: all checks passed"
