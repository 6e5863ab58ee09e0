"""pytest plugin: the ``quelt_machine`` fixture, a fresh simulated machine for each test.

    @pytest.mark.quelt_machine("ep4gxa", {"family": "ox9162", "irq": 0})
    def test_something(quelt_machine):
        quelt_machine.raise_irq(1)
        with quelt.open("ep4gxa", 0, irq=True) as card: ...

The machine is made in a new root of its own before the test, with the cards
the marker names (family names, or dicts of ``Machine.add_card`` arguments),
from a machine file (``file="rig.json"``, relative to the test's file), or the
default machine (an OX952 two-function card, an OX9162 card, an EP4GXA card)
without a marker. ``driver_version=`` sets the version it reports.

For the test, QUELT_SIM_ROOT names the machine, and the library is loaded
afresh, so it lists this machine's cards. Afterwards the cards and devices
the test left open are closed, the library is unloaded, QUELT_SIM_ROOT is
restored and the machine removed.
"""

from __future__ import annotations

from collections.abc import Iterator
from pathlib import Path


import pytest

import quelt
from quelt.sim import Machine

MARKER = "quelt_machine"


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        f"{MARKER}(*cards, file=None, driver_version=None): the simulated machine of the "
        "quelt_machine fixture: cards by family name or as dicts of Machine.add_card "
        "arguments, or a machine file",
    )


def _shape(machine: Machine, marker: pytest.Mark | None, test_path: Path) -> None:
    if marker is None:
        machine.add_default_cards()
        return
    unknown = set(marker.kwargs) - {"file", "driver_version"}
    if unknown:
        raise pytest.UsageError(f"{MARKER} marker: unknown arguments {sorted(unknown)}")
    file = marker.kwargs.get("file")
    if file is not None:
        if marker.args:
            raise pytest.UsageError(f"{MARKER} marker: cards or a file, not both")
        path = Path(file)
        if not path.is_absolute():
            path = test_path.parent / path
        machine.load(path, replace=True)
    for card in marker.args:
        if isinstance(card, str):
            machine.add_card(card)
        elif isinstance(card, dict):
            machine.add_card(**card)
        else:
            raise pytest.UsageError(f"{MARKER} marker: a card is a family name or a dict, not {card!r}")
    version = marker.kwargs.get("driver_version")
    if version is not None:
        machine.driver_version = version


@pytest.fixture
def quelt_machine(request: pytest.FixtureRequest, monkeypatch: pytest.MonkeyPatch) -> Iterator[Machine]:
    """A fresh simulated machine in its own root, which the library uses for this test."""
    machine = Machine.create_temp(empty=True)
    try:
        _shape(machine, request.node.get_closest_marker(MARKER), Path(str(request.node.fspath)))
        # The library reads the root when it lists the cards, once per load: point it at this
        # machine first, then make sure the next call loads it afresh.
        monkeypatch.setenv("QUELT_SIM_ROOT", machine.root)
        quelt.reload()
        yield machine
    finally:
        try:
            quelt.reload()
        finally:
            monkeypatch.undo()
            if machine.exists:
                machine.delete()
