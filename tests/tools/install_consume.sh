#!/usr/bin/env bash
# Installs the build into a temporary prefix, checks what lands where, and
# builds and runs the examples against the installed package twice: through
# CMake's find_package and through pkg-config. The examples run against a
# machine of their own and must change nothing on it without --write.
set -euo pipefail
# Under ThreadSanitizer a process whose threads still run at exit (quelt's
# signal thread) sleeps a second there; the tests run hundreds of them.
export TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}atexit_sleep_ms=0"
: "${QUELT_BIN:?QUELT_BIN must name the build directory}"
src=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
QUELT_SIM_ROOT=$(mktemp -d /dev/shm/quelt-install-XXXXXX)
export QUELT_SIM_ROOT
trap 'rm -rf "$work" "$QUELT_SIM_ROOT"' EXIT
prefix=$work/prefix
# A sanitizer build's library needs its programs built with the same runtime.
san=()
grep -q '^QUELT_ASAN:BOOL=ON' "$QUELT_BIN/CMakeCache.txt" && san=(-fsanitize=address,undefined)
grep -q '^QUELT_TSAN:BOOL=ON' "$QUELT_BIN/CMakeCache.txt" && san=(-fsanitize=thread)

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

cmake --install "$QUELT_BIN" --prefix "$prefix" >/dev/null
libdir=$(cd "$prefix" && ls -d lib*/libquelt_ox952.so | xargs dirname)
for f in include/quelt_ox952.h include/quelt_sim.h "$libdir/libquelt_sim.so" "$libdir/libquelt_ox952.so.3.18.25317" bin/quelt bin/quelt-sim \
    share/man/man1/quelt.1 share/man/man1/quelt-sim.1 "$libdir/cmake/quelt_ox952/quelt_ox952Config.cmake" \
    "$libdir/pkgconfig/quelt_ox952.pc" share/doc/quelt_ox952/api.md share/doc/quelt_ox952/examples/eeprom.c; do
    [ -e "$prefix/$f" ] || fail "not installed: $f"
done
# The versioned library with its two links, as the loader and the linker want.
[ "$(readlink "$prefix/$libdir/libquelt_ox952.so.3")" = libquelt_ox952.so.3.18.25317 ] || fail "soname link"
[ "$(readlink "$prefix/$libdir/libquelt_ox952.so")" = libquelt_ox952.so.3 ] || fail "development link"
# The installed tool runs from the prefix alone.
"$prefix/bin/quelt-sim" init >/dev/null
env -u LD_LIBRARY_PATH "$prefix/bin/quelt" --version | grep -q "library interface version 318" ||
    fail "installed quelt does not run"

# A snapshot of everything the examples could change.
state() {
    "$prefix/bin/quelt-sim" eeprom 3
    "$prefix/bin/quelt-sim" eeprom 2
    "$prefix/bin/quelt" read ep4gxa 0 0 --count 64
    "$prefix/bin/quelt" read ep4gxa 0 0 --region shared --count 996
}

# run_examples DIR: every example against the machine, read-only.
run_examples() {
    local dir=$1 before
    before=$(state)
    "$dir/list_cards" | grep -q "EP4GXA  position 0" || fail "$dir/list_cards: no EP4GXA card"
    "$dir/registers" 0x10 | grep -q "register 0x0010 = 0x" || fail "$dir/registers"
    "$dir/eeprom" | grep -q "^56:" || fail "$dir/eeprom: no dump"
    "$dir/walkthrough" 100 >/dev/null || fail "$dir/walkthrough"
    "$dir/interrupts" 1 100 >/dev/null && fail "$dir/interrupts: no time-out without an interrupt"
    [ "$(state)" = "$before" ] || fail "$dir: an example changed the card without --write"
    "$dir/eeprom" --write 5 0x1234 | grep -q "word 5 is now 0x1234" || fail "$dir/eeprom --write"
    "$dir/registers" --write 0x10 7 | grep -q "0x00000007" || fail "$dir/registers --write"
    "$prefix/bin/quelt-sim" init --force >/dev/null
}

# Through find_package.
cmake -S "$src/tests/tools/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
    -DQUELT_EXAMPLES_DIR="$src/examples" -DCMAKE_C_FLAGS="${san[*]}" -DCMAKE_EXE_LINKER_FLAGS="${san[*]}" >/dev/null || fail "find_package(quelt_ox952) failed"
cmake --build "$work/cmake-build" >/dev/null || fail "examples do not build through find_package"
run_examples "$work/cmake-build"

# Through pkg-config, with a plain C compiler.
export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
[ "$(pkg-config --modversion quelt_ox952)" = 3.18.25317 ] || fail "pkg-config version"
mkdir -p "$work/pc"
for ex in "$src"/examples/*.c; do
    name=$(basename "$ex" .c)
    # shellcheck disable=SC2046
    cc -std=c11 -Wall -Wextra -Werror -pedantic "${san[@]}" $(pkg-config --cflags quelt_ox952) "$ex" -o "$work/pc/$name" \
        $(pkg-config --libs quelt_ox952) -Wl,-rpath,"$(pkg-config --variable=libdir quelt_ox952)" ||
        fail "$name does not build through pkg-config"
done
run_examples "$work/pc"
echo "install and consume: all checks passed"
