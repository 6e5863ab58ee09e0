#!/usr/bin/env bash
# Checks a DLL whose debug information was moved out: no debug sections and no
# symbols left in it, at most MAX_BYTES long, and a .gnu_debuglink naming the
# file beside it whose checksum matches, a file that holds the debug sections.
#   check-debug-split.sh DLL MAX_BYTES
set -euo pipefail
dll=$1 max=$2
objdump=${OBJDUMP:-objdump} objcopy=${OBJCOPY:-objcopy}
debug=$dll.debug
fail() { echo "check-debug-split: $*" >&2; exit 1; }

[[ -f $debug ]] || fail "$debug is missing"
sections=$("$objdump" -h "$dll")
grep -q '\.debug_' <<<"$sections" && fail "$dll still holds debug sections"
grep -q '\.gnu_debuglink' <<<"$sections" || fail "$dll names no debug file"
"$objdump" -t "$dll" | grep -q '^\[' && fail "$dll still holds symbols"
size=$(stat -c %s "$dll")
((size <= max)) || fail "$dll is $size bytes, more than $max"
"$objdump" -h "$debug" | grep -q '\.debug_info' || fail "$debug holds no debug information"

# The link: the file name, zero padding to 4 bytes, then the CRC-32 of the
# debug file, little-endian. objdump prints the section's bytes in hex.
link=$("$objdump" -s -j .gnu_debuglink "$dll")
LINK=$link python3 - "$debug" <<'PY' || fail "the link does not match $(basename "$debug")"
import os, re, sys, zlib
data = b''
for line in os.environ['LINK'].splitlines():
    m = re.match(r'^ [0-9a-f]+ ((?:[0-9a-f]{2,8} ?){1,4})', line)
    if m:
        data += bytes.fromhex(m.group(1).replace(' ', ''))
debug = sys.argv[1]
name = data.split(b'\0', 1)[0].decode()
crc = int.from_bytes(data[-4:], 'little')
ok = name == os.path.basename(debug) and crc == zlib.crc32(open(debug, 'rb').read()) & 0xFFFFFFFF
print(f"check-debug-split: link names {name!r}, checksum {'matches' if ok else 'does not match'}")
sys.exit(0 if ok else 1)
PY
echo "check-debug-split: $dll is $size bytes, debug information in $(basename "$debug")"
