"""python -m quelt list shows what the quelt tool shows, on machines of every shape."""

from __future__ import annotations

import os
import subprocess
import sys

import pytest


def _run(command: list[str]) -> subprocess.CompletedProcess[str]:
    return subprocess.run(command, capture_output=True, text=True, timeout=60, env=dict(os.environ))


@pytest.mark.parametrize("output", [[], ["--json"]], ids=["text", "json"])
@pytest.mark.parametrize(
    "machine_cards",
    [
        None,
        [],
        [{"family": "ep4gxa", "card_id": 0x4711, "serial": 12, "description": "Rig \u00e9"}, "ox9162"],
        [{"family": "ep4gxa", "vendor_id": 0x1234}],  # a device of no family
        [{"family": "ox952", "device_id": 0x0401, "slot": 9}, {"family": "ox952", "bus": 6}],  # a lone function 1
    ],
    ids=["default", "empty", "identity", "foreign", "lone-function1"],
)
def test_list_matches_the_tool(quelt_machine, machine_cards, output) -> None:
    tool = os.environ.get("QUELT_TOOL")
    if not tool:
        pytest.skip("QUELT_TOOL names the quelt tool to compare with (CTest sets it)")
    if machine_cards is not None:
        quelt_machine.load_text('{"format": "quelt-sim-machine", "version": 1, "cards": []}')
        for card in machine_cards:
            quelt_machine.add_card(**({"family": card} if isinstance(card, str) else card))
    ours = _run([sys.executable, "-m", "quelt", "list", *output])
    theirs = _run([tool, "list", *output])
    assert (ours.returncode, ours.stdout) == (theirs.returncode, theirs.stdout), ours.stderr
