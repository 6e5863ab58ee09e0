"""python -m quelt list [--json]: the cards of every family, as the ``quelt list`` tool shows them."""

from __future__ import annotations

import argparse
import ctypes
import json
import sys

from . import Error, LibraryNotFound, cards, codes
from ._library import library


def list_cards(as_json: bool) -> str:
    version_value = ctypes.c_uint32()
    lib = library()
    code = lib.fn("OX952_DriverVersion")(ctypes.byref(version_value))
    version = version_value.value
    interface = int(lib.fn("OX952_InterfaceVersion")())
    found = cards()
    if as_json:
        out = {
            "cards": [
                {
                    k: v
                    for k, v in (
                        ("bus", c.bus),
                        ("card_id", c.card_id),
                        ("device_id", c.device_id),
                        ("family", c.family),
                        ("position", c.position),
                        ("serial", c.serial),
                        ("slot", c.slot),
                    )
                    if v is not None
                }
                for c in found
            ],
            "driver_compatible": code == codes.QUELT_OK,  # type: ignore[attr-defined]
            "driver_version": version,
            "interface_version": interface,
        }
        return json.dumps(out, indent=2) + "\n"
    text = f"driver version {version}{'' if code == 0 else ' (incompatible)'}, interface version {interface}\n\n"
    text += f"{'FAMILY':<8} {'POS':>4}  {'DEVICE':<8} {'BUS':>5} {'SLOT':>5}  {'CARD-ID':<10} {'SERIAL':<10}\n"
    for c in found:
        ident = f"0x{c.card_id:08X}" if c.card_id is not None else "-"
        serial = str(c.serial) if c.serial is not None else "-"
        text += (
            f"{c.family:<8} {c.position:>4}  {'0x%04X' % c.device_id:<8} {c.bus:>5} {c.slot:>5}  "
            f"{ident:<10} {serial:<10}\n"
        )
    if not found:
        text += "(no cards)\n"
    return text


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quelt", description="The quelt cards from Python.")
    sub = parser.add_subparsers(dest="command", required=True)
    p_list = sub.add_parser("list", help="list every card of every family")
    p_list.add_argument("--json", action="store_true", help="JSON output")
    args = parser.parse_args(argv)
    try:
        if args.command == "list":
            sys.stdout.write(list_cards(args.json))
    except (Error, LibraryNotFound) as e:
        print(f"quelt: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
