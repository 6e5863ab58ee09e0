"""The library's result codes by name (``quelt.codes.QUELT_TIMEOUT``) and the table of names and texts."""

from ._errors import RESULT_CODES

for _code, (_name, _text) in RESULT_CODES.items():
    globals()[_name] = _code
del _code, _name, _text


def name(code: int) -> str:
    """The name of a result code, "QUELT_UNKNOWN" for any other value."""
    return RESULT_CODES.get(code, ("QUELT_UNKNOWN", ""))[0]


def text(code: int) -> str:
    """The text of a result code, "unknown result code" for any other value (as the header's quelt_result_text)."""
    return RESULT_CODES.get(code, ("", "unknown result code"))[1]
