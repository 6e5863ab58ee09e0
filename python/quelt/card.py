"""Cards by family and position: the family functions in Python's idiom."""

from __future__ import annotations

import ctypes
import threading
import weakref
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from ctypes import byref, c_uint8, c_uint16, c_uint32, c_uint64, c_void_p
from typing import Literal, overload

from . import _prototypes  # noqa: F401  (declares the prototypes on load)
from ._errors import Error, check
from ._library import Library, library

Family = Literal["ox952", "ox9162", "ep4gxa"]
Kind = Literal["normal", "multi", "diagnostic"]

FAMILIES: dict[str, str] = {"ox952": "OX952", "ox9162": "OX9162", "ep4gxa": "EP4GXA"}
# Region names per family, in the order of the family's base-address functions.
REGIONS: dict[str, tuple[str, ...]] = {
    "ox952": ("bar05", "bar11", "bar13"),
    "ox9162": ("bar3", "bar4"),
    "ep4gxa": ("bar0", "bar1", "bar2"),
}
_OPEN_FUNCTIONS = {"normal": "Open", "multi": "OpenMulti", "diagnostic": "OpenDiagnostic"}
_MAX_TIMEOUT_MS = 0x7FFFFFFF


def _prefix(family: str) -> str:
    try:
        return FAMILIES[family.lower()]
    except (KeyError, AttributeError):
        raise ValueError(f"unknown family {family!r} (ox952, ox9162, ep4gxa)") from None


def _position(position: int) -> int:
    if not isinstance(position, int) or isinstance(position, bool) or not 0 <= position <= 0xFFFFFFFF:
        raise ValueError(f"a card position is an unsigned 32-bit number, not {position!r}")
    return position


@dataclass(frozen=True)
class CardInfo:
    """One card as the library lists it."""

    family: str
    position: int
    device_id: int
    bus: int
    slot: int
    card_id: int | None = None  # EP4GXA only
    serial: int | None = None  # EP4GXA only


def cards(family: str | None = None) -> list[CardInfo]:
    """Every card of every family (or of one family), in position order."""
    lib = library()
    out: list[CardInfo] = []
    for name in [family.lower()] if family else list(FAMILIES):
        p = _prefix(name)
        count = c_uint32()
        check(lib.fn(f"{p}_CardsInSystem")(byref(count)), f"{name}: count")
        for pos in range(count.value):
            did, bus, slot = c_uint32(), c_uint32(), c_uint32()
            check(lib.fn(f"{p}_Card_DID")(pos, byref(did)), f"{name} {pos}: device id")
            check(lib.fn(f"{p}_Card_BUS")(pos, byref(bus)), f"{name} {pos}: bus")
            check(lib.fn(f"{p}_Card_SLOT")(pos, byref(slot)), f"{name} {pos}: slot")
            card_id = serial = None
            if name == "ep4gxa":
                ident, ser = c_uint32(), c_uint32()
                check(lib.fn("EP4GXA_Card_ID")(pos, byref(ident)), f"{name} {pos}: card id")
                check(lib.fn("EP4GXA_Card_SerNr")(pos, byref(ser)), f"{name} {pos}: serial number")
                card_id, serial = ident.value, ser.value
            out.append(CardInfo(name, pos, did.value, bus.value, slot.value, card_id, serial))
    return out


def driver_version() -> int:
    """The card driver's version; raises quelt.Error (QUELT_OLD_DRIVER) for a driver older than 109."""
    version = c_uint32()
    check(library().fn("OX952_DriverVersion")(byref(version)), "driver version")
    return version.value


def interface_version() -> int:
    """The interface version of the library (318)."""
    return int(library().fn("OX952_InterfaceVersion")())


def _unsigned(value: int, bits: int, what: str) -> int:
    """value, refused unless it fits: ctypes would cut a larger one down without a word."""
    if not isinstance(value, int) or isinstance(value, bool) or not 0 <= value < (1 << bits):
        raise ValueError(f"{what} is an unsigned {bits}-bit number, not {value!r}")
    return value


def _view(address: int, length: int) -> memoryview:
    return memoryview((ctypes.c_ubyte * length).from_address(address)).cast("B")


class Region:
    """A memory region of an open card, mapped into this process.

    ``memory`` is a memoryview of the whole region (released when the card is
    closed; do not keep slices of it beyond that). ``read8``/``write8`` make
    one byte access, checked against the region's length; on OX952 and OX9162
    cards they go through the library's byte accessors.
    """

    def __init__(self, card: "Card", name: str, address: int, length: int) -> None:
        self.name = name
        self.address = address
        self.length = length
        self._card = card
        self.memory = _view(address, length) if length else memoryview(b"")
        card._views.append(self.memory)

    def _check(self, offset: int) -> None:
        self._card._require_open()
        if not isinstance(offset, int) or not 0 <= offset < self.length:
            raise IndexError(f"offset {offset!r} is outside {self.name} ({self.length} bytes)")

    def read8(self, offset: int) -> int:
        self._check(offset)
        if self._card.family == "ep4gxa":
            return self.memory[offset]
        return int(self._card._fn("MemRead")(c_void_p(self.address), offset))

    def write8(self, offset: int, value: int) -> None:
        self._check(offset)
        if not 0 <= value <= 0xFF:
            raise ValueError(f"a byte is 0..255, not {value}")
        if self._card.family == "ep4gxa":
            self.memory[offset] = value
        else:
            self._card._fn("MemWrite")(c_void_p(self.address), offset, value)

    def __repr__(self) -> str:
        return f"<quelt.Region {self.name} at 0x{self.address:X}, {self.length} bytes>"


class Eeprom(Sequence[int]):
    """The card's 93C46 serial EEPROM as a sequence of 64 words of 16 bits.

    Reading a word does not block; writing or erasing one blocks for 1 to 51 ms.
    """

    def __init__(self, card: "Card") -> None:
        self._card = card

    def __len__(self) -> int:
        return 64

    def _index(self, index: int) -> int:
        if not isinstance(index, int):
            raise TypeError(f"EEPROM words are indexed by int, not {type(index).__name__}")
        if index < 0:
            index += 64
        if not 0 <= index < 64:
            raise IndexError(f"EEPROM word {index} is outside 0..63")
        return index

    @overload
    def __getitem__(self, index: int) -> int: ...

    @overload
    def __getitem__(self, index: slice) -> list[int]: ...

    def __getitem__(self, index: int | slice) -> int | list[int]:
        if isinstance(index, slice):
            return [self[i] for i in range(*index.indices(64))]
        value = c_uint16()
        i = self._index(index)
        check(self._card._fn("EEPROM_RD")(self._card.position, i, byref(value)), f"EEPROM word {i}")
        return value.value

    def __setitem__(self, index: int, value: int) -> None:
        i = self._index(index)
        if not isinstance(value, int) or not 0 <= value <= 0xFFFF:
            raise ValueError(f"an EEPROM word is 0..0xFFFF, not {value!r}")
        check(self._card._fn("EEPROM_WR")(self._card.position, i, value), f"EEPROM word {i}")

    def erase(self, index: int) -> None:
        """Erases one word (it reads 0xFFFF afterwards)."""
        i = self._index(index)
        check(self._card._fn("EEPROM_Erase")(self._card.position, i), f"EEPROM word {i}")

    def __iter__(self) -> Iterator[int]:
        return iter(self[0:64])


class Card:
    """A card opened through its family's functions; use ``quelt.open``.

    Every method raises quelt.Error with the library's result code when the
    library refuses. The card is closed by ``close()``, at the end of a
    ``with`` block, or when the object is collected.
    """

    def __init__(self, family: str, position: int, kind: Kind = "normal", irq: bool = False) -> None:
        self.family = family.lower()
        self._prefix = _prefix(self.family)
        self.position = _position(position)
        if kind not in _OPEN_FUNCTIONS:
            raise ValueError(f"unknown connection kind {kind!r} (normal, multi, diagnostic)")
        self.kind = kind
        self.irq = bool(irq)
        self._lib: Library = library()
        self._views: list[memoryview] = []
        self._regions: dict[str, Region] = {}
        self._closed = True
        self._lock = threading.Lock()
        # The time-out is the card's, in the library: set and used under one lock, so a
        # wait runs with the time-out it was given, not another thread's.
        self._wait_lock = threading.Lock()
        check(
            self._fn(_OPEN_FUNCTIONS[kind])(self.position, 1 if irq else 0),
            f"{self.family} position {self.position}: open ({kind})",
        )
        self._closed = False
        self._lib.users.add(self)
        self._finalizer = weakref.finalize(self, _close_position, self._lib, self._prefix, self.position)

    # --- plumbing ---

    def _fn(self, name: str):  # type: ignore[no-untyped-def]
        return self._lib.fn(f"{self._prefix}_{name}")

    def _require_open(self) -> None:
        if self._closed:
            raise Error(0x40, "QUELT_NOT_OPEN", "the card was closed", f"{self.family} position {self.position}")

    def _need(self, family: str, what: str) -> None:
        if self.family != family:
            raise TypeError(f"{what} is an {family.upper()} function; this is an {self.family} card")

    # --- life ---

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self) -> None:
        """Closes the card (ends this process's waits on it first). Closing twice does nothing."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            self._finalizer.detach()
            _release(self._views, self._regions)
            if self._lib.loaded:
                with self._lib.blocking_call():
                    code = self._fn("Close")(self.position)
                check(code, f"{self.family} position {self.position}: close")

    def __enter__(self) -> "Card":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"open ({self.kind}{', irq' if self.irq else ''})"
        return f"<quelt.Card {self.family} position {self.position}, {state}>"

    # --- regions ---

    def region(self, name: str) -> Region:
        """A mapped region by name (ox952: bar05, bar11, bar13; ox9162: bar3, bar4; ep4gxa: bar0, bar1, bar2).

        The mapping stays put while the card is open, so the same Region is returned each time.
        """
        self._require_open()
        names = REGIONS[self.family]
        key = name.lower() if isinstance(name, str) else name
        if key not in names:
            raise ValueError(f"{self.family} regions are {', '.join(names)}, not {name!r}")
        if key in self._regions:
            return self._regions[key]
        address, length = c_void_p(), c_uint32()
        fn = self._fn(f"{key.upper()}_BaseAdr")
        check(fn(self.position, byref(address), byref(length)), f"{self.family} position {self.position}: {key}")
        region = Region(self, key, address.value or 0, length.value)
        self._regions[key] = region
        return region

    @property
    def regions(self) -> dict[str, Region]:
        """Every region the card has mapped, by name."""
        out: dict[str, Region] = {}
        for name in REGIONS[self.family]:
            try:
                out[name] = self.region(name)
            except Error as e:
                if e.code in (0x2, 0x40, 0x400):  # the card itself is gone: not a missing region
                    raise
        return out

    def shared(self) -> memoryview:
        """The shared area of the card's status block, the same memory in every process."""
        self._require_open()
        address, length = c_void_p(), c_uint32()
        check(self._fn("SHARED_BaseAdr")(self.position, byref(address), byref(length)), "shared area")
        view = _view(address.value or 0, length.value)
        self._views.append(view)
        return view

    # --- EP4GXA registers of region 0 ---

    def read8(self, offset: int) -> int:
        """One 8-bit register of region 0 (EP4GXA; offset a multiple of 4)."""
        self._need("ep4gxa", "read8")
        value = c_uint8()
        check(self._fn("ReadReg8")(self.position, _unsigned(offset, 32, "offset"), byref(value)), f"read8 0x{offset:X}")
        return value.value

    def write8(self, offset: int, value: int) -> None:
        self._need("ep4gxa", "write8")
        check(self._fn("WriteReg8")(self.position, _unsigned(offset, 32, "offset"), _unsigned(value, 8, "value")), f"write8 0x{offset:X}")

    def read32(self, offset: int) -> int:
        """One 32-bit register of region 0 (EP4GXA; offset a multiple of 4)."""
        self._need("ep4gxa", "read32")
        value = c_uint32()
        check(self._fn("ReadReg32")(self.position, _unsigned(offset, 32, "offset"), byref(value)), f"read32 0x{offset:X}")
        return value.value

    def write32(self, offset: int, value: int) -> None:
        self._need("ep4gxa", "write32")
        check(self._fn("WriteReg32")(self.position, _unsigned(offset, 32, "offset"), _unsigned(value, 32, "value")), f"write32 0x{offset:X}")

    def read64(self, offset: int) -> int:
        """One 64-bit register of region 0 (EP4GXA; offset a multiple of 8)."""
        self._need("ep4gxa", "read64")
        value = c_uint64()
        check(self._fn("ReadReg64")(self.position, _unsigned(offset, 32, "offset"), byref(value)), f"read64 0x{offset:X}")
        return value.value

    def write64(self, offset: int, value: int) -> None:
        self._need("ep4gxa", "write64")
        check(self._fn("WriteReg64")(self.position, _unsigned(offset, 32, "offset"), _unsigned(value, 64, "value")), f"write64 0x{offset:X}")

    def read2x32(self, offset: int) -> tuple[int, int]:
        """A 64-bit register as (low, high) 32-bit halves (EP4GXA)."""
        self._need("ep4gxa", "read2x32")
        low, high = c_uint32(), c_uint32()
        check(self._fn("ReadReg2x32")(self.position, _unsigned(offset, 32, "offset"), byref(low), byref(high)), f"read2x32 0x{offset:X}")
        return low.value, high.value

    def write2x32(self, offset: int, low: int, high: int) -> None:
        self._need("ep4gxa", "write2x32")
        check(
            self._fn("WriteReg2x32")(
                self.position, _unsigned(offset, 32, "offset"), _unsigned(low, 32, "low"), _unsigned(high, 32, "high")
            ),
            f"write2x32 0x{offset:X}",
        )

    # --- identity (EP4GXA) ---

    @property
    def card_id(self) -> int:
        self._need("ep4gxa", "card_id")
        value = c_uint32()
        check(self._lib.fn("EP4GXA_Card_ID")(self.position, byref(value)), "card id")
        return value.value

    @property
    def serial(self) -> int:
        self._need("ep4gxa", "serial")
        value = c_uint32()
        check(self._lib.fn("EP4GXA_Card_SerNr")(self.position, byref(value)), "serial number")
        return value.value

    # --- interrupts ---

    def wait_irq(self, timeout: float | None = None) -> int:
        """Waits for the card's next interrupt and returns the interrupts counted since Open.

        timeout is in seconds (None: no limit; the wait still ends when another
        thread closes the card). Raises quelt.IrqTimeout when the time runs out
        and quelt.WaitEnded when the wait is discarded or the card closed.
        """
        self._require_open()
        if timeout is None:
            ms = 0
        else:
            # 0 would mean "no limit" to the library: the shortest wait it knows instead.
            ms = min(max(1, int(round(timeout * 1000))), _MAX_TIMEOUT_MS)
        count = c_uint32()
        with self._wait_lock, self._lib.blocking_call():
            check(self._fn("IRQ_SetTimeout")(self.position, ms), "set interrupt time-out")
            code = self._fn("IRQ_Wait")(self.position, byref(count))
        check(code, f"{self.family} position {self.position}: wait")
        return count.value

    @property
    def irq_count(self) -> int:
        """Interrupts since Open (OX952: of function 1)."""
        self._require_open()
        return int(self._fn("IRQ_Count")(self.position))

    @property
    def irq_count_f0(self) -> int:
        """OX952: interrupts of function 0 since Open."""
        self._need("ox952", "irq_count_f0")
        self._require_open()
        return int(self._fn("IRQ_CountF0")(self.position))

    @property
    def irq_waits(self) -> int:
        """The driver's count of interrupt waits on the card, from every process (not OX952)."""
        if self.family == "ox952":
            raise TypeError("the OX952 family has no count of interrupt waits")
        self._require_open()
        with self._lib.blocking_call():
            return int(self._fn("GetIrqWaits")(self.position))

    def discard_irq_waits(self) -> None:
        """Ends every interrupt wait on the card, in every process (they raise quelt.WaitEnded)."""
        self._require_open()
        from .device import Device

        bus, slot, did = c_uint32(), c_uint32(), c_uint32()
        check(self._fn("Card_BUS")(self.position, byref(bus)), "bus")
        check(self._fn("Card_SLOT")(self.position, byref(slot)), "slot")
        check(self._fn("Card_DID")(self.position, byref(did)), "device id")
        # The OX952 family waits on its function 1, the odd device id.
        want = did.value | 1 if self.family == "ox952" else did.value
        device = Device.find(bus.value, slot.value, want)
        try:
            device.discard_irq_waits()
        finally:
            device.close()

    # --- EEPROM ---

    @property
    def eeprom(self) -> Eeprom:
        """The 64-word serial EEPROM (OX952 and OX9162)."""
        if self.family == "ep4gxa":
            raise TypeError("an EP4GXA card has no serial EEPROM")
        return Eeprom(self)

    # --- connections ---

    @property
    def open_count(self) -> int:
        """Non-diagnostic connections to the card, from every process."""
        count = c_uint32()
        check(self._fn("Card_OpenCount")(self.position, byref(count)), "open count")
        return count.value

    def clear_connections(self) -> None:
        """Wipes the card's connection bookkeeping, whoever recorded it. Closes this card first."""
        with self._lock:
            if not self._closed:
                self._closed = True
                self._finalizer.detach()
                _release(self._views, self._regions)
        check(self._fn("ClearConnections")(self.position), "clear connections")


def _release(views: list[memoryview], regions: dict[str, Region] | None = None) -> None:
    # A view someone still exports (memoryview(view), a numpy array on it) cannot be released.
    for view in views:
        try:
            view.release()
        except BufferError:
            pass
    views.clear()
    if regions is not None:
        regions.clear()


def _close_position(lib: Library, prefix: str, position: int) -> None:
    if lib.loaded:
        lib.fn(f"{prefix}_Close")(position)


def open(family: str, position: int = 0, kind: Kind = "normal", irq: bool = False) -> Card:  # noqa: A001
    """Opens a card: ``with quelt.open("ep4gxa", 0, kind="diagnostic", irq=True) as card: ...``

    kind: "normal" (refused while another non-diagnostic connection exists),
    "multi" (refused while another process holds the card normally) or
    "diagnostic" (always admitted). irq asks for the card's interrupt.
    """
    return Card(family, position, kind, irq)
