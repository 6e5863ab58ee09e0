"""The logger's own tests, written against the quelt_machine fixture as a user would."""

from __future__ import annotations

import io
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import irq_logger


def wait_for(condition, timeout: float = 10.0) -> None:
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "the logger never got there"
        time.sleep(0.002)


def feed(machine, device: int, values: list[int], lines_logged, register: int | None = None) -> threading.Thread:
    """Plays the card: for each value, once the logger waits again, sets the register and raises an interrupt.

    lines_logged() tells how many interrupts the logger has logged: a wait
    pending after the k-th line is the wait for the next interrupt.
    """
    memory = machine.region(device, 0) if register is not None else None

    def run() -> None:
        for k, value in enumerate(values):
            wait_for(lambda: lines_logged() >= k and machine.pending_waits(device) == 1)
            if memory is not None:
                struct.pack_into("<I", memory, register, value)
            machine.raise_irq(device)

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread


@pytest.mark.quelt_machine("ep4gxa")
def test_each_interrupt_logs_the_register(quelt_machine) -> None:
    out = io.StringIO()
    feeder = feed(quelt_machine, 1, [0x11, 0x22, 0x33], lambda: out.getvalue().count("irq "), register=0x10)
    summary = irq_logger.log_interrupts("ep4gxa", 0, 0x10, 3, 5.0, out)
    feeder.join(10)
    assert summary.interrupts == 3 and not summary.timed_out
    assert summary.values == [0x11, 0x22, 0x33]
    assert out.getvalue().splitlines() == [
        "irq 1: count 1, register 0x10 = 0x00000011",
        "irq 2: count 2, register 0x10 = 0x00000022",
        "irq 3: count 3, register 0x10 = 0x00000033",
        "done: 3 interrupts",
    ]


@pytest.mark.quelt_machine("ep4gxa")
def test_it_stops_when_interrupts_stop(quelt_machine) -> None:
    out = io.StringIO()
    feeder = feed(quelt_machine, 1, [1], lambda: out.getvalue().count("irq "))
    summary = irq_logger.log_interrupts("ep4gxa", 0, 0x10, 5, 0.2, out)
    feeder.join(10)
    assert (summary.interrupts, summary.timed_out) == (1, True)
    assert out.getvalue().endswith("timed out: 1 interrupt\n")


@pytest.mark.quelt_machine("ox9162")
def test_byte_registers_on_an_ox9162_card(quelt_machine) -> None:
    out = io.StringIO()
    feeder = feed(quelt_machine, 1, [1, 2], lambda: out.getvalue().count("irq "))
    summary = irq_logger.log_interrupts("ox9162", 0, 0x8, 2, 5.0, out)
    feeder.join(10)
    assert summary.interrupts == 2 and summary.values == [0, 0]


@pytest.mark.quelt_machine({"family": "ep4gxa", "irq": 0})
def test_a_card_without_interrupt_is_an_error(quelt_machine, capsys) -> None:
    assert irq_logger.main(["--interrupts", "1", "--timeout", "0.1"]) == 1
    assert "QUELT_NO_IRQ_LINE" in capsys.readouterr().err


@pytest.mark.quelt_machine("ep4gxa")
def test_the_command_line_runs_against_the_machine(quelt_machine) -> None:
    memory = quelt_machine.region(1, 0)
    script = Path(irq_logger.__file__)
    proc = subprocess.Popen([sys.executable, str(script), "--register", "0x20", "--interrupts", "2", "--timeout", "5"],
                            stdout=subprocess.PIPE, text=True)
    lines = []
    for value in (0xAB, 0xCD):
        wait_for(lambda: quelt_machine.pending_waits(1) == 1)
        struct.pack_into("<I", memory, 0x20, value)
        quelt_machine.raise_irq(1)
        lines.append(proc.stdout.readline())
    out = proc.stdout.read()  # through the same buffer readline filled
    assert proc.wait(timeout=30) == 0
    assert [line.split(" = ")[1].strip() for line in lines] == ["0x000000AB", "0x000000CD"]
    assert out == "done: 2 interrupts\n"
