"""Counts a card's interrupts and logs a register at each one.

    python irq_logger.py --family ep4gxa --position 0 --register 0x10 --interrupts 5 --timeout 2

Each interrupt gives one line: its number, the card's interrupt count and the
register's value. The program stops after the asked-for interrupts, or when
no interrupt came within the time-out, and says how many it saw.
"""

from __future__ import annotations

import argparse
import sys
from dataclasses import dataclass, field
from typing import TextIO

import quelt


@dataclass
class Summary:
    interrupts: int = 0
    timed_out: bool = False
    values: list[int] = field(default_factory=list)


def read_register(card: quelt.Card, offset: int) -> int:
    """The register at offset: a 32-bit register on EP4GXA cards, a byte of the first region on the others."""
    if card.family == "ep4gxa":
        return card.read32(offset)
    first = next(iter(card.regions.values()))
    return first.read8(offset)


def log_interrupts(
    family: str, position: int, register: int, interrupts: int, timeout: float, out: TextIO
) -> Summary:
    summary = Summary()
    # A diagnostic connection: the logger watches a card other programs drive.
    with quelt.open(family, position, kind="diagnostic", irq=True) as card:
        while summary.interrupts < interrupts:
            try:
                count = card.wait_irq(timeout=timeout)
            except quelt.IrqTimeout:
                summary.timed_out = True
                break
            summary.interrupts += 1
            value = read_register(card, register)
            summary.values.append(value)
            out.write(f"irq {summary.interrupts}: count {count}, register 0x{register:X} = 0x{value:08X}\n")
            out.flush()
    status = "timed out" if summary.timed_out else "done"
    out.write(f"{status}: {summary.interrupts} interrupt{'s' if summary.interrupts != 1 else ''}\n")
    return summary


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--family", default="ep4gxa", choices=["ox952", "ox9162", "ep4gxa"])
    parser.add_argument("--position", type=int, default=0)
    parser.add_argument("--register", type=lambda s: int(s, 0), default=0x10, help="offset, decimal or 0x hex")
    parser.add_argument("--interrupts", type=int, default=10, help="stop after this many")
    parser.add_argument("--timeout", type=float, default=5.0, help="seconds to wait for each interrupt")
    args = parser.parse_args(argv)
    try:
        summary = log_interrupts(args.family, args.position, args.register, args.interrupts, args.timeout, sys.stdout)
    except quelt.Error as e:
        print(f"irq_logger: {e}", file=sys.stderr)
        return 1
    return 0 if not summary.timed_out else 2


if __name__ == "__main__":
    sys.exit(main())
