#!/usr/bin/env bash
# The tool transcripts of tests/tools/transcripts against the Linux tools: the same
# commands and output that the Wine checks hold quelt.exe and quelt-sim.exe to.
set -euo pipefail
: "${QUELT_BIN:?QUELT_BIN must name the build directory}"
here=$(cd "$(dirname "$0")/transcripts" && pwd)
py=/usr/bin/python3
[ -x "$py" ] || py=python3
for t in "$here"/*.txt; do
    "$py" "$here/transcript.py" "$QUELT_BIN" "$t"
done
