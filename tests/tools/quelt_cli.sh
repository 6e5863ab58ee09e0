#!/usr/bin/env bash
# The quelt tool end to end (tests/tools/quelt_cli_test.py), each case on a
# machine of its own. Debian's pytest lives with the system's python3.
set -euo pipefail
: "${QUELT_BIN:?QUELT_BIN must name the build directory}"
py=/usr/bin/python3
[ -x "$py" ] || py=python3
exec "$py" -m pytest -q -p no:cacheprovider "$(dirname "$0")/quelt_cli_test.py"
