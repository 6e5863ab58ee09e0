#!/usr/bin/env bash
# The README's tour (scripts/demo.sh) runs to the end against the built tools.
set -euo pipefail
# Under ThreadSanitizer a process whose threads still run at exit (quelt's
# signal thread) sleeps a second there; the tests run hundreds of them.
export TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}atexit_sleep_ms=0"
: "${QUELT_BIN:?QUELT_BIN must name the build directory}"
out=$(bash "$(dirname "$0")/../../scripts/demo.sh" --tour 2>&1) || {
    echo "$out"
    echo "FAIL: the demo did not run to the end" >&2
    exit 1
}
for want in "interrupt of ep4gxa 0 (1 since open)" "EEPROM word 7 of ox9162 0 is 0xBEEF" "refused" \
    "1 non-diagnostic connection(s)" "demo: the tour ran to the end"; do
    grep -qF "$want" <<<"$out" || {
        echo "$out"
        echo "FAIL: the demo's output lacks '$want'" >&2
        exit 1
    }
done
echo "demo: passed"
