#!/usr/bin/env bash
# The Windows package: installs the cross-built DLL into a temporary prefix,
# checks what lands where, builds the C examples against the installed
# header and import library, runs one and the installed quelt.exe under Wine
# (no cards there), and checks the zip that CPack makes.
#   install.sh BUILD_DIR C_COMPILER
set -euo pipefail
build=$1
cc=$2
src=$(cd "$(dirname "$0")/../../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/quelt_ox952.dll bin/quelt.exe lib/quelt_ox952.lib lib/quelt_ox952.def include/quelt_ox952.h \
    share/doc/quelt_ox952/api.md; do
    [ -e "$prefix/$f" ] || fail "not installed: $f"
done

mkdir -p "$work/run"
cp "$prefix/bin/quelt_ox952.dll" "$work/run/"
for ex in "$src"/examples/*.c; do
    name=$(basename "$ex" .c)
    "$cc" -std=c11 -Wall -Wextra -Werror -pedantic -I"$prefix/include" "$ex" "$prefix/lib/quelt_ox952.lib" \
        -static-libgcc -o "$work/run/$name.exe" || fail "$name does not build against the installed package"
done
out=$(bash "$src/scripts/wine-run.sh" "$work/run/list_cards.exe") || fail "list_cards.exe failed under Wine: $out"
grep -q "^interface version 318" <<<"$out" || fail "list_cards.exe: $out"
grep -q "^no cards" <<<"$out" || fail "list_cards.exe does not say 'no cards' on a machine without cards: $out"

# The installed tool, beside the installed DLL.
cp "$prefix/bin/quelt.exe" "$work/run/"
out=$(bash "$src/scripts/wine-run.sh" "$work/run/quelt.exe" list) || fail "quelt.exe list failed under Wine: $out"
grep -q "^no cards" <<<"$out" || fail "quelt.exe list: $out"

(cd "$work" && cpack --config "$build/CPackConfig.cmake" -B "$work/pkg" >/dev/null) || fail "cpack"
zip=$(ls "$work"/pkg/quelt_ox952-*-win64.zip) || fail "no zip made"
listing=$(unzip -l "$zip")
for f in bin/quelt_ox952.dll bin/quelt.exe lib/quelt_ox952.lib lib/quelt_ox952.def include/quelt_ox952.h; do
    grep -q "/$f\$" <<<"$listing" || fail "the zip lacks $f"
done
echo "Windows package: all checks passed"
