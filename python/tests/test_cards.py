"""The card API against machines made by the quelt_machine fixture."""

from __future__ import annotations

import re
import struct

import pytest

import quelt
from conftest import SOURCE_DIR, Background, run_python, wait_until


def test_result_codes_match_the_public_header() -> None:
    header = (SOURCE_DIR / "include" / "quelt_ox952.h").read_text()
    values = {m[0]: int(m[1], 16) for m in re.findall(r"#define (QUELT_\w+) (0x[0-9A-Fa-f]+)u", header)}
    texts = dict(re.findall(r'X\((QUELT_\w+), "([^"]*)"\)', header))
    assert len(texts) == 19
    table = {name: (code, text) for code, (name, text) in quelt._errors.RESULT_CODES.items()}
    assert table == {name: (values[name], texts[name]) for name in texts}


def test_cards_lists_the_default_machine(quelt_machine) -> None:
    listed = quelt.cards()
    assert [(c.family, c.position) for c in listed] == [("ox952", 0), ("ox9162", 0), ("ep4gxa", 0)]
    by_family = {c.family: c for c in listed}
    for card_spec in quelt_machine.cards():
        if card_spec.device_id == 0x0301:
            continue  # the OX952 card's second function is listed with its first
        family = {0x0300: "ox952", 0x0100: "ox9162", 0x0810: "ep4gxa"}[card_spec.device_id]
        card = by_family[family]
        assert (card.device_id, card.bus, card.slot) == (card_spec.device_id, card_spec.bus, card_spec.slot)
        assert (card.card_id, card.serial) == (card_spec.card_id, card_spec.serial)


@pytest.mark.quelt_machine(
    {"family": "ep4gxa", "card_id": 0x11, "serial": 500, "bus": 9},
    {"family": "ep4gxa", "card_id": 0x22, "serial": 600, "bus": 1},
    driver_version=120,
)
def test_a_marker_shapes_the_machine(quelt_machine) -> None:
    listed = quelt.cards("ep4gxa")
    assert sorted((c.card_id, c.serial, c.bus) for c in listed) == [(0x11, 500, 9), (0x22, 600, 1)]
    assert quelt.cards("ox952") == []
    assert quelt.driver_version() == 120


@pytest.mark.quelt_machine("ep4gxa", driver_version=105)
def test_an_old_driver_raises_with_its_code(quelt_machine) -> None:
    with pytest.raises(quelt.Error) as e:
        quelt.driver_version()
    assert (e.value.code, e.value.name) == (0x80000000, "QUELT_OLD_DRIVER")
    assert quelt.driver_version_raw() == 105


@pytest.mark.quelt_machine("ep4gxa", {"family": "ox9162", "irq": 0})
@pytest.mark.parametrize(
    "action, code, name",
    [
        (lambda: quelt.open("ep4gxa", 1), 0x2, "QUELT_NO_CARD"),
        (lambda: quelt.open("ox952", 32), 0x2, "QUELT_NO_CARD"),
        (lambda: quelt.open("ox952", 0), 0x8, "QUELT_OPEN_FAILED"),  # OX952 reports an empty position so
        (lambda: quelt.open("ox9162", 0, irq=True), 0x20, "QUELT_NO_IRQ_LINE"),
        (lambda: quelt.open("ep4gxa", 0).wait_irq(0.01), 0x100, "QUELT_IRQ_NOT_ENABLED"),
        (lambda: quelt.open("ep4gxa", 0).read32(0x2), 0x40000000, "QUELT_BAD_OFFSET"),
        (lambda: quelt.open("ep4gxa", 0).read32(65536), 0x40000000, "QUELT_BAD_OFFSET"),
        (lambda: quelt.open("ep4gxa", 0).read64(0x4), 0x40000000, "QUELT_BAD_OFFSET"),
        (lambda: quelt.open("ep4gxa", 0).write32(65532 + 4, 1), 0x40000000, "QUELT_BAD_OFFSET"),
        (lambda: quelt.open("ox9162", 0).region("bar4").read8(0), None, None),
    ],
    ids=["no-card", "position-32", "ox952-empty-position", "no-irq-line", "irq-not-enabled", "misaligned", "past-end", "misaligned64",
         "write-past-end", "ox9162-bar4-works"],
)
def test_failures_raise_with_code_name_and_text(quelt_machine, action, code, name) -> None:
    try:
        if code is None:
            assert action() == 0
            return
        with pytest.raises(quelt.Error) as e:
            action()
        assert (e.value.code, e.value.name) == (code, name)
        assert e.value.text == quelt.codes.text(code)
        assert name in str(e.value) and e.value.text in str(e.value)
    finally:
        quelt.reload()  # the cards the lambdas opened


@pytest.mark.quelt_machine("ep4gxa")
def test_an_open_card_is_open_once_per_process(quelt_machine) -> None:
    with quelt.open("ep4gxa", 0, kind="diagnostic") as card:
        with pytest.raises(quelt.Error) as e:
            quelt.open("ep4gxa", 0)
        assert e.value.name == "QUELT_ALREADY_OPEN"
        assert not card.closed
    assert card.closed
    with pytest.raises(quelt.Error) as e:
        card.read32(0)
    assert e.value.name == "QUELT_NOT_OPEN"
    quelt.open("ep4gxa", 0).close()  # closed for good: it opens again


@pytest.mark.quelt_machine("ep4gxa")
def test_registers_round_trip_through_every_width(quelt_machine) -> None:
    with quelt.open("ep4gxa", 0) as card:
        card.write32(0x10, 0xCAFEF00D)
        card.write64(0x18, 0x0123456789ABCDEF)
        card.write2x32(0x20, 0x11111111, 0x22222222)
        card.write8(0x28, 0xA5)
        assert card.read32(0x10) == 0xCAFEF00D
        assert card.read64(0x18) == 0x0123456789ABCDEF
        assert card.read2x32(0x18) == (0x89ABCDEF, 0x01234567)  # low half at the lower address
        assert card.read64(0x20) == 0x2222222211111111
        assert card.read8(0x28) == 0xA5
        # The mapped region is the same memory the registers are.
        bar0 = card.region("bar0").memory
        assert struct.unpack_from("<I", bar0, 0x10)[0] == 0xCAFEF00D
        struct.pack_into("<I", bar0, 0x30, 0x5EED)
        assert card.read32(0x30) == 0x5EED
        with pytest.raises(ValueError):
            card.write32(0x10, 1 << 32)
        assert card.card_id == 0x4701 and card.serial == 1001


@pytest.mark.quelt_machine("ep4gxa", "ox9162")
def test_register_functions_belong_to_the_ep4gxa_family(quelt_machine) -> None:
    with quelt.open("ox9162", 0) as card:
        for call in (lambda: card.read32(0), lambda: card.write32(0, 0), lambda: card.card_id):
            with pytest.raises(TypeError):
                call()
    with quelt.open("ep4gxa", 0) as card, pytest.raises(TypeError):
        card.eeprom


@pytest.mark.quelt_machine("ox9162", "ep4gxa")
def test_region_bytes_are_bounded_and_shared_with_the_memoryview(quelt_machine) -> None:
    with quelt.open("ox9162", 0) as card:
        regions = card.regions
        assert sorted(regions) == ["bar3", "bar4"] and regions["bar4"].length == 4096
        bar4 = regions["bar4"]
        bar4.write8(4095, 0x7E)
        assert bar4.memory[4095] == 0x7E and bar4.read8(4095) == 0x7E
        for bad in (-1, 4096):
            with pytest.raises(IndexError):
                bar4.read8(bad)
        with pytest.raises(ValueError):
            bar4.write8(0, 256)
        with pytest.raises(ValueError):
            card.region("bar0")


def test_views_are_released_when_the_card_closes(quelt_machine) -> None:
    with quelt.open("ep4gxa", 0) as card:
        memory = card.region("bar1").memory
        shared = card.shared()
        memory[0] = 1
    for view in (memory, shared):
        with pytest.raises(ValueError, match="released"):
            view[0]


@pytest.mark.quelt_machine("ox9162", "ox952", {"family": "ox952", "function": 1})
def test_eeprom_words_round_trip_between_card_and_machine(quelt_machine) -> None:
    machine_eeprom = quelt_machine.eeprom(1)
    machine_eeprom[6] = 0x1234
    with quelt.open("ox9162", 0) as card:
        eeprom = card.eeprom
        assert len(eeprom) == 64 and eeprom[6] == 0x1234 and eeprom[-58] == 0x1234
        eeprom[5] = 0xBEEF
        eeprom.erase(6)
        assert machine_eeprom[5] == 0xBEEF and machine_eeprom[6] == 0xFFFF
        assert eeprom[4:7] == [0xFFFF, 0xBEEF, 0xFFFF]
        for bad in (64, -65):
            with pytest.raises(IndexError):
                eeprom[bad]
        with pytest.raises(ValueError):
            eeprom[0] = 0x10000
    # OX952: the EEPROM sits on the second function.
    quelt_machine.eeprom(3)[63] = 0xA0A0
    with quelt.open("ox952", 0) as card:
        assert card.eeprom[63] == 0xA0A0
        assert list(card.eeprom)[63] == 0xA0A0


@pytest.mark.quelt_machine("ep4gxa")
def test_an_interrupt_raised_through_the_machine_ends_a_wait(quelt_machine) -> None:
    with quelt.open("ep4gxa", 0, irq=True) as card:
        waiter = Background(lambda: card.wait_irq(timeout=10))
        assert wait_until(lambda: quelt_machine.pending_waits(1) == 1)
        assert card.irq_waits == 1
        quelt_machine.raise_irq(1)
        assert waiter.join().error is None and waiter.result == 1
        quelt_machine.raise_irq(1, 4)
        assert card.irq_count == 5
        assert quelt_machine.status(1).irq_counter == 5


@pytest.mark.quelt_machine("ep4gxa")
def test_an_interrupt_from_another_process_ends_a_wait(quelt_machine) -> None:
    with quelt.open("ep4gxa", 0, irq=True) as card:
        waiter = Background(lambda: card.wait_irq(timeout=20))
        assert wait_until(lambda: quelt_machine.pending_waits(1) == 1)
        child = run_python(
            """
            import os
            from quelt.sim import Machine
            Machine(os.environ["QUELT_SIM_ROOT"]).raise_irq(1, 2)
            """
        )
        assert child.returncode == 0, child.stderr
        assert waiter.join().error is None and waiter.result == 2


@pytest.mark.quelt_machine("ep4gxa")
def test_waits_end_by_time_out_discard_and_close(quelt_machine) -> None:
    card = quelt.open("ep4gxa", 0, irq=True)
    with pytest.raises(quelt.IrqTimeout) as e:
        card.wait_irq(timeout=0.02)
    assert isinstance(e.value, TimeoutError) and e.value.code == 0x1000

    waiter = Background(lambda: card.wait_irq())
    assert wait_until(lambda: quelt_machine.pending_waits(1) == 1)
    card.discard_irq_waits()
    assert isinstance(waiter.join().error, quelt.WaitEnded)
    assert waiter.error.code == 0x200

    waiter = Background(lambda: card.wait_irq())
    assert wait_until(lambda: quelt_machine.pending_waits(1) == 1)
    card.close()
    assert isinstance(waiter.join().error, quelt.Error)
    assert quelt_machine.pending_waits(1) == 0
    assert quelt_machine.attached_handles(1) == 0


@pytest.mark.quelt_machine("ep4gxa")
def test_connections_are_counted_across_processes_and_cleared(quelt_machine) -> None:
    try_open = """
        import sys, quelt
        try:
            quelt.open("ep4gxa", 0, kind=sys.argv[1]).close()
            print("admitted")
        except quelt.Error as e:
            print(e.name)
        """
    with quelt.open("ep4gxa", 0) as card:
        assert card.open_count == 1 and quelt_machine.status(1).attach_count == 1
        for kind, answer in (("normal", "QUELT_REFUSED"), ("multi", "QUELT_REFUSED"), ("diagnostic", "admitted")):
            child = run_python(try_open, args=[kind])
            assert child.stdout.strip() == answer, (kind, child.stderr)
    assert run_python(try_open, args=["normal"]).stdout.strip() == "admitted"

    with quelt.open("ep4gxa", 0, kind="diagnostic") as card:
        assert card.open_count == 0 and quelt_machine.status(1).diag_count == 1
        status = quelt_machine.status(1)
        status.slot_count = 2
        status.set_word(24, 999999)  # a connection recorded by a process long gone
        card.clear_connections()
        assert card.closed
    status = quelt_machine.status(1)
    assert status.diag_count == 0 and status.attach_count <= 1
    assert status.slots == [0, 0]


def test_reload_closes_what_is_open_and_refuses_old_objects(quelt_machine) -> None:
    card = quelt.open("ep4gxa", 0)
    device = quelt.Device.open("EP4GXA", kind="diagnostic")
    quelt.reload()
    assert card.closed and device.closed
    with pytest.raises(quelt.Error):
        card.read32(0)
    with pytest.raises(quelt.Error):
        device.board_name
    assert quelt_machine.attached_handles(4) == 0
    with quelt.open("ep4gxa", 0) as again:  # a fresh instance of the library
        assert again.read32(0) == 0



@pytest.mark.quelt_machine("ox9162", "ox952", {"family": "ox952", "function": 1})
def test_ox952_waits_are_on_its_second_function(quelt_machine) -> None:
    with quelt.open("ox952", 0, irq=True) as card:
        waiter = Background(lambda: card.wait_irq(timeout=10))
        assert wait_until(lambda: quelt_machine.pending_waits(3) == 1)
        card.discard_irq_waits()  # finds the function-1 device among the others
        assert isinstance(waiter.join().error, quelt.WaitEnded)
        quelt_machine.raise_irq(2, 5)  # function 0
        quelt_machine.raise_irq(3, 2)
        assert (card.irq_count_f0, card.irq_count) == (5, 2)
        with pytest.raises(TypeError):
            card.irq_waits


@pytest.mark.quelt_machine("ep4gxa")
@pytest.mark.parametrize(
    "call",
    [
        lambda card, m: card.read32((1 << 32) + 0x10),
        lambda card, m: card.write8(0x10, 0x1FF),
        lambda card, m: card.write32(0x10, 1 << 32),
        lambda card, m: card.write32(0x10, -1),
        lambda card, m: card.write64(0x10, 1 << 64),
        lambda card, m: card.write2x32(0x10, 1, 1 << 32),
        lambda card, m: quelt.Device.open("EP4GXA", (1 << 32) + 1),
        lambda card, m: m.add_card("ep4gxa", card_id=1 << 32),
        lambda card, m: m.raise_irq(1, 1 << 32),
        lambda card, m: setattr(m.status(1), "irq_counter", 1 << 32),
    ],
    ids=["offset", "byte", "word", "negative", "quad", "high-half", "device-index", "card-id", "irq-count",
         "status"],
)
def test_values_that_do_not_fit_are_refused_not_cut(quelt_machine, call) -> None:
    with quelt.open("ep4gxa", 0, kind="diagnostic") as card:
        card.write32(0x10, 0x1234)
        with pytest.raises(ValueError):
            call(card, quelt_machine)
        assert card.read32(0x10) == 0x1234  # nothing was written to a cut-down place
        assert quelt_machine.status(1).irq_counter == 0 and len(quelt_machine) == 1


@pytest.mark.quelt_machine("ep4gxa")
def test_reload_waits_for_threads_still_leaving_a_wait(quelt_machine) -> None:
    card = quelt.open("ep4gxa", 0, irq=True)
    device = quelt.Device.open("EP4GXA", kind="diagnostic")
    waiters = [Background(lambda: card.wait_irq()), Background(lambda: device.wait_irq())]
    assert wait_until(lambda: quelt_machine.pending_waits(1) == 2)
    lib = quelt._library.library()
    quelt.reload()  # closes both; the waiters are released before the library goes
    assert lib.wait_idle(0) and not lib.loaded
    for waiter in waiters:
        waiter.join()
    assert isinstance(waiters[0].error, quelt.Error) and waiters[1].result is quelt.WaitResult.ENDED
