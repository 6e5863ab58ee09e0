#!/usr/bin/env bash
# The README's first ten minutes, run from start to end without questions:
# builds the library and its tools on a fresh Debian 12 machine, makes a
# simulated machine of its own and takes the README's tour on it (the cards,
# a register, an interrupt raised from another process, the EEPROM, the
# connection rules seen from two processes).
#   demo.sh            install what is missing, build, take the tour
#   demo.sh --tour     take the tour with the tools already built in
#                      $QUELT_BIN (default: build/)
set -euo pipefail

cd "$(dirname "$0")/.."
build=${QUELT_BUILD_PREFIX:-build}
if [[ ${1:-} != --tour ]]; then
    bash scripts/install-deps.sh linux
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug >/dev/null
    cmake --build "$build" -j"${QUELT_JOBS:-2}" --target quelt-sim quelt
fi
bin=$(cd "${QUELT_BIN:-$build}" && pwd)
export PATH="$bin:$PATH"

# A machine of the tour's own, so the default machine stays as it was.
QUELT_SIM_ROOT=$(mktemp -d /dev/shm/quelt-demo-XXXXXX)
export QUELT_SIM_ROOT
waiter=
cleanup() {
    [[ -n $waiter ]] && kill "$waiter" 2>/dev/null
    rm -rf "$QUELT_SIM_ROOT" "${saved:-}"
}
trap cleanup EXIT

# Shows each command as the README has it, then runs it.
run() {
    echo "\$ $*"
    "$@"
}
# A command that is meant to be refused: show it, its message and its code.
refused() {
    echo "\$ $*"
    local rc=0
    "$@" || rc=$?
    [[ $rc -ne 0 ]] || { echo "demo: '$*' should have been refused" >&2; exit 1; }
    echo "(exit code $rc)"
}
part() { printf '\n=== %s\n' "$1"; }
# Waits until the card's driver holds the pending interrupt wait of the
# background quelt ($waiter); stops at once if that quelt has ended.
wait_pending() {
    for _ in $(seq 400); do
        if ! kill -0 "$waiter" 2>/dev/null; then
            local rc=0
            wait "$waiter" || rc=$?
            waiter=
            echo "demo: the waiting quelt ended early (exit code $rc)" >&2
            exit 1
        fi
        [[ $(quelt irq waits ep4gxa 0 --json | grep -o '"irq_waits": [0-9]*' | grep -o '[0-9]*$') -ge 1 ]] && return
        sleep 0.05
    done
    echo "demo: the wait never became pending" >&2
    exit 1
}

part "1. The simulated machine (QUELT_SIM_ROOT=$QUELT_SIM_ROOT)"
run quelt-sim init
run quelt-sim list

part "2. The cards as a program sees them"
run quelt list
run quelt devices

part "3. Reading and writing a register"
run quelt read ep4gxa 0 0x10
run quelt write ep4gxa 0 0x10 0xC0FFEE01
run quelt read ep4gxa 0 0x10
run quelt write ox9162 0 0x20 0xAB
run quelt read ox9162 0 0x20 --count 16

part "4. An interrupt raised from another shell"
echo "\$ quelt irq wait ep4gxa 0 --timeout 10000        # shell 1"
quelt irq wait ep4gxa 0 --timeout 10000 &
waiter=$!
wait_pending
run quelt-sim irq 4                                # shell 2
wait "$waiter"
waiter=

part "5. The EEPROM"
run quelt eeprom read ox9162 0
run quelt eeprom write ox9162 0 7 0xBEEF
saved=$(mktemp)
run quelt eeprom save ox9162 0 "$saved"
run quelt-sim eeprom 3

part "6. The connection rules, seen from two shells"
echo "\$ quelt irq wait ep4gxa 0 --kind normal --timeout 0    # shell 1 holds the card"
quelt irq wait ep4gxa 0 --kind normal --timeout 0 &
waiter=$!
wait_pending
run quelt connections ep4gxa 0                     # shell 2
refused quelt read ep4gxa 0 0x10 --kind normal
run quelt read ep4gxa 0 0x10                       # diagnostic: always admitted
echo "\$ kill -INT $waiter                            # Ctrl-C in shell 1"
kill -INT "$waiter"
rc=0
wait "$waiter" || rc=$?
waiter=
echo "(shell 1 ended with exit code $rc: every card closed)"
run quelt connections ep4gxa 0
run quelt read ep4gxa 0 0x10 --kind normal

part "Where to go next"
cat <<'TEXT'
  quelt --help, man quelt, man quelt-sim      every command and option
  docs/user-guide.md                          families, connections, interrupts, EEPROM, DMA
  docs/api.md                                 every function with its results
  docs/simulator.md                           the simulated machine and quelt-sim
  examples/                                   small C programs (cmake --install, then build them)
TEXT
echo
echo "demo: the tour ran to the end"
