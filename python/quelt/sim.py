"""The simulated machine (Linux), over libquelt_sim.

    from quelt.sim import Machine
    m = Machine.create_temp()               # an empty machine in a new root
    dev = m.add_card("ep4gxa", card_id=0x4701, serial=7)
    m.raise_irq(dev, 3)
    m.export("rig.json")

A machine is a directory of card files (its root). The library finds it
through QUELT_SIM_ROOT (read when the library lists the cards, at its first
use: call quelt.reload() after pointing it elsewhere). Device numbers are 1,
2, 3 ... in listing order.
"""

from __future__ import annotations

import ctypes
import enum
import os
from collections.abc import Iterable, Iterator, Sequence
from ctypes import byref, c_int, c_int32, c_size_t, c_uint16, c_uint32
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, overload

from ._errors import Error
from .card import _unsigned
from ._library import library, sim_library
from ._sim_prototypes import SimCard

EMPTY = 1
REPLACE = 2


class SimError(Error):
    """A refused call of the simulated machine; code is a QUELT_SIM_ code, name its name."""


def _check(rc: int, what: str) -> None:
    if rc != 0:
        lib = sim_library()
        name = lib.quelt_sim_code_name(rc).decode()
        text = lib.quelt_sim_last_error().decode(errors="replace")
        raise SimError(rc, name, text, what)


def _b(text: str | os.PathLike[str] | None) -> bytes | None:
    return None if text is None else os.fsencode(text)


class EepromMode(enum.IntEnum):
    NORMAL = 0
    NEVER_READY = 1
    ABSENT_HIGH = 2
    ABSENT_LOW = 3


class Fault(enum.IntEnum):
    """A failure of the simulated driver that a test can arm (quelt_sim.h's QUELT_SIM_FAULT_)."""

    CLASS_DEVS = 0  #: listing the devices fails
    ENUM_STEP = 1  #: one step of the listing fails
    DESCRIPTION = 2  #: a device's description cannot be read
    NO_INTERFACE = 3  #: a device has no interface
    NO_DEVICE_PATH = 4  #: an interface has no device path
    CREATE_FILE = 5  #: opening the device fails
    ATTACH = 6  #: the attach request fails
    ATTACH_SHORT = 7  #: the attach reply is short (error_code: its length, 0: 300 bytes)
    WAIT = 8  #: an interrupt wait request fails
    WAIT_DISCARDED = 9  #: an interrupt wait completes at once with byte count 99
    DRIVER_VERSION = 10  #: the driver version request gives no byte count
    DMA_ALLOC = 11  #: a DMA allocation fails
    DMA_SHORT = 12  #: a DMA allocation replies with 16 bytes
    DMA_ZERO_KEY = 13  #: a DMA allocation replies with key 0
    DMA_RELEASE = 14  #: a DMA release fails
    INSTALL_PARAMS = 15  #: reading a device's install parameters fails
    INSTALL_DEVICE = 16  #: installing a device fails


@dataclass
class CardSpec:
    """A card as the simulated driver describes it."""

    description: str
    vendor_id: int
    device_id: int
    bus: int
    slot: int
    pci_address: int
    irq: int
    regions: list[tuple[int, bool]] = field(default_factory=list)  # (size, unmapped)
    status_block: bool = True
    eeprom_region: int | None = None
    card_id: int | None = None
    serial: int | None = None

    @classmethod
    def _from_c(cls, c: SimCard) -> "CardSpec":
        return cls(
            c.description.decode(errors="replace"),
            c.vendor_id,
            c.device_id,
            c.bus,
            c.slot,
            c.pci_address,
            c.irq_line,
            [(int(c.region_size[i]), bool(c.region_unmapped[i])) for i in range(c.region_count)],
            bool(c.status_block),
            None if c.eeprom_region < 0 else c.eeprom_region,
            c.card_id if c.has_card_id else None,
            c.serial if c.has_serial else None,
        )


_UNSET: Any = object()

# Status block fields by name, at their byte offsets.
STATUS_FIELDS = {"irq_counter": 4, "ack_counter": 8, "attach_count": 12, "diag_count": 16, "slot_count": 20}


class StatusBlock:
    """A device's 1024-byte status block, field by field: ``m.status(1).irq_counter``.

    The counts (attach_count, diag_count, slot_count) are signed; ``slots`` are
    the connection slots (process ids, 0 free); ``word(offset)`` is any field.
    """

    def __init__(self, machine: "Machine", device: int) -> None:
        object.__setattr__(self, "_machine", machine)
        object.__setattr__(self, "_device", device)

    def word(self, offset: int) -> int:
        value = c_uint32()
        _check(
            sim_library().quelt_sim_read_status(self._machine._root, self._device, offset, byref(value)),
            f"status word {offset}",
        )
        return value.value

    def set_word(self, offset: int, value: int) -> None:
        """Sets a field; the counts take negative values too (-2**31 up)."""
        if not isinstance(value, int) or not -(1 << 31) <= value < (1 << 32):
            raise ValueError(f"a status field is 32 bits, not {value!r}")
        _check(
            sim_library().quelt_sim_write_status(self._machine._root, self._device, offset, value & 0xFFFFFFFF),
            f"status word {offset}",
        )

    def __getattr__(self, name: str) -> int:
        if name in STATUS_FIELDS:
            v = self.word(STATUS_FIELDS[name])
            return v - (1 << 32) if name != "irq_counter" and name != "ack_counter" and v >= 1 << 31 else v
        raise AttributeError(name)

    def __setattr__(self, name: str, value: int) -> None:
        if name not in STATUS_FIELDS:
            raise AttributeError(f"no status field {name!r} ({', '.join(STATUS_FIELDS)})")
        self.set_word(STATUS_FIELDS[name], value)

    @property
    def slots(self) -> list[int]:
        n = max(0, min(self.slot_count, 250))
        return [self.word(24 + 4 * i) for i in range(n)]


class SimEeprom(Sequence[int]):
    """A device's 64 EEPROM words as the part holds them (no protocol, no delay)."""

    def __init__(self, machine: "Machine", device: int) -> None:
        self._machine = machine
        self._device = device

    def __len__(self) -> int:
        return 64

    def _all(self) -> list[int]:
        words = (c_uint16 * 64)()
        _check(sim_library().quelt_sim_read_eeprom(self._machine._root, self._device, words), "read EEPROM")
        return list(words)

    @overload
    def __getitem__(self, index: int) -> int: ...

    @overload
    def __getitem__(self, index: slice) -> list[int]: ...

    def __getitem__(self, index: int | slice) -> int | list[int]:
        return self._all()[index]

    def __iter__(self) -> Iterator[int]:
        return iter(self._all())

    def __setitem__(self, index: int, value: int) -> None:
        if index < 0:
            index += 64
        if not 0 <= index < 64:
            raise IndexError(f"EEPROM word {index} is outside 0..63")
        if not 0 <= value <= 0xFFFF:
            raise ValueError(f"an EEPROM word is 0..0xFFFF, not {value}")
        _check(
            sim_library().quelt_sim_write_eeprom_word(self._machine._root, self._device, index, value),
            f"EEPROM word {index}",
        )

    def fill(self, words: Iterable[int]) -> None:
        """Sets all 64 words."""
        values = list(words)
        if len(values) != 64:
            raise ValueError(f"an EEPROM holds 64 words, not {len(values)}")
        for i, v in enumerate(values):
            self[i] = v


class Machine:
    """A simulated machine at a root directory."""

    def __init__(self, root: str | os.PathLike[str]) -> None:
        self.root = os.fspath(root)
        self._root = _b(self.root)
        self._views: list[memoryview] = []

    # --- making and removing ---

    @classmethod
    def create(cls, root: str | os.PathLike[str], *, empty: bool = False, replace: bool = False) -> "Machine":
        """Makes the default machine (or an empty one) at root."""
        _check(
            sim_library().quelt_sim_create(_b(root), (EMPTY if empty else 0) | (REPLACE if replace else 0)),
            f"create machine at {os.fspath(root)}",
        )
        return cls(root)

    @classmethod
    def create_temp(cls, *, empty: bool = True) -> "Machine":
        """Makes a machine in a new directory under /dev/shm (empty unless empty=False)."""
        buf = ctypes.create_string_buffer(256)
        _check(sim_library().quelt_sim_create_temp(EMPTY if empty else 0, buf, len(buf)), "create machine")
        return cls(buf.value.decode())

    @classmethod
    def from_file(cls, path: str | os.PathLike[str], root: str | os.PathLike[str], *, replace: bool = False) -> "Machine":
        """Makes the machine a machine file describes at root."""
        m = cls(root)
        m.load(path, replace=replace)
        return m

    def load(self, path: str | os.PathLike[str], *, replace: bool = True) -> None:
        """Makes this root's machine from a machine file (replacing the one there by default)."""
        _check(
            sim_library().quelt_sim_load_file(self._root, _b(path), REPLACE if replace else 0),
            f"load {os.fspath(path)}",
        )

    def load_text(self, text: str, *, replace: bool = True) -> None:
        """As load, from the text of a machine file."""
        _check(sim_library().quelt_sim_load_text(self._root, text.encode(), REPLACE if replace else 0), "load machine")

    def export(self, path: str | os.PathLike[str] | None = None) -> str:
        """The machine as a machine file; written to path as well when given."""
        lib = sim_library()
        needed = c_size_t()
        rc = lib.quelt_sim_export_text(self._root, None, 0, byref(needed))
        if rc != 1 or needed.value == 0:  # the size query fails with BAD_ARGUMENT by design
            _check(rc, "export machine")
        buf = ctypes.create_string_buffer(needed.value)
        _check(lib.quelt_sim_export_text(self._root, buf, len(buf), None), "export machine")
        text = buf.value.decode()
        if path is not None:
            Path(path).write_text(text, encoding="utf-8")
        return text

    def delete(self) -> None:
        """Removes the machine and its root directory (the region views of ``region`` are released)."""
        for view in self._views:
            try:
                view.release()
            except BufferError:
                pass
        self._views.clear()
        _check(sim_library().quelt_sim_delete(self._root), f"delete machine {self.root}")

    @property
    def exists(self) -> bool:
        flag = c_int()
        _check(sim_library().quelt_sim_exists(self._root, byref(flag)), "machine exists")
        return bool(flag.value)

    def __enter__(self) -> "Machine":
        return self

    def __exit__(self, *exc: object) -> None:
        if self.exists:
            self.delete()

    def __repr__(self) -> str:
        return f"<quelt.sim.Machine {self.root}>"

    # --- cards ---

    def add_card(
        self,
        family: str = "ox952",
        *,
        function: int = 0,
        description: str = _UNSET,
        vendor_id: int = _UNSET,
        device_id: int = _UNSET,
        bus: int = _UNSET,
        slot: int = _UNSET,
        pci_address: int = _UNSET,
        irq: int = _UNSET,
        regions: Sequence[int | tuple[int, bool]] = _UNSET,
        status_block: bool = _UNSET,
        eeprom_region: int | None = _UNSET,
        card_id: int | None = _UNSET,
        serial: int | None = _UNSET,
    ) -> int:
        """Adds a card with the family's defaults and the given changes; returns its device number.

        regions: sizes in bytes, or (size, unmapped) pairs. eeprom_region,
        card_id and serial take None for "none". function=1 gives the second
        function of an OX952 card.
        """
        lib = sim_library()
        c = SimCard()
        _check(lib.quelt_sim_default_card(family.encode(), function, byref(c)), f"{family} card")
        if regions is not _UNSET:
            sizes = [(r, False) if isinstance(r, int) else (int(r[0]), bool(r[1])) for r in regions]
            if len(sizes) > 16:
                raise ValueError(f"a card has at most 16 regions, not {len(sizes)}")
            c.region_count = len(sizes)
            for i, (size, unmapped) in enumerate(sizes):
                c.region_size[i] = _unsigned(size, 64, f"region {i} size")
                c.region_unmapped[i] = 1 if unmapped else 0
            # Identity words and an EEPROM the family default gave and the new regions cannot hold go quietly.
            if c.eeprom_region >= len(sizes):
                c.eeprom_region = -1
            if not sizes or sizes[0][0] < 16376:
                c.has_card_id = c.has_serial = 0
        if description is not _UNSET:
            raw = description.encode()
            if len(raw) > 300:
                raise ValueError("a description has at most 300 bytes")
            c.description = raw
        for name, value in (
            ("vendor_id", vendor_id),
            ("device_id", device_id),
            ("bus", bus),
            ("slot", slot),
            ("pci_address", pci_address),
        ):
            if value is not _UNSET:
                if not 0 <= value <= 0xFFFFFFFF:
                    raise ValueError(f"{name} is a 32-bit number, not {value}")
                setattr(c, name, value)
        if irq is not _UNSET:
            if not 0 <= irq <= 255:
                raise ValueError(f"irq is 0..255, not {irq}")
            c.irq_line = irq
        if status_block is not _UNSET:
            c.status_block = 1 if status_block else 0
        if eeprom_region is not _UNSET:
            c.eeprom_region = -1 if eeprom_region is None else eeprom_region
        if card_id is not _UNSET:
            c.has_card_id, c.card_id = (0, 0) if card_id is None else (1, _unsigned(card_id, 32, "card_id"))
        if serial is not _UNSET:
            c.has_serial, c.serial = (0, 0) if serial is None else (1, _unsigned(serial, 32, "serial"))
        if eeprom_region is not _UNSET and eeprom_region is not None:
            _unsigned(eeprom_region, 4, "eeprom_region")
        device = c_int()
        _check(lib.quelt_sim_add_card(self._root, byref(c), byref(device)), f"add {family} card")
        return device.value

    def add_default_cards(self) -> None:
        """Adds the default machine's cards: an OX952 two-function card, an OX9162 card, an EP4GXA card."""
        self.add_card("ox952")
        self.add_card("ox952", function=1)
        self.add_card("ox9162")
        self.add_card("ep4gxa")

    def remove_card(self, device: int) -> None:
        """Removes a device; the later devices move up by one."""
        _check(sim_library().quelt_sim_remove_card(self._root, device), f"remove device {device}")

    def __len__(self) -> int:
        n = c_int()
        _check(sim_library().quelt_sim_card_count(self._root, byref(n)), "card count")
        return n.value

    def card(self, device: int) -> CardSpec:
        c = SimCard()
        _check(sim_library().quelt_sim_get_card(self._root, device, byref(c)), f"device {device}")
        return CardSpec._from_c(c)

    def cards(self) -> list[CardSpec]:
        return [self.card(d) for d in range(1, len(self) + 1)]

    # --- interrupts, status, EEPROM ---

    def raise_irq(self, device: int, count: int = 1) -> None:
        """Raises count interrupts on the device and wakes its waiters, in every process."""
        _check(sim_library().quelt_sim_raise_irq(self._root, device, _unsigned(count, 32, "count")), f"raise interrupt on device {device}")

    def status(self, device: int) -> StatusBlock:
        return StatusBlock(self, device)

    def pending_waits(self, device: int) -> int:
        n = c_uint32()
        _check(sim_library().quelt_sim_pending_waits(self._root, device, byref(n)), "pending waits")
        return n.value

    def attached_handles(self, device: int) -> int:
        n = c_int32()
        _check(sim_library().quelt_sim_attached_handles(self._root, device, byref(n)), "attached handles")
        return n.value

    def region(self, device: int, index: int) -> memoryview:
        """A region's memory as the card sees it: the test's side of the registers.

        Writes show at once to every process that mapped the region; the view
        is released when the machine is deleted.
        """
        address, size = ctypes.c_void_p(), ctypes.c_uint64()
        _check(
            sim_library().quelt_sim_map_region(self._root, device, index, byref(address), byref(size)),
            f"device {device} region {index}",
        )
        view = memoryview((ctypes.c_ubyte * size.value).from_address(address.value or 0)).cast("B")
        self._views.append(view)
        return view

    def eeprom(self, device: int) -> SimEeprom:
        return SimEeprom(self, device)

    def set_eeprom_mode(self, device: int, mode: EepromMode) -> None:
        _check(sim_library().quelt_sim_set_eeprom_mode(self._root, device, int(mode)), "EEPROM mode")

    def set_eeprom_program_time(self, device: int, milliseconds: int) -> None:
        _check(
            sim_library().quelt_sim_set_eeprom_program_time(self._root, device, _unsigned(milliseconds, 32, "time")),
            "EEPROM time",
        )

    # --- driver faults and the wait mode, for this process ---

    def arm_fault(self, fault: Fault | str, device: int = 0, *, times: int = 1, error_code: int = 0) -> None:
        """Makes the next ``times`` requests of that kind fail, on device (0: any device).

        The fault is armed in the driver of the card library this process has
        loaded (it is loaded first when it is not), so the library's next such
        request meets it: ``m.arm_fault(Fault.ATTACH, 4)`` makes the next open
        of device 4 raise quelt.Error with QUELT_OPEN_FAILED. Faults are this
        process's own; quelt.reload() (and so the quelt_machine fixture at
        the end of a test) starts a fresh library without them. error_code is
        the failing call's error value (0: a fitting one).
        """
        kind = Fault[fault.upper()] if isinstance(fault, str) else Fault(fault)
        library()
        _check(
            sim_library().quelt_sim_arm_fault(int(kind), device, times, _unsigned(error_code, 32, "error_code")),
            f"arm fault {kind.name} on device {device}",
        )

    def clear_faults(self) -> None:
        """Disarms every fault armed in this process."""
        library()
        _check(sim_library().quelt_sim_clear_faults(), "clear faults")

    def immediate_waits(self, on: bool = True) -> None:
        """Interrupt waits of this process end at once as if their time had run out (no sleeping in tests)."""
        library()
        _check(sim_library().quelt_sim_set_immediate_waits(1 if on else 0), "immediate waits")

    def problem(self, device: int) -> str:
        """What is wrong with the device's card file, "" when it can be used."""
        problem, file = ctypes.create_string_buffer(1024), ctypes.create_string_buffer(4096)
        _check(
            sim_library().quelt_sim_card_problem(self._root, device, problem, len(problem), file, len(file)),
            f"device {device}",
        )
        return problem.value.decode(errors="replace")

    @property
    def driver_version(self) -> int:
        v = c_uint32()
        _check(sim_library().quelt_sim_get_driver_version(self._root, byref(v)), "driver version")
        return v.value

    @driver_version.setter
    def driver_version(self, version: int) -> None:
        _check(
            sim_library().quelt_sim_set_driver_version(self._root, _unsigned(version, 32, "driver version")),
            "driver version",
        )


__all__ = ["CardSpec", "EepromMode", "Fault", "Machine", "SimEeprom", "SimError", "StatusBlock"]
