"""ctypes prototypes of the card library's exports (include/quelt_ox952.h)."""

from __future__ import annotations

import ctypes
from ctypes import POINTER, c_char_p, c_int32, c_uint8, c_uint16, c_uint32, c_uint64, c_size_t, c_void_p

from ._library import on_load

u32p = POINTER(c_uint32)


class OxRegion(ctypes.Structure):
    _fields_ = [("address", c_void_p), ("length", c_uint64)]


class DeviceResources(ctypes.Structure):
    """The 336-byte record of an attached device."""

    _fields_ = [
        ("regionCount", c_int32),
        ("reserved0", c_uint32),
        ("regions", OxRegion * 16),
        ("reserved1", c_uint8 * 8),
        ("bus", c_uint32),
        ("slot", c_uint32),
        ("vendorId", c_uint32),
        ("deviceId", c_uint32),
        ("pciAddress", c_uint32),
        ("irqLine", c_uint8),
        ("reserved2", c_uint8 * 11),
        ("statusBlock", c_void_p),
        ("dmaKey", c_uint64),
        ("dmaSize", c_uint64),
        ("dmaBase", c_uint64),
    ]


assert ctypes.sizeof(DeviceResources) == 336
assert DeviceResources.statusBlock.offset == 304 and DeviceResources.dmaBase.offset == 328

FAMILY_PREFIXES = ("OX952", "OX9162", "EP4GXA")
REGION_FUNCTIONS = {
    "OX952": ("BAR05", "BAR11", "BAR13"),
    "OX9162": ("BAR3", "BAR4"),
    "EP4GXA": ("BAR0", "BAR1", "BAR2"),
}


def _set(lib: ctypes.CDLL, name: str, restype: object, *argtypes: object) -> None:
    fn = getattr(lib, name)
    fn.restype = restype
    fn.argtypes = list(argtypes)


@on_load
def declare(lib: ctypes.CDLL) -> None:
    for p in FAMILY_PREFIXES:
        _set(lib, f"{p}_DriverVersion", c_uint32, u32p)
        _set(lib, f"{p}_InterfaceVersion", c_uint32)
        _set(lib, f"{p}_CardsInSystem", c_uint32, u32p)
        for q in ("DID", "BUS", "SLOT"):
            _set(lib, f"{p}_Card_{q}", c_uint32, c_uint32, u32p)
        for o in ("Open", "OpenMulti", "OpenDiagnostic"):
            _set(lib, f"{p}_{o}", c_uint32, c_uint32, c_uint32)
        _set(lib, f"{p}_Close", c_uint32, c_uint32)
        _set(lib, f"{p}_Card_OpenCount", c_uint32, c_uint32, u32p)
        _set(lib, f"{p}_ClearConnections", c_uint32, c_uint32)
        _set(lib, f"{p}_IRQ_Wait", c_uint32, c_uint32, u32p)
        _set(lib, f"{p}_IRQ_Count", c_uint32, c_uint32)
        _set(lib, f"{p}_IRQ_SetTimeout", c_uint32, c_uint32, c_int32)
        _set(lib, f"{p}_SHARED_BaseAdr", c_uint32, c_uint32, POINTER(c_void_p), u32p)
        for r in REGION_FUNCTIONS[p]:
            _set(lib, f"{p}_{r}_BaseAdr", c_uint32, c_uint32, POINTER(c_void_p), u32p)
    _set(lib, "OX952_IRQ_CountF0", c_uint32, c_uint32)
    for p in ("OX9162", "EP4GXA"):
        _set(lib, f"{p}_GetIrqWaits", c_uint32, c_uint32)
    for p in ("OX952", "OX9162"):
        _set(lib, f"{p}_MemWrite", None, c_void_p, c_uint32, c_uint8)
        _set(lib, f"{p}_MemRead", c_uint8, c_void_p, c_uint32)
        _set(lib, f"{p}_EEPROM_RD", c_uint32, c_uint32, c_uint32, POINTER(c_uint16))
        _set(lib, f"{p}_EEPROM_WR", c_uint32, c_uint32, c_uint32, c_uint16)
        _set(lib, f"{p}_EEPROM_Erase", c_uint32, c_uint32, c_uint32)
    _set(lib, "EP4GXA_Card_ID", c_uint32, c_uint32, u32p)
    _set(lib, "EP4GXA_Card_SerNr", c_uint32, c_uint32, u32p)
    _set(lib, "EP4GXA_ReadReg8", c_uint32, c_uint32, c_uint32, POINTER(c_uint8))
    _set(lib, "EP4GXA_WriteReg8", c_uint32, c_uint32, c_uint32, c_uint8)
    _set(lib, "EP4GXA_ReadReg32", c_uint32, c_uint32, c_uint32, u32p)
    _set(lib, "EP4GXA_WriteReg32", c_uint32, c_uint32, c_uint32, c_uint32)
    _set(lib, "EP4GXA_ReadReg2x32", c_uint32, c_uint32, c_uint32, u32p, u32p)
    _set(lib, "EP4GXA_WriteReg2x32", c_uint32, c_uint32, c_uint32, c_uint32, c_uint32)
    _set(lib, "EP4GXA_ReadReg64", c_uint32, c_uint32, c_uint32, POINTER(c_uint64))
    _set(lib, "EP4GXA_WriteReg64", c_uint32, c_uint32, c_uint32, c_uint64)

    _set(lib, "OxOpenDevice", c_void_p, c_char_p, c_int32, c_int32)
    _set(lib, "OxCloseDevice", None, c_void_p)
    _set(lib, "OxGetBoardName", c_char_p, c_void_p)
    _set(lib, "OxGetDeviceResources", POINTER(DeviceResources), c_void_p)
    _set(lib, "OxInOut", c_int32, c_size_t, c_int32, c_size_t, c_int32)
    _set(lib, "OxWaitForIrq", c_int32, POINTER(c_void_p), c_int32, c_uint8)
    _set(lib, "OxDiscardWaitForIrq", None, c_void_p)
    _set(lib, "OxGetIrqCounter", c_uint32, c_void_p)
    _set(lib, "OxGetIrqWaits", c_uint32, c_void_p)
    _set(lib, "OxDriverVersion", c_uint32)
    _set(lib, "OxAllocateDMAmem", c_int32, c_void_p, c_uint32)
    _set(lib, "OxReleaseDMAmem", c_int32, c_void_p)
