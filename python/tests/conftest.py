"""Helpers shared by the package's tests."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
import threading
import time
from collections.abc import Callable
from pathlib import Path

import pytest

pytest_plugins = ["pytester"]

SOURCE_DIR = Path(__file__).resolve().parents[2]


def wait_until(condition: Callable[[], bool], timeout: float = 5.0) -> bool:
    """Polls condition until it holds or the time is up (for states another thread reaches)."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(0.005)
    return condition()


class Background:
    """Runs a call in a thread and keeps its result or exception."""

    def __init__(self, call: Callable[[], object]) -> None:
        self.result: object = None
        self.error: BaseException | None = None

        def run() -> None:
            try:
                self.result = call()
            except BaseException as e:  # noqa: BLE001 - handed to the test
                self.error = e

        self.thread = threading.Thread(target=run, daemon=True)
        self.thread.start()

    def join(self, timeout: float = 10.0) -> "Background":
        self.thread.join(timeout)
        assert not self.thread.is_alive(), "the background call did not end"
        return self


def run_python(
    code: str, *, args: list[str] | None = None, env: dict[str, str] | None = None
) -> subprocess.CompletedProcess[str]:
    """Runs code in a separate Python process with this process's environment (and changes)."""
    full = dict(os.environ)
    full.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *(args or [])],
        capture_output=True,
        text=True,
        env=full,
        timeout=60,
    )


@pytest.fixture
def source_dir() -> Path:
    return SOURCE_DIR
