"""ctypes prototypes of libquelt_sim (include/quelt_sim.h)."""

from __future__ import annotations

import ctypes
from ctypes import POINTER, c_char, c_char_p, c_int, c_int32, c_size_t, c_uint, c_uint8, c_uint16, c_uint32, c_uint64


class SimCard(ctypes.Structure):
    _fields_ = [
        ("description", c_char * 301),
        ("vendor_id", c_uint32),
        ("device_id", c_uint32),
        ("bus", c_uint32),
        ("slot", c_uint32),
        ("pci_address", c_uint32),
        ("irq_line", c_uint32),
        ("region_count", c_uint32),
        ("region_size", c_uint64 * 16),
        ("region_unmapped", c_uint8 * 16),
        ("status_block", c_int32),
        ("eeprom_region", c_int32),
        ("has_card_id", c_int32),
        ("card_id", c_uint32),
        ("has_serial", c_int32),
        ("serial", c_uint32),
    ]


def declare(lib: ctypes.CDLL) -> None:
    def s(name: str, *args: object) -> None:
        fn = getattr(lib, name)
        fn.restype = c_int
        fn.argtypes = list(args)

    lib.quelt_sim_last_error.restype = c_char_p
    lib.quelt_sim_last_error.argtypes = []
    lib.quelt_sim_code_name.restype = c_char_p
    lib.quelt_sim_code_name.argtypes = [c_int]
    s("quelt_sim_create", c_char_p, c_uint)
    s("quelt_sim_create_temp", c_uint, c_char_p, c_size_t)
    s("quelt_sim_delete", c_char_p)
    s("quelt_sim_exists", c_char_p, POINTER(c_int))
    s("quelt_sim_get_driver_version", c_char_p, POINTER(c_uint32))
    s("quelt_sim_set_driver_version", c_char_p, c_uint32)
    s("quelt_sim_default_card", c_char_p, c_int, POINTER(SimCard))
    s("quelt_sim_add_card", c_char_p, POINTER(SimCard), POINTER(c_int))
    s("quelt_sim_remove_card", c_char_p, c_int)
    s("quelt_sim_card_count", c_char_p, POINTER(c_int))
    s("quelt_sim_get_card", c_char_p, c_int, POINTER(SimCard))
    s("quelt_sim_raise_irq", c_char_p, c_int, c_uint32)
    s("quelt_sim_read_status", c_char_p, c_int, c_uint32, POINTER(c_uint32))
    s("quelt_sim_write_status", c_char_p, c_int, c_uint32, c_uint32)
    s("quelt_sim_pending_waits", c_char_p, c_int, POINTER(c_uint32))
    s("quelt_sim_attached_handles", c_char_p, c_int, POINTER(c_int32))
    s("quelt_sim_map_region", c_char_p, c_int, c_int, POINTER(ctypes.c_void_p), POINTER(c_uint64))
    s("quelt_sim_read_eeprom", c_char_p, c_int, POINTER(c_uint16))
    s("quelt_sim_write_eeprom_word", c_char_p, c_int, c_int, c_uint16)
    s("quelt_sim_set_eeprom_mode", c_char_p, c_int, c_int)
    s("quelt_sim_set_eeprom_program_time", c_char_p, c_int, c_uint32)
    s("quelt_sim_load_file", c_char_p, c_char_p, c_uint)
    s("quelt_sim_load_text", c_char_p, c_char_p, c_uint)
    s("quelt_sim_export_file", c_char_p, c_char_p)
    s("quelt_sim_export_text", c_char_p, c_char_p, c_size_t, POINTER(c_size_t))
    s("quelt_sim_card_problem", c_char_p, c_int, c_char_p, c_size_t, c_char_p, c_size_t)
    s("quelt_sim_arm_fault", c_int, c_int, c_int, c_uint32)
    s("quelt_sim_clear_faults")
    s("quelt_sim_set_immediate_waits", c_int)
