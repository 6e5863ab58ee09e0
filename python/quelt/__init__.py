"""quelt: OX952, OX9162 and EP4GXA PCI cards from Python.

    import quelt
    for info in quelt.cards():
        print(info)
    with quelt.open("ep4gxa", 0, kind="diagnostic", irq=True) as card:
        card.write32(0x10, 0xCAFE)
        count = card.wait_irq(timeout=1.0)

A pure-Python layer (ctypes) over the quelt_ox952 library. Every failure
raises quelt.Error with the library's result code, its name and its text.
The simulated machine (Linux) is in quelt.sim; its pytest plugin gives each
test a fresh machine through the ``quelt_machine`` fixture.
"""

from __future__ import annotations

from . import codes
from ._errors import Error, IrqTimeout, WaitEnded
from ._library import LibraryNotFound
from ._library import unload as _unload
from .card import Card, CardInfo, Eeprom, Region, cards, driver_version, interface_version, open
from .device import Device, DmaBuffer, Resources, WaitResult, driver_version_raw

__all__ = [
    "Card",
    "CardInfo",
    "Device",
    "DmaBuffer",
    "Eeprom",
    "Error",
    "IrqTimeout",
    "LibraryNotFound",
    "Region",
    "Resources",
    "WaitEnded",
    "WaitResult",
    "cards",
    "codes",
    "driver_version",
    "driver_version_raw",
    "interface_version",
    "open",
    "reload",
]

__version__ = "3.18.25317"


def reload() -> None:
    """Closes every card and device still open and unloads the library; the next call loads it afresh.

    The library lists the cards once, at its first use. A process that changes
    the machine afterwards (another QUELT_SIM_ROOT, cards added) calls this to
    see the change; the quelt_machine fixture does it for every test.
    """
    _unload()
