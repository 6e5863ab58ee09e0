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
[ "$(json_get "$out" "[c['device-id'] for c in d['devices']]")" = "[768, 769, 256, 2064]" ] || fail "default device ids: $out"
[ "$(json_get "$out" "[c['vendor'] for c in d['devices']]")" = "[5984, 5984, 5984, 5984]" ] || fail "vendor ids: $out"
[ "$(json_get "$out" "d['devices'][0]['bus']==d['devices'][1]['bus'] and d['devices'][0]['slot']==d['devices'][1]['slot']")" = True ] || fail "OX952 functions share bus and slot"
[ "$(json_get "$out" "len(d['devices'][1]['regions'])")" = 2 ] || fail "OX952 function 1 has two regions"
[ "$(json_get "$out" "[d['devices'][3]['regions'][0]['size'], d['devices'][3]['card-id'] is not None, d['devices'][3]['serial'] is not None]")" = "[65536, True, True]" ] || fail "EP4GXA region 0 and identity"
[ "$(json_get "$out" "d['driver-version']")" = 110 ] || fail "driver version 110"
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
[ "$(json_get "$out" "d['devices'][1]['vendor'], d['devices'][1]['device-id'], d['devices'][1]['bus'], d['devices'][1]['irq'], d['devices'][1]['pci-address']")" = "(4660, 16, 7, 0, 327680)" ] || fail "custom card fields: $out"
[ "$(json_get "$out" "d['devices'][1]['regions']")" = "[{'size': 16384, 'unmapped': False}, {'size': 256, 'unmapped': True}]" ] || fail "custom regions: $out"
[ "$(json_get "$out" "d['devices'][1]['card-id'], d['devices'][1]['serial'], d['devices'][1]['status-block']")" = "(51966, 99, False)" ] || fail "identity and status block: $out"
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
[ "$(json_get "$out" "d['irq-counter'], d['ack-counter'], d['diag-count'], d['slot-count'], d['slots'], d['slot2'], d['waits']")" = "(6, 6, -1, 3, [0, 0, 4660], 4660, 0)" ] || fail "status json: $out"
expect_err "status bad field" "unknown status field" -- "$SIM" status 2 --set foo=1 --root "$ROOT"
expect_err "status bad value" "not a number" -- "$SIM" status 2 --set irq-counter=abc --root "$ROOT"
expect_err "status no equals" "FIELD=VALUE" -- "$SIM" status 2 --set irq-counter --root "$ROOT"
expect_err "status slot out of block" "too large" -- "$SIM" status 2 --set slot250=1 --root "$ROOT"
# A refused --set writes nothing, not even the valid ones before it.
"$SIM" status 2 --set ack-counter=1 --set bogus=2 --root "$ROOT" >/dev/null 2>&1
out="$("$SIM" status 2 --json --root "$ROOT")"
[ "$(json_get "$out" "d['ack-counter']")" = 6 ] || fail "refused --set wrote a field: $out"
expect_ok "plain status" "slot2 +pid 4660" -- "$SIM" status 2 --root "$ROOT"
expect_ok "plain status waits" "waits +0 pending" -- "$SIM" status 2 --root "$ROOT"

# --- driver version ---
expect_ok "driver-version" "^110$" -- "$SIM" driver-version --root "$ROOT"
expect_ok "driver-version set" "^108$" -- "$SIM" driver-version 108 --root "$ROOT"
expect_ok "driver-version kept" "^108$" -- "$SIM" driver-version --root "$ROOT"
expect_err "driver-version bad" "not a number" -- "$SIM" driver-version v2 --root "$ROOT"

# --- QUELT_SIM_ROOT is the default root ---
expect_ok "root from environment" "2 devices" -- env QUELT_SIM_ROOT="$ROOT" "$SIM" list

# --- list on a fresh root makes the default machine ---
FRESH="$ROOT/fresh"
expect_ok "list makes default machine" "4 devices" -- "$SIM" list --root "$FRESH"

if [ "$failures" -ne 0 ]; then echo "$failures failure(s)"; exit 1; fi
echo "all quelt-sim checks passed"
