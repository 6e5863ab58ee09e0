"""quelt.Error and the library's result codes."""

from __future__ import annotations

# Every result code of the family functions with its name and text, as the
# public header defines them; the tests compare this table with the header.
RESULT_CODES: dict[int, tuple[str, str]] = {
    0x0: ("QUELT_OK", "success"),
    0x2: ("QUELT_NO_CARD", "no such card at this position"),
    0x4: ("QUELT_REFUSED", "connection refused by the card's other connections"),
    0x8: ("QUELT_OPEN_FAILED", "opening the card's device failed"),
    0x20: ("QUELT_NO_IRQ_LINE", "interrupts requested but the card has none"),
    0x40: ("QUELT_NOT_OPEN", "card not open in this process, or operation failed"),
    0x80: ("QUELT_NO_REGION", "memory region not available"),
    0x100: ("QUELT_IRQ_NOT_ENABLED", "card was opened without interrupts"),
    0x200: ("QUELT_WAIT_ENDED", "interrupt wait discarded or card closed"),
    0x400: ("QUELT_NULL_POINTER", "null pointer argument or missing record"),
    0x800: ("QUELT_WAIT_FAILED", "the driver's interrupt wait request failed"),
    0x1000: ("QUELT_TIMEOUT", "interrupt wait timed out"),
    0x2000: ("QUELT_NO_BAR3", "OX9162 BAR3 region not available"),
    0x4000: ("QUELT_NO_BAR11", "OX952 function 1 first region not available"),
    0x8000: ("QUELT_NO_BAR13", "OX952 function 1 second region not available"),
    0x20000: ("QUELT_NO_FUNCTION1", "OX952 second function missing or ambiguous"),
    0x40000: ("QUELT_ALREADY_OPEN", "card already open in this process"),
    0x40000000: ("QUELT_BAD_OFFSET", "register offset outside region 0 or misaligned"),
    0x80000000: ("QUELT_OLD_DRIVER", "card driver older than version 109"),
}


class Error(Exception):
    """A failed call.

    ``code`` is the result code (an int; None for failures that have no code
    of the library), ``name`` its name ("QUELT_NO_CARD") and ``text`` its
    meaning. ``what`` says which call failed.
    """

    def __init__(self, code: int | None, name: str, text: str, what: str = "") -> None:
        self.code = code
        self.name = name
        self.text = text
        self.what = what
        shown = f" (0x{code:X})" if code is not None and code >= 0 else (f" ({code})" if code is not None else "")
        super().__init__(f"{what + ': ' if what else ''}{text} [{name}{shown}]")


class IrqTimeout(Error, TimeoutError):
    """An interrupt wait whose time ran out (QUELT_TIMEOUT)."""


class WaitEnded(Error):
    """An interrupt wait ended without an interrupt: discarded, or its card closed (QUELT_WAIT_ENDED)."""


def error_for(code: int, what: str = "") -> Error:
    """The exception for a failing result code of a family function."""
    name, text = RESULT_CODES.get(code, ("QUELT_UNKNOWN", "unknown result code"))
    if code == 0x1000:
        return IrqTimeout(code, name, text, what)
    if code == 0x200:
        return WaitEnded(code, name, text, what)
    return Error(code, name, text, what)


def check(code: int, what: str) -> None:
    """Raises the code's exception unless it is QUELT_OK."""
    if code != 0:
        raise error_for(code, what)
