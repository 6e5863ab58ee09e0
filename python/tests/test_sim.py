"""quelt.sim, machine files and the quelt_machine fixture itself."""

from __future__ import annotations

import json
import os
from pathlib import Path

import pytest

import quelt
from quelt.sim import Fault, Machine, SimError


@pytest.fixture
def machine():
    """A machine of quelt.sim's own, for tests that need no library."""
    with Machine.create_temp() as m:
        yield m


@pytest.mark.parametrize(
    "options, expected",
    [
        ({}, {"device_id": 0x0300, "bus": 2, "slot": 3, "irq": 17, "regions": [(4096, False)]}),
        ({"function": 1}, {"device_id": 0x0301, "eeprom_region": 1, "regions": [(4096, False)] * 2}),
        ({"description": "Rig A", "vendor_id": 0x1234, "device_id": 0x0301}, {"description": "Rig A", "vendor_id": 0x1234}),
        ({"bus": 7, "slot": 0, "pci_address": 0x00050001, "irq": 0}, {"bus": 7, "slot": 0, "pci_address": 0x00050001, "irq": 0}),
        ({"regions": [8192, (4096, True)]}, {"regions": [(8192, False), (4096, True)]}),
        ({"status_block": False, "eeprom_region": 0}, {"status_block": False, "eeprom_region": 0}),
        ({"family": "ep4gxa", "card_id": None, "serial": 3}, {"card_id": None, "serial": 3}),
        ({"family": "ep4gxa", "regions": [4096]}, {"card_id": None, "serial": None}),
        ({"family": "ox9162", "eeprom_region": None}, {"eeprom_region": None, "device_id": 0x0100}),
    ],
    ids=["defaults", "function1", "ids", "location", "regions", "status-eeprom", "identity", "small-bar0", "no-eeprom"],
)
def test_add_card_sets_every_option(machine, options, expected) -> None:
    options = dict(options)
    family = options.pop("family", "ox952")
    device = machine.add_card(family, **options)
    card_spec = machine.card(device)
    for key, value in expected.items():
        assert getattr(card_spec, key) == value, key


@pytest.mark.parametrize(
    "options, name, fragment",
    [
        ({"family": "ox953"}, "QUELT_SIM_BAD_ARGUMENT", "ox953"),
        ({"family": "ox9162", "function": 1}, "QUELT_SIM_BAD_ARGUMENT", "function 1"),
        ({"regions": [0]}, "QUELT_SIM_FAILED", "size 0"),
        ({"regions": [1 << 31]}, "QUELT_SIM_FAILED", "1 GiB"),
        ({"eeprom_region": 3}, "QUELT_SIM_FAILED", "EEPROM region 3"),
        ({"family": "ep4gxa", "regions": [4096], "card_id": 5}, "QUELT_SIM_FAILED", "16376"),
    ],
)
def test_add_card_refuses_what_a_card_cannot_be(machine, options, name, fragment) -> None:
    options = dict(options)
    with pytest.raises(SimError) as e:
        machine.add_card(options.pop("family", "ox952"), **options)
    assert e.value.name == name and fragment in e.value.text
    assert len(machine) == 0
    for bad in ({"irq": 256}, {"bus": -1}, {"description": "x" * 301}):
        with pytest.raises(ValueError):
            machine.add_card("ox952", **bad)


def test_devices_move_up_and_missing_ones_are_named(machine) -> None:
    for bus in (1, 2, 3):
        machine.add_card("ox9162", bus=bus)
    machine.remove_card(2)
    assert [c.bus for c in machine.cards()] == [1, 3]
    for call in (lambda: machine.raise_irq(3), lambda: machine.remove_card(0), lambda: machine.status(9).irq_counter):
        with pytest.raises(SimError) as e:
            call()
        assert e.value.name == "QUELT_SIM_NO_DEVICE" and "the machine has 2 devices" in e.value.text
    gone = Machine(machine.root + "-none")
    with pytest.raises(SimError) as e:
        len(gone)
    assert e.value.name == "QUELT_SIM_NO_MACHINE"
    assert not gone.exists and not os.path.exists(gone.root)


def test_status_fields_read_back_signed(machine) -> None:
    machine.add_card("ep4gxa")
    status = machine.status(1)
    status.attach_count = -2
    status.irq_counter = 0xFFFFFFFF
    status.slot_count = 3
    status.set_word(24 + 8, 4321)
    assert (status.attach_count, status.irq_counter, status.slots) == (-2, 0xFFFFFFFF, [0, 0, 4321])
    with pytest.raises(AttributeError):
        status.no_such_field = 1
    with pytest.raises(SimError):
        status.word(1022)


def test_driver_version_and_eeprom_words(machine) -> None:
    machine.add_card("ox9162")
    machine.driver_version = 131
    assert machine.driver_version == 131
    eeprom = machine.eeprom(1)
    assert list(eeprom) == [0xFFFF] * 64
    eeprom.fill(range(64))
    assert eeprom[10] == 10 and eeprom[-1] == 63
    with pytest.raises(IndexError):
        eeprom[64] = 0
    with pytest.raises(ValueError):
        eeprom.fill([1, 2])


def test_machine_files_round_trip(machine, tmp_path: Path) -> None:
    machine.add_default_cards()
    machine.add_card("ox9162", description="Spare", regions=[(8192, True), 64], irq=0, eeprom_region=1)
    machine.eeprom(5).fill([0x1000 + i for i in range(64)])
    machine.driver_version = 115
    text = machine.export(tmp_path / "rig.json")
    data = json.loads(text)
    assert (data["format"], data["version"], data["driver-version"]) == ("quelt-sim-machine", 1, 115)
    assert list(data) == ["format", "version", "driver-version", "cards"]
    with Machine.create_temp() as copy:
        copy.load(tmp_path / "rig.json")
        assert copy.cards() == machine.cards()
        assert list(copy.eeprom(5)) == list(machine.eeprom(5))
        assert copy.driver_version == 115
        assert copy.export() == text


MINIMAL = {"format": "quelt-sim-machine", "version": 1, "cards": []}


def card(**fields):
    return dict(MINIMAL, cards=[{"family": "ox9162", **fields}])


@pytest.mark.parametrize(
    "document, field, fragment",
    [
        ("{not json", "", "not a JSON document"),
        ({"version": 1, "cards": []}, "format", "quelt-sim-machine"),
        (dict(MINIMAL, version=2), "version", "not supported"),
        (dict(MINIMAL, cards={}), "cards", "array"),
        (dict(MINIMAL, colour="blue"), "colour", "not a field"),
        (dict(MINIMAL, cards=[{"bus": 1}]), "cards[0].device-id", "needed"),
        (card(family="ox953"), "cards[0].family", "ox952"),
        (card(bus=-1), "cards[0].bus", "negative"),
        (card(bus="0x1g"), "cards[0].bus", "not a number"),
        (card(irq=256), "cards[0].irq", "more than 255"),
        (card(description="x" * 301), "cards[0].description", "longer than 300"),
        (card(regions=[{"size": 4096}, {"size": 0}]), "cards[0].regions[1].size", "must not be 0"),
        (card(regions=[{"size": 4096, "mapped": True}]), "cards[0].regions[0].mapped", "not a field"),
        (card(regions=[{"size": 4096, "unmapped": "yes"}]), "cards[0].regions[0].unmapped", "true or false"),
        (card(**{"eeprom-region": 2}), "cards[0].eeprom-region", "not a region"),
        (card(eeprom=[0] * 63), "cards[0].eeprom", "64 words"),
        (card(eeprom=[0] * 63 + [0x10000]), "cards[0].eeprom[63]", "more than 65535"),
        (card(**{"card-id": 1}), "cards[0].card-id", "16376"),
        (card(function=1), "cards[0].function", "only an ox952"),
    ],
)
def test_bad_machine_files_name_the_field(machine, tmp_path: Path, document, field, fragment) -> None:
    machine.add_card("ep4gxa")
    path = tmp_path / "bad.json"
    path.write_text(document if isinstance(document, str) else json.dumps(document))
    with pytest.raises(SimError) as e:
        machine.load(path)
    assert e.value.name == "QUELT_SIM_BAD_FILE"
    assert e.value.text.startswith(f"{field}: " if field else "not a JSON"), e.value.text
    assert fragment in e.value.text
    assert len(machine) == 1  # nothing was made


def test_a_file_with_hex_and_family_defaults_loads(machine) -> None:
    machine.load_text(
        json.dumps(dict(MINIMAL, cards=[{"family": "ep4gxa", "serial": "0x10", "card-id": None},
                                        {"device-id": "0x0100", "regions": [{"size": 64}], "eeprom-region": 0}]))
    )
    first, second = machine.cards()
    assert (first.serial, first.card_id, first.irq) == (16, None, 19)
    assert (second.device_id, second.regions, second.eeprom_region, second.vendor_id) == (0x0100, [(64, False)], 0, 0x1760)
    with pytest.raises(SimError) as e:
        machine.load_text(json.dumps(MINIMAL), replace=False)
    assert e.value.name == "QUELT_SIM_EXISTS"


RIG = Path(__file__).with_name("rig.json")


@pytest.mark.quelt_machine(file="rig.json")
def test_a_marker_names_a_machine_file(quelt_machine) -> None:
    assert quelt_machine.export() == RIG.read_text()
    assert [c.family for c in quelt.cards()] == ["ox9162", "ep4gxa"]


def test_the_fixture_gives_each_test_its_own_machine_and_removes_it(pytester: pytest.Pytester) -> None:
    pytester.makepyfile(
        """
        import os, pytest, quelt
        roots = []
        outer = os.environ.get("QUELT_SIM_ROOT")

        @pytest.mark.quelt_machine("ep4gxa", driver_version=111)
        def test_one(quelt_machine):
            assert os.environ["QUELT_SIM_ROOT"] == quelt_machine.root
            roots.append(quelt_machine.root)
            assert len(quelt.cards()) == 1 and quelt.driver_version() == 111
            quelt.open("ep4gxa", 0)  # left open on purpose

        def test_two(quelt_machine):
            assert not os.path.exists(roots[0])
            assert quelt_machine.root != roots[0]
            assert len(quelt.cards()) == 3 and len(quelt_machine) == 4
            quelt.open("ep4gxa", 0).close()  # the card test_one left open was closed

        def test_three():
            assert os.environ.get("QUELT_SIM_ROOT") == outer

        @pytest.mark.quelt_machine("ox9162", file="x.json")
        def test_both(quelt_machine):
            pass
        """
    )
    result = pytester.runpytest_subprocess("-p", "quelt.pytest_plugin", "-p", "no:cacheprovider")
    result.assert_outcomes(passed=3, errors=1)
    result.stdout.fnmatch_lines(["*cards or a file, not both*"])


@pytest.mark.quelt_machine("ep4gxa")
def test_the_machine_side_of_a_region_is_the_cards_memory(quelt_machine) -> None:
    bar0 = quelt_machine.region(1, 0)
    assert len(bar0) == 65536 and bar0[16368:16372] == (0x4701).to_bytes(4, "little")
    bar0[0x40:0x44] = (0xFEEDBEEF).to_bytes(4, "little")
    with quelt.open("ep4gxa", 0) as card:
        assert card.read32(0x40) == 0xFEEDBEEF
        card.write32(0x44, 7)
    assert bar0[0x44] == 7
    with pytest.raises(SimError) as e:
        quelt_machine.region(1, 3)
    assert e.value.name == "QUELT_SIM_BAD_ARGUMENT" and "no region 3" in e.value.text
    quelt_machine.delete()
    with pytest.raises(ValueError, match="released"):
        bar0[0]


# --- driver faults reach the library of this process ---

@pytest.mark.parametrize("fault", [Fault.ATTACH, "create_file", Fault.NO_INTERFACE])
def test_an_armed_fault_makes_the_next_open_raise_its_code(quelt_machine, fault) -> None:
    quelt.cards()  # listed first: the listing's own requests would meet the fault
    quelt_machine.arm_fault(fault, 4)  # the EP4GXA card
    with pytest.raises(quelt.Error) as e:
        quelt.open("ep4gxa", 0)
    assert (e.value.code, e.value.name) == (quelt.codes.QUELT_OPEN_FAILED, "QUELT_OPEN_FAILED")
    quelt.open("ox9162", 0).close()  # another device is not touched
    quelt.open("ep4gxa", 0).close()  # armed for one request only


def test_faults_of_an_open_card_and_the_wait_mode_reach_it(quelt_machine) -> None:
    with quelt.open("ep4gxa", 0, kind="diagnostic", irq=True) as card:
        quelt_machine.arm_fault(Fault.WAIT, 4, times=2)
        for _ in range(2):
            with pytest.raises(quelt.Error) as e:
                card.wait_irq(timeout=0.05)
            assert e.value.code == quelt.codes.QUELT_WAIT_FAILED
        quelt_machine.arm_fault(Fault.WAIT, 4, times=5)
        quelt_machine.clear_faults()
        quelt_machine.immediate_waits(True)
        with pytest.raises(quelt.IrqTimeout):
            card.wait_irq(timeout=600)  # ends at once
        quelt_machine.immediate_waits(False)


def test_faults_are_checked_and_named(quelt_machine) -> None:
    with pytest.raises(KeyError):
        quelt_machine.arm_fault("no_such_fault")
    with pytest.raises(SimError) as e:
        quelt_machine.arm_fault(Fault.ATTACH, times=0)
    assert e.value.name == "QUELT_SIM_BAD_ARGUMENT"


def test_a_damaged_card_file_is_named(quelt_machine) -> None:
    assert quelt_machine.problem(3) == ""
    os.truncate(os.path.join(quelt_machine.root, "card-3"), 100)
    assert "100 bytes" in quelt_machine.problem(3)
