#!/usr/bin/env bash
# quelt-sim init --from and export: machine files round-trip through the
# command line, and a bad file is refused naming its field, leaving the
# machine as it was.
#   machine_file_cli.sh QUELT_SIM RIG_JSON
set -euo pipefail
qsim=$1 rig=$2
work=$(mktemp -d /dev/shm/quelt-sim-test-cli-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

a=$work/a b=$work/b
# A file in, the same file out.
"$qsim" init --root "$a" --from "$rig" >/dev/null
"$qsim" export --root "$a" >"$work/a.json"
cmp -s "$rig" "$work/a.json" || { diff "$rig" "$work/a.json" >&2; fail "export differs from the file loaded"; }

# The default machine, changed, out and back in through a file.
"$qsim" init --root "$b" >/dev/null
"$qsim" add --root "$b" --family ep4gxa --card-id 0x99 --serial 5 --irq 0 >/dev/null
"$qsim" eeprom --root "$b" 2 --set 7=0x1234 >/dev/null
"$qsim" driver-version --root "$b" 117 >/dev/null
"$qsim" export --root "$b" "$work/b.json"
"$qsim" init --root "$a" --from "$work/b.json" --force >/dev/null
"$qsim" export --root "$a" | cmp -s - "$work/b.json" || fail "a re-loaded machine exports differently"
"$qsim" list --root "$a" --json | grep -q '"driver_version": 117' || fail "driver version not carried"
"$qsim" eeprom --root "$a" 2 --json | tr -d ' \n' | grep -q '"words":\[65535,65535,65535,65535,65535,65535,65535,4660' ||
  fail "EEPROM words not carried"

# An existing machine is kept unless --force.
if "$qsim" init --root "$a" --from "$rig" 2>"$work/err"; then fail "replaced a machine without --force"; fi
grep -q "already exists" "$work/err" || fail "unclear refusal: $(cat "$work/err")"

# A bad file names its field and changes nothing.
sed 's/"irq": 18/"irq": 300/' "$rig" >"$work/bad.json"
if "$qsim" init --root "$a" --from "$work/bad.json" --force 2>"$work/err"; then fail "took a bad file"; fi
grep -q "^quelt-sim: cards\[0\]\.irq: is 300, more than 255$" "$work/err" || fail "bad file error: $(cat "$work/err")"
"$qsim" export --root "$a" | cmp -s - "$work/b.json" || fail "a refused file changed the machine"

# --from excludes --empty; export needs a machine.
if "$qsim" init --root "$work/c" --from "$rig" --empty 2>/dev/null; then fail "took --from with --empty"; fi
if "$qsim" export --root "$work/none" >/dev/null 2>&1; then fail "exported a machine that is not there"; fi
echo "machine files via quelt-sim: ok"
