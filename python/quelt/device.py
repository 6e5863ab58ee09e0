"""The device-level Ox functions: attached devices by description and index."""

from __future__ import annotations

import enum
import threading
import weakref
from ctypes import byref, c_void_p
from dataclasses import dataclass

from . import _prototypes  # noqa: F401  (declares the prototypes on load)
from ._errors import Error
from ._library import Library, library
from .card import _release, _unsigned, _view

_KINDS = {"normal": 0, "multi": 1, "diagnostic": 2}
# A kind the library admits and records nowhere: for short looks at a device
# that must not count as a connection.
UNRECORDED = 3


class WaitResult(enum.IntEnum):
    """What OxWaitForIrq reports."""

    INTERRUPT = 0
    REQUEST_FAILED = 1
    ALREADY_CAME = 2
    TIMEOUT = 3
    ENDED = 4
    INVALID = 5


_DMA_ERRORS = {
    -1: ("OX_NULL_HANDLE", "the handle is null"),
    -2: ("OX_DMA_STATE", "a buffer is already held (allocate) or none is held (release)"),
    -3: ("OX_DMA_REQUEST_FAILED", "the driver's DMA request failed"),
    -4: ("OX_DMA_SHORT_REPLY", "the driver's DMA reply was short"),
}


@dataclass(frozen=True)
class DmaBuffer:
    """A DMA buffer held by a device: the driver's key, size and base."""

    key: int
    size: int
    base: int


@dataclass(frozen=True)
class Resources:
    """What the driver delivered when the device was attached."""

    regions: tuple[tuple[int, int], ...]  # (address, length); address 0 for an unmapped region
    bus: int
    slot: int
    vendor_id: int
    device_id: int
    pci_address: int
    irq_line: int
    status_block: int  # its address, 0 when the card has none
    dma: DmaBuffer | None


def driver_version_raw() -> int:
    """OxDriverVersion: the driver's version, 99 when it gave no answer, 100 when no card could be opened."""
    return int(library().fn("OxDriverVersion")())


class Device:
    """An attached device (OxOpenDevice); close it, or use it in a ``with`` block."""

    def __init__(self, handle: int, lib: Library) -> None:
        self._lib = lib
        self._slot = c_void_p(handle)
        self._handle = handle
        self._views: list[memoryview] = []
        self._lock = threading.Lock()
        lib.users.add(self)
        self._finalizer = weakref.finalize(self, _close_handle, lib, handle)

    @classmethod
    def open(cls, name: str | None = None, index: int = 1, kind: str | int = "normal") -> "Device":
        """Attaches the index-th (1-based) card whose description contains name (None: any card).

        kind: "normal", "multi", "diagnostic", or a number. Raises quelt.Error
        when there is no such card or it cannot be opened, attached or admitted.
        """
        k = _KINDS[kind] if isinstance(kind, str) else _unsigned(kind, 31, "kind")
        _unsigned(index, 31, "index")
        lib = library()
        handle = lib.fn("OxOpenDevice")(name.encode() if name is not None else None, index, k)
        if not handle:
            raise Error(
                None,
                "OX_NO_DEVICE",
                "no such device, or it could not be opened, attached or admitted",
                f"OxOpenDevice({name!r}, {index}, {k})",
            )
        return cls(handle, lib)

    @classmethod
    def find(cls, bus: int, slot: int, device_id: int) -> "Device":
        """Attaches the first device at bus and slot with device_id, as a connection recorded nowhere."""
        index = 1
        while True:
            try:
                device = cls.open(None, index, UNRECORDED)
            except Error:
                raise Error(
                    None,
                    "OX_NO_DEVICE",
                    f"no device 0x{device_id:X} at bus {bus} slot {slot}",
                    "find device",
                ) from None
            r = device.resources
            if (r.bus, r.slot, r.device_id) == (bus, slot, device_id):
                return device
            device.close()
            index += 1

    def _live(self) -> int:
        if not self._handle:
            raise Error(None, "OX_CLOSED", "the device was closed", "device")
        self._lib.fn("OxCloseDevice")  # refuses once the library was unloaded
        return self._handle

    @property
    def closed(self) -> bool:
        return not self._handle

    def close(self) -> None:
        """Detaches the device; waits of this process on it end first. Closing twice does nothing."""
        with self._lock:
            handle = self._handle
            if not handle:
                return
            # Waiters read the slot again after each driver request: empty it first.
            self._slot.value = None
            self._handle = 0
            self._finalizer.detach()
            _release(self._views)
            if self._lib.loaded:
                with self._lib.blocking_call():
                    self._lib.fn("OxCloseDevice")(handle)

    def __enter__(self) -> "Device":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    @property
    def board_name(self) -> str:
        name = self._lib.fn("OxGetBoardName")(self._live())
        return name.decode(errors="replace") if name else ""

    @property
    def resources(self) -> Resources:
        r = self._lib.fn("OxGetDeviceResources")(self._live()).contents
        count = max(0, min(r.regionCount, 16))
        regions = tuple((r.regions[i].address or 0, int(r.regions[i].length)) for i in range(count))
        dma = DmaBuffer(r.dmaKey, r.dmaSize, r.dmaBase) if r.dmaKey else None
        return Resources(
            regions, r.bus, r.slot, r.vendorId, r.deviceId, r.pciAddress, r.irqLine, r.statusBlock or 0, dma
        )

    def region(self, index: int) -> memoryview:
        """Region index as a memoryview (released when the device is closed)."""
        regions = self.resources.regions
        if not 0 <= index < len(regions):
            raise IndexError(f"the device has {len(regions)} regions, not {index}")
        address, length = regions[index]
        if not address:
            raise Error(0x80, "QUELT_NO_REGION", "the region is not mapped", f"region {index}")
        view = _view(address, length)
        self._views.append(view)
        return view

    def wait_irq(self, timeout: float | None = None) -> WaitResult:
        """Waits for the card's next interrupt (timeout in seconds, None: no limit)."""
        self._live()
        ms = 0 if timeout is None else min(max(1, int(round(timeout * 1000))), 0x7FFFFFFF)
        with self._lib.blocking_call():
            return WaitResult(self._lib.fn("OxWaitForIrq")(byref(self._slot), ms, 1))

    def discard_irq_waits(self) -> None:
        """Ends every interrupt wait on the device's card, in every process."""
        self._lib.fn("OxDiscardWaitForIrq")(self._live())

    @property
    def irq_counter(self) -> int:
        return int(self._lib.fn("OxGetIrqCounter")(self._live()))

    @property
    def irq_waits(self) -> int:
        """The driver's count of waits on the card; queues behind a wait pending on this device."""
        with self._lib.blocking_call():
            return int(self._lib.fn("OxGetIrqWaits")(self._live()))

    def allocate_dma(self, size: int) -> DmaBuffer:
        """Asks the driver for a DMA buffer of size bytes; the device holds at most one."""
        rc = self._lib.fn("OxAllocateDMAmem")(self._live(), _unsigned(size, 32, "size"))
        if rc != 0:
            name, text = _DMA_ERRORS.get(rc, ("OX_UNKNOWN", "unknown result"))
            raise Error(rc, name, text, f"allocate DMA buffer of {size} bytes")
        dma = self.resources.dma
        assert dma is not None
        return dma

    def release_dma(self) -> None:
        rc = self._lib.fn("OxReleaseDMAmem")(self._live())
        if rc != 0:
            name, text = _DMA_ERRORS.get(rc, ("OX_UNKNOWN", "unknown result"))
            raise Error(rc, name, text, "release DMA buffer")

    def __repr__(self) -> str:
        return f"<quelt.Device {'closed' if self.closed else repr(self.board_name)}>"


def _close_handle(lib: Library, handle: int) -> None:
    if lib.loaded:
        lib.fn("OxCloseDevice")(handle)
