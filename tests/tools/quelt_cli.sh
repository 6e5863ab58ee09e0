#!/usr/bin/env bash
# The quelt tool end to end (tests/tools/quelt_cli_test.py), each case on a
# machine of its own. Debian's pytest lives with the system's python3.
set -euo pipefail
# Under ThreadSanitizer a process whose threads still run at exit (quelt's
# signal thread) sleeps a second there; the tests run hundreds of them.
export TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}atexit_sleep_ms=0"
: "${QUELT_BIN:?QUELT_BIN must name the build directory}"
py=/usr/bin/python3
[ -x "$py" ] || py=python3
exec "$py" -m pytest -q -p no:cacheprovider "$(dirname "$0")/quelt_cli_test.py"
