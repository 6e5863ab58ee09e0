"""Finding, loading and unloading the shared libraries.

The card library is searched for, in order:

1. the file named by ``QUELT_OX952_LIBRARY``;
2. the folder named by ``QUELT_LIBRARY_DIR``;
3. the folder of this package (where ``pip install`` puts libraries copied
   into ``quelt/`` before installing);
4. the system's library search path.

``libquelt_sim`` (Linux only) is found the same way through
``QUELT_SIM_LIBRARY`` and ``QUELT_LIBRARY_DIR``.
"""

from __future__ import annotations

import ctypes
import os
import sys
import threading
import weakref
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Callable, Iterable

_IS_WINDOWS = sys.platform == "win32"

if _IS_WINDOWS:
    _OX_NAMES = ("quelt_ox952.dll",)
    _SIM_NAMES: tuple[str, ...] = ()
else:
    _OX_NAMES = ("libquelt_ox952.so", "libquelt_ox952.so.3")
    _SIM_NAMES = ("libquelt_sim.so",)


class LibraryNotFound(OSError):
    """No copy of a shared library could be loaded; the message lists where it was looked for."""


def _candidates(names: Iterable[str], file_variable: str) -> list[str]:
    names = tuple(names)
    out: list[str] = []
    explicit = os.environ.get(file_variable)
    if explicit:
        out.append(explicit)
    folder = os.environ.get("QUELT_LIBRARY_DIR")
    if folder:
        out.extend(str(Path(folder) / n) for n in names)
    here = Path(__file__).resolve().parent
    out.extend(str(here / n) for n in names)
    # Bare names: the dynamic loader's own search (LD_LIBRARY_PATH, ld.so.cache, PATH on Windows).
    out.extend(names)
    return out


def _load(names: Iterable[str], file_variable: str) -> ctypes.CDLL:
    tried: list[str] = []
    for candidate in _candidates(names, file_variable):
        if ("/" in candidate or os.sep in candidate) and not Path(candidate).exists():
            tried.append(f"{candidate} (no such file)")
            continue
        try:
            if _IS_WINDOWS:
                # The library's exports are __stdcall.
                return ctypes.WinDLL(candidate)
            return ctypes.CDLL(candidate)
        except OSError as e:
            tried.append(f"{candidate} ({e})")
    raise LibraryNotFound("cannot load " + " or ".join(names) + "; tried: " + "; ".join(tried))


def _unload(lib: ctypes.CDLL) -> None:
    import _ctypes

    handle = lib._handle
    if _IS_WINDOWS:
        _ctypes.FreeLibrary(handle)  # type: ignore[attr-defined]
    else:
        _ctypes.dlclose(handle)  # type: ignore[attr-defined]


class Library:
    """One loaded instance of the card library.

    Objects made through an instance keep it; once it is unloaded they refuse
    every call instead of calling into unmapped code.
    """

    def __init__(self, lib: ctypes.CDLL) -> None:
        self.lib = lib
        self.path: str = getattr(lib, "_name", "")
        self.loaded = True
        self.users: "weakref.WeakSet[object]" = weakref.WeakSet()
        self._calls = 0
        self._idle = threading.Condition()

    @contextmanager
    def blocking_call(self) -> Iterator[None]:
        """Marks a call that may block inside the library (a wait, a close that waits for waiters).

        Unloading waits until none is left: a thread that a close has just
        released may still be on its way out of the library's code.
        """
        with self._idle:
            self._calls += 1
        try:
            yield
        finally:
            with self._idle:
                self._calls -= 1
                self._idle.notify_all()

    def wait_idle(self, timeout: float) -> bool:
        with self._idle:
            return self._idle.wait_for(lambda: self._calls == 0, timeout)

    def fn(self, name: str) -> Callable[..., object]:
        if not self.loaded:
            from ._errors import Error

            raise Error(None, "QUELT_UNLOADED", "the library was unloaded (quelt.reload); open the card again")
        return getattr(self.lib, name)


_lock = threading.RLock()
_current: Library | None = None
_sim: ctypes.CDLL | None = None
_setup: list[Callable[[ctypes.CDLL], None]] = []


def on_load(setup: Callable[[ctypes.CDLL], None]) -> Callable[[ctypes.CDLL], None]:
    """Registers a function that declares prototypes on every newly loaded instance."""
    _setup.append(setup)
    return setup


def library() -> Library:
    """The loaded card library, loading it on first use."""
    global _current
    with _lock:
        if _current is None:
            lib = _load(_OX_NAMES, "QUELT_OX952_LIBRARY")
            for setup in _setup:
                setup(lib)
            _current = Library(lib)
        return _current


def _mapped(path: str) -> bool:
    try:
        with open("/proc/self/maps", encoding="utf-8", errors="replace") as maps:
            real = os.path.realpath(path)
            return any(line.rstrip().endswith(real) for line in maps)
    except OSError:
        return False


def unload() -> None:
    """Closes every card and device still open through the loaded instance and unloads it.

    The next call loads a fresh instance, which lists the cards again: this is
    how a new machine (a new ``QUELT_SIM_ROOT``) is picked up by a process that
    already used another one.
    """
    global _current
    with _lock:
        current = _current
        if current is None:
            return
        for user in list(current.users):
            close = getattr(user, "close", None)
            if close is not None:
                close()
        if not current.wait_idle(30.0):
            from ._errors import Error

            raise Error(None, "QUELT_BUSY", "a call of another thread is still inside the library; not unloaded")
        current.loaded = False
        _current = None
        path = os.path.realpath(current.path) if ("/" in current.path or os.sep in current.path) else ""
        _unload(current.lib)
        if path and not _IS_WINDOWS and _mapped(path):
            from ._errors import Error

            raise Error(
                None,
                "QUELT_STILL_LOADED",
                f"{path} stays loaded after unloading (another user of the library in this process)",
            )


def sim_library() -> ctypes.CDLL:
    """libquelt_sim, the control library of the simulated machine (Linux)."""
    global _sim
    with _lock:
        if _sim is None:
            if not _SIM_NAMES:
                raise LibraryNotFound("the simulated machine exists on Linux only")
            lib = _load(_SIM_NAMES, "QUELT_SIM_LIBRARY")
            from . import _sim_prototypes

            _sim_prototypes.declare(lib)
            _sim = lib
        return _sim
