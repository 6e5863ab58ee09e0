#!/usr/bin/env bash
# quelt-sim end to end: every command against a temporary machine root.
set -u
SIM="${QUELT_BIN:?QUELT_BIN not set}/quelt-sim"
ROOT="$(mktemp -d /dev/shm/quelt-sim-tooltest-XXXXXX)"
trap 'rm -rf "$ROOT"' EXIT
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# expect_ok DESCRIPTION PATTERN -- command...: exit 0 and stdout matching PATTERN (grep -E)
expect_ok() {
    local what="$1" pattern="$2"; shift 3
    local out
    if ! out="$("$@" 2>&1)"; then fail "$what: exit $? ($out)"; return; fi
    if ! grep -Eq -- "$pattern" <<<"$out"; then fail "$what: output did not match /$pattern/: $out"; fi
}

# expect_err DESCRIPTION PATTERN -- command...: non-zero exit, one line on stderr matching PATTERN
expect_err() {
    local what="$1" pattern="$2"; shift 3
    local err rc
    err="$("$@" 2>&1 >/dev/null)"; rc=$?
    if [ "$rc" -eq 0 ]; then fail "$what: exit 0"; return; fi
    if [ "$(wc -l <<<"$err")" -ne 1 ]; then fail "$what: expected one line on stderr, got: $err"; fi
    if ! grep -Eq -- "$pattern" <<<"$err"; then fail "$what: stderr did not match /$pattern/: $err"; fi
}

# json_get JSON EXPR: one value through python
json_get() { python3 -c "import json,sys; d=json.load(sys.stdin); print(eval(sys.argv[1]))" "$2" <<<"$1"; }

# --- command-line mistakes: one line, non-zero exit ---
expect_err "unknown command" "quelt-sim --help" -- "$SIM" frob --root "$ROOT"
expect_err "bad family" "ox952" -- "$SIM" add --family foo --root "$ROOT"
expect_err "missing device" "N is required" -- "$SIM" irq --root "$ROOT"
expect_ok "help" "Usage|usage|Subcommands|SUBCOMMANDS" -- "$SIM" --help

# --- before any machine exists ---
expect_err "irq without machine" "no machine" -- "$SIM" irq 1 --root "$ROOT"
expect_err "status without machine" "no machine" -- "$SIM" status 1 --root "$ROOT"

# --- init, list ---
expect_ok "init" "default machine" -- "$SIM" init --root "$ROOT"
expect_err "init again" "already exists.*--force" -- "$SIM" init --root "$ROOT"
out="$("$SIM" list --json --root "$ROOT")" || fail "list --json"
[ "$(json_get "$out" "len(d['devices'])")" = 4 ] || fail "default machine has 4 devices: $out"
[ "$(json_get "$out" "[c['device_id'] for c in d['devices']]")" = "[768, 769, 256, 2064]" ] || fail "default device ids: $out"
[ "$(json_get "$out" "[c['vendor'] for c in d['devices']]")" = "[5984, 5984, 5984, 5984]" ] || fail "vendor ids: $out"
[ "$(json_get "$out" "d['devices'][0]['bus']==d['devices'][1]['bus'] and d['devices'][0]['slot']==d['devices'][1]['slot']")" = True ] || fail "OX952 functions share bus and slot"
[ "$(json_get "$out" "len(d['devices'][1]['regions'])")" = 2 ] || fail "OX952 function 1 has two regions"
[ "$(json_get "$out" "[d['devices'][3]['regions'][0]['size'], d['devices'][3]['card_id'] is not None, d['devices'][3]['serial'] is not None]")" = "[65536, True, True]" ] || fail "EP4GXA region 0 and identity"
[ "$(json_get "$out" "d['driver_version']")" = 110 ] || fail "driver version 110"
expect_ok "plain list is a table" "^DEV +FAMILY +VENDOR" -- "$SIM" list --root "$ROOT"
expect_ok "plain list shows EP4GXA" "^4 +EP4GXA +0x1760 +0x0810" -- "$SIM" list --root "$ROOT"

# --- init --empty --force, add ---
expect_ok "init --empty --force" "empty machine" -- "$SIM" init --empty --force --root "$ROOT"
expect_ok "empty list" "0 devices" -- "$SIM" list --root "$ROOT"
expect_ok "empty stays empty" "0 devices" -- "$SIM" list --root "$ROOT"
expect_ok "add ox9162" "^1$" -- "$SIM" add --family ox9162 --description "First card" --root "$ROOT"
expect_ok "add custom" "^2$" -- "$SIM" add --family ep4gxa --vendor 0x1234 --device 0x10 --bus 7 --slot 0 \
    --pci-address 0x00050000 --irq 0 --region 0x4000 --region 256:unmapped --card-id 0xCAFE --serial 99 \
    --no-status-block --description "Second card" --root "$ROOT"
out="$("$SIM" list --json --root "$ROOT")"
[ "$(json_get "$out" "d['devices'][1]['vendor'], d['devices'][1]['device_id'], d['devices'][1]['bus'], d['devices'][1]['irq'], d['devices'][1]['pci_address']")" = "(4660, 16, 7, 0, 327680)" ] || fail "custom card fields: $out"
[ "$(json_get "$out" "d['devices'][1]['regions']")" = "[{'size': 16384, 'unmapped': False}, {'size': 256, 'unmapped': True}]" ] || fail "custom regions: $out"
[ "$(json_get "$out" "d['devices'][1]['card_id'], d['devices'][1]['serial'], d['devices'][1]['status_block']")" = "(51966, 99, False)" ] || fail "identity and status block: $out"
expect_ok "add third" "^3$" -- "$SIM" add --description "Third card" --root "$ROOT"

# Bad values: one clear line, non-zero exit, nothing added.
expect_err "bad number" "not a number" -- "$SIM" add --bus 12x --root "$ROOT"
expect_err "irq too large" "too large" -- "$SIM" add --irq 256 --root "$ROOT"
expect_err "bad region mark" "unmapped" -- "$SIM" add --region 4096:mapped --root "$ROOT"
expect_err "zero region" "size 0" -- "$SIM" add --region 0 --root "$ROOT"
expect_err "card id without room" "16376" -- "$SIM" add --region 4096 --card-id 5 --root "$ROOT"
long="$(printf 'x%.0s' $(seq 1 301))"
expect_err "long description" "300" -- "$SIM" add --description "$long" --root "$ROOT"
expect_ok "still three" "3 devices" -- "$SIM" list --root "$ROOT"

# --- remove: later devices move up ---
expect_err "remove 0" "no device 0" -- "$SIM" remove 0 --root "$ROOT"
expect_err "remove 4" "no device 4" -- "$SIM" remove 4 --root "$ROOT"
expect_ok "remove 1" "removed device 1" -- "$SIM" remove 1 --root "$ROOT"
out="$("$SIM" list --json --root "$ROOT")"
[ "$(json_get "$out" "[c['description'] for c in d['devices']]")" = "['Second card', 'Third card']" ] || fail "remove moved devices up: $out"

# --- irq and status ---
expect_ok "irq" "interrupt counter 1$" -- "$SIM" irq 2 --root "$ROOT"
expect_ok "irq --count" "interrupt counter 6$" -- "$SIM" irq 0x2 --count 5 --root "$ROOT"
expect_err "irq bad device" "no device 3" -- "$SIM" irq 3 --root "$ROOT"
out="$("$SIM" status 2 --json --set slot-count=3 --set slot2=0x1234 --set diag-count=-1 --set ack-counter=6 --root "$ROOT")" || fail "status --set"
[ "$(json_get "$out" "d['irq_counter'], d['ack_counter'], d['diag_count'], d['slot_count'], d['slots'], d['slot2'], d['waits']")" = "(6, 6, -1, 3, [0, 0, 4660], 4660, 0)" ] || fail "status json: $out"
expect_err "status bad field" "unknown status field" -- "$SIM" status 2 --set foo=1 --root "$ROOT"
expect_err "status bad value" "not a number" -- "$SIM" status 2 --set irq-counter=abc --root "$ROOT"
expect_err "status no equals" "FIELD=VALUE" -- "$SIM" status 2 --set irq-counter --root "$ROOT"
expect_err "status slot out of block" "too large" -- "$SIM" status 2 --set slot250=1 --root "$ROOT"
# A refused --set writes nothing, not even the valid ones before it.
"$SIM" status 2 --set ack-counter=1 --set bogus=2 --root "$ROOT" >/dev/null 2>&1
out="$("$SIM" status 2 --json --root "$ROOT")"
[ "$(json_get "$out" "d['ack_counter']")" = 6 ] || fail "refused --set wrote a field: $out"
expect_ok "plain status" "slot2 +pid 4660" -- "$SIM" status 2 --root "$ROOT"
expect_ok "plain status waits" "waits +0 pending" -- "$SIM" status 2 --root "$ROOT"

# --- driver version ---
expect_ok "driver-version" "^110$" -- "$SIM" driver-version --root "$ROOT"
expect_ok "driver-version set" "^108$" -- "$SIM" driver-version 108 --root "$ROOT"
expect_ok "driver-version kept" "^108$" -- "$SIM" driver-version --root "$ROOT"
expect_err "driver-version bad" "not a number" -- "$SIM" driver-version v2 --root "$ROOT"

# --- QUELT_SIM_ROOT is the default root ---
expect_ok "root from environment" "2 devices" -- env QUELT_SIM_ROOT="$ROOT" "$SIM" list

# --- JSON keys are snake_case throughout ---
out="$("$SIM" list --json --root "$ROOT")"
[ "$(json_get "$out" "sorted(k for c in d['devices'] for k in c if '-' in k) + [k for k in d if '-' in k]")" = "[]" ] || fail "list keys snake_case: $out"
out="$("$SIM" status 1 --json --root "$ROOT")"
[ "$(json_get "$out" "[k for k in d if '-' in k]")" = "[]" ] || fail "status keys snake_case: $out"

# --- FAMILY by the library's rules: vendor first, then the device id ranges ---
FAM="$ROOT/families"
"$SIM" init --empty --root "$FAM" >/dev/null || fail "init families"
"$SIM" add --vendor 0x1234 --device 0x0100 --root "$FAM" >/dev/null
"$SIM" add --device 0x8123 --root "$FAM" >/dev/null
"$SIM" add --device 0x0240 --root "$FAM" >/dev/null
"$SIM" add --device 0x0241 --root "$FAM" >/dev/null
"$SIM" add --device 0x0401 --root "$FAM" >/dev/null
"$SIM" add --device 0x88FF --root "$FAM" >/dev/null
"$SIM" add --device 0x0600 --root "$FAM" >/dev/null
out="$("$SIM" list --json --root "$FAM")"
[ "$(json_get "$out" "[c['family'] for c in d['devices']]")" = "['-', 'OX9162', 'OX952 f0', 'OX952 f1', 'OX952 f1', 'EP4GXA', '-']" ] || fail "families: $out"
expect_ok "foreign vendor has no family" "^1 +- +0x1234 +0x0100" -- "$SIM" list --root "$FAM"

# --- an explicit root is never made by using it ---
FRESH="$ROOT/fresh"
expect_err "list on a missing explicit root" "no machine at $FRESH.*quelt-sim init" -- "$SIM" list --root "$FRESH"
expect_err "add on a missing explicit root" "no machine at $FRESH" -- "$SIM" add --root "$FRESH"
expect_err "missing root from environment" "no machine at $FRESH" -- env QUELT_SIM_ROOT="$FRESH" "$SIM" list
[ -e "$FRESH" ] && fail "a missing root was made"
expect_ok "init makes the root" "default machine" -- "$SIM" init --root "$FRESH"
expect_ok "then it lists" "4 devices" -- "$SIM" list --root "$FRESH"

# --- damaged cards: listed as such, repaired or removed ---
python3 - "$FRESH" <<'PY'
import json, os, sys
root = sys.argv[1]
ids = open(os.path.join(root, "machine")).read().split("cards")[1].split()[1:]
os.truncate(os.path.join(root, "card-" + ids[2]), 12288)   # the regions cut off
with open(os.path.join(root, "card-" + ids[3]), "r+b") as f:  # not a card file
    f.write(b"\0\0\0\0")
PY
out="$("$SIM" list --root "$FRESH")"
grep -Eq "^3 +damaged" <<<"$out" || fail "device 3 listed damaged: $out"
grep -Eq "^device 3: .*past the end" <<<"$out" || fail "device 3 reason: $out"
grep -Eq "^device 4: .*not a card file" <<<"$out" || fail "device 4 reason: $out"
out="$("$SIM" list --json --root "$FRESH")"
[ "$(json_get "$out" "[('damaged' in c) for c in d['devices']]")" = "[False, False, True, True]" ] || fail "damaged in JSON: $out"
expect_err "status of a damaged card" "card-.*damaged" -- "$SIM" status 3 --root "$FRESH"
expect_ok "repair" "repaired device 3" -- "$SIM" repair 3 --root "$FRESH"
expect_err "repair a header" "cannot be repaired.*quelt-sim remove 4" -- "$SIM" repair 4 --root "$FRESH"
expect_err "repair a sound card" "not damaged" -- "$SIM" repair 1 --root "$FRESH"
expect_ok "remove the damaged card" "removed device 4" -- "$SIM" remove 4 --root "$FRESH"
expect_ok "three sound devices" "^3 +OX9162" -- "$SIM" list --root "$FRESH"

if [ "$failures" -ne 0 ]; then echo "$failures failure(s)"; exit 1; fi
echo "all quelt-sim checks passed"
