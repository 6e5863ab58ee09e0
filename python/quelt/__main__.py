"""python -m quelt list [--json]: the cards of every family, as the ``quelt list`` tool shows them."""

from __future__ import annotations

import argparse
import ctypes
import json
import sys
from dataclasses import dataclass, field

from . import Error, LibraryNotFound, cards
from ._library import library
from .device import UNRECORDED, Device

_VENDOR = 0x1760


@dataclass
class _DeviceInfo:
    number: int
    description: str
    vendor_id: int
    device_id: int
    bus: int
    slot: int
    pci_address: int
    irq_line: int
    region_lengths: list[int]
    family: str = ""
    position: int = -1
    function: int = -1  # OX952: 0 or 1
    extra: dict[str, object] = field(default_factory=dict)


def _scan_devices() -> list[_DeviceInfo]:
    """Every device the driver offers, numbered as the library's scan numbers them (at most 32)."""
    devices: list[_DeviceInfo] = []
    for n in range(1, 33):
        try:
            dev = Device.open("", n, UNRECORDED)
        except Error:
            break
        try:
            r = dev.resources
            devices.append(
                _DeviceInfo(n, dev.board_name, r.vendor_id, r.device_id, r.bus, r.slot, r.pci_address, r.irq_line,
                            [length for _, length in r.regions])
            )
        finally:
            dev.close()
    _assign_families(devices)
    return devices


def _assign_families(devices: list[_DeviceInfo]) -> None:
    """The library's family rules, so each device shows with the position the family functions give it."""
    any_slot = any(d.slot != 0 for d in devices)
    slots = [(d.slot & 0xFFFF) if any_slot else (d.pci_address >> 16) for d in devices]
    counters = {"ox952": 0, "ox9162": 0, "ep4gxa": 0}

    def within(d: int, *ranges: tuple[int, int]) -> bool:
        return any(lo <= d <= hi for lo, hi in ranges)

    for i, dev in enumerate(devices):
        if (dev.vendor_id & 0xFFFF) != _VENDOR or dev.device_id == 0:
            continue
        d = dev.device_id & 0xFFFF
        if within(d, (0x0000, 0x01FF), (0x8000, 0x81FF)):
            dev.family, dev.position = "ox9162", counters["ox9162"]
            counters["ox9162"] += 1
        elif within(d, (0x0800, 0x08FF), (0x8800, 0x88FF)):
            dev.family, dev.position = "ep4gxa", counters["ep4gxa"]
            counters["ep4gxa"] += 1
        elif d % 2 == 0 and within(d, (0x0200, 0x03FF), (0x8200, 0x83FF)):
            for j, other in enumerate(devices):
                if (other.device_id & 0xFFFF) == (d ^ 1) and other.bus == dev.bus and slots[j] == slots[i]:
                    dev.family, dev.function, dev.position = "ox952", 0, counters["ox952"]
                    counters["ox952"] += 1
                    if not other.family:
                        other.family, other.function, other.position = "ox952", 1, dev.position
                    break
        elif d % 2 == 1 and within(d, (0x0400, 0x05FF), (0x8400, 0x85FF)):
            dev.family, dev.function, dev.position = "ox952", 1, counters["ox952"]
            counters["ox952"] += 1


def _device_of(devices: list[_DeviceInfo], family: str, position: int, function: int) -> _DeviceInfo | None:
    for d in devices:
        if d.family == family and d.position == position and d.function in (-1, function):
            return d
    # An OX952 card whose function 1 stands alone answers for function 0 too.
    return _device_of(devices, family, position, 1) if function == 0 else None


def _hex(value: int, digits: int = 0) -> str:
    return f"0x{value:0{digits}X}"


def _table(rows: list[list[str]]) -> str:
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = []
    for row in rows:
        line = "".join(cell + (" " * (widths[i] - len(cell) + 2) if i + 1 < len(row) else "") for i, cell in enumerate(row))
        lines.append(line.rstrip(" "))
    return "\n".join(lines) + "\n"


def list_cards(as_json: bool) -> str:
    lib = library()
    interface = int(lib.fn("OX952_InterfaceVersion")())
    devices = _scan_devices()
    found = cards()
    out: dict[str, object] = {"cards": [], "interface_version": interface}
    if not found:
        # With no card there is nobody to ask the driver version: say so and ask nothing.
        out["driver_version"] = None
        out["driver_compatible"] = None
        head = "no cards: the driver offers no OX952, OX9162 or EP4GXA card"
        if devices:
            head += f" ({len(devices)} other device(s): see 'quelt devices')"
        head += "\n"
    else:
        version = ctypes.c_uint32()
        code = lib.fn("OX952_DriverVersion")(ctypes.byref(version))
        out["driver_version"] = version.value
        out["driver_compatible"] = code == 0
        head = f"driver version {version.value}, interface version {interface}\n"
        if code != 0:
            head += (
                "the driver is older than version 109 and cannot be used with this library: install the "
                "card driver of version 109 or later\n"
            )
    rows = [["FAMILY", "POS", "DEV", "VENDOR", "DEVICE", "BUS", "SLOT", "IRQ", "CARD-ID", "SERIAL", "DESCRIPTION"]]
    listed: list[dict[str, object]] = []
    for c in found:
        d0 = _device_of(devices, c.family, c.position, 0)
        d = d0 if d0 is not None and (d0.device_id & 0xFFFF) == c.device_id else None
        entry: dict[str, object] = {
            "bus": c.bus,
            "card_id": c.card_id,
            "description": d.description if d else None,
            "device_id": c.device_id,
            "device_number": d.number if d else None,
            "family": c.family,
        }
        if c.family == "ox952":
            d1 = _device_of(devices, c.family, c.position, 1)
            entry["function1_device_number"] = d1.number if d1 is not None and d1 is not d else None
        entry.update(
            {
                "irq_line": d.irq_line if d else None,
                "pci_address": d.pci_address if d else None,
                "position": c.position,
                "region_lengths": d.region_lengths if d else None,
                "serial_number": c.serial,
                "slot": c.slot,
                "vendor_id": (d.vendor_id & 0xFFFF) if d else None,
            }
        )
        listed.append(entry)
        d1n = _device_of(devices, c.family, c.position, 1) if c.family == "ox952" else None
        numbers = "-" if d0 is None else (f"{d0.number},{d1n.number}" if d1n is not None and d1n is not d0 else str(d0.number))
        rows.append([
            c.family, str(c.position), numbers,
            _hex(d.vendor_id & 0xFFFF, 4) if d else "-", _hex(c.device_id, 4), str(c.bus), str(c.slot),
            str(d.irq_line) if d else "-", _hex(c.card_id, 8) if c.card_id is not None else "-",
            str(c.serial) if c.serial is not None else "-", d.description if d else "",
        ])
    out["cards"] = listed
    if as_json:
        return json.dumps(dict(sorted(out.items())), indent=2, ensure_ascii=False) + "\n"
    return head + ("\n" + _table(rows) if found else "")


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
