#!/usr/bin/env bash
# Runs a cross-built Windows program under Wine, headless and bounded in time,
# in a throw-away Wine prefix that is removed afterwards.
#   wine-run.sh PROGRAM.exe [ARGS...]
# QUELT_WINE_TIMEOUT (seconds, default 300) bounds the whole run.
set -euo pipefail

[[ $# -ge 1 ]] || { echo "usage: $0 PROGRAM.exe [ARGS...]" >&2; exit 2; }

wine=$(command -v wine64 || true)
[[ -n $wine ]] || for w in /usr/lib/wine/wine64 /usr/lib64/wine/wine64 /usr/bin/wine; do
  [[ -x $w ]] && { wine=$w; break; }
done
[[ -n $wine ]] || { echo "wine-run: wine64 not found (apt-get install wine64)" >&2; exit 2; }
server=$(dirname "$wine")/wineserver64
[[ -x $server ]] || server=$(dirname "$wine")/wineserver
[[ -x $server ]] || server=$(command -v wineserver || true)

prefix=$(mktemp -d "${TMPDIR:-/tmp}/quelt-wine.XXXXXX")
export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all
# No display, no Mono or Gecko installers, no desktop integration.
unset DISPLAY WAYLAND_DISPLAY
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="

cleanup() {
  if [[ -n $server ]]; then
    timeout 30 "$server" -k >/dev/null 2>&1 || true
    timeout 30 "$server" -w >/dev/null 2>&1 || true
  fi
  rm -rf "$prefix"
}
trap cleanup EXIT

program=$1
shift
dir=$(cd "$(dirname "$program")" && pwd)
cd "$dir"
set +e
timeout --kill-after=10 "${QUELT_WINE_TIMEOUT:-300}" "$wine" "./$(basename "$program")" "$@"
status=$?
set -e
if [[ $status -eq 124 || $status -eq 137 ]]; then
  echo "wine-run: $(basename "$program") did not finish within ${QUELT_WINE_TIMEOUT:-300} s" >&2
fi
exit $status
