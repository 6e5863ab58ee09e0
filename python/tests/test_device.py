"""The device-level Ox functions."""

from __future__ import annotations

import pytest

import quelt
from conftest import Background, wait_until


@pytest.mark.quelt_machine("ox9162", {"family": "ep4gxa", "regions": [65536, (4096, True)], "irq": 0})
def test_a_device_reports_what_the_machine_holds(quelt_machine) -> None:
    with quelt.Device.open("EP4GXA") as device:
        card_spec = quelt_machine.card(2)
        r = device.resources
        assert device.board_name == card_spec.description
        assert (r.bus, r.slot, r.vendor_id, r.device_id, r.pci_address, r.irq_line) == (
            card_spec.bus, card_spec.slot, card_spec.vendor_id, card_spec.device_id, card_spec.pci_address, card_spec.irq)
        assert [length for _, length in r.regions] == [65536, 4096]
        assert r.regions[1][0] == 0 and r.status_block != 0 and r.dma is None
        bar0 = device.region(0)
        bar0[16368:16372] = b"\x01\x02\x03\x04"
        with pytest.raises(quelt.Error) as e:
            device.region(1)
        assert e.value.name == "QUELT_NO_REGION"
        with pytest.raises(IndexError):
            device.region(2)
        assert quelt_machine.attached_handles(2) == 1
    assert quelt_machine.attached_handles(2) == 0
    with pytest.raises(quelt.Error) as e:
        quelt.Device.open("EP4GXA", 2)
    assert e.value.name == "OX_NO_DEVICE"
    with quelt.Device.open(None, 1) as first:  # no name: any card, in device order
        assert first.board_name == quelt_machine.card(1).description


@pytest.mark.quelt_machine("ep4gxa")
def test_dma_buffers_are_held_one_at_a_time(quelt_machine) -> None:
    with quelt.Device.open("EP4GXA") as device:
        buffer = device.allocate_dma(8192)
        assert buffer.size == 8192 and buffer.key != 0 and device.resources.dma == buffer
        with pytest.raises(quelt.Error) as e:
            device.allocate_dma(4096)
        assert (e.value.code, e.value.name) == (-2, "OX_DMA_STATE")
        device.release_dma()
        assert device.resources.dma is None
        with pytest.raises(quelt.Error) as e:
            device.release_dma()
        assert e.value.code == -2


@pytest.mark.quelt_machine("ep4gxa")
def test_device_waits_report_each_ending(quelt_machine) -> None:
    device = quelt.Device.open("EP4GXA")
    assert device.wait_irq(timeout=0.02) is quelt.WaitResult.TIMEOUT
    waiter = Background(lambda: device.wait_irq(timeout=10))
    assert wait_until(lambda: quelt_machine.pending_waits(1) == 1)
    quelt_machine.raise_irq(1)
    assert waiter.join().result is quelt.WaitResult.INTERRUPT
    assert device.irq_counter == 1 and device.irq_waits == 0

    waiter = Background(lambda: device.wait_irq())
    assert wait_until(lambda: quelt_machine.pending_waits(1) == 1)
    with quelt.Device.open("EP4GXA", kind="diagnostic") as other:
        other.discard_irq_waits()
    assert waiter.join().result is quelt.WaitResult.ENDED

    waiter = Background(lambda: device.wait_irq())
    assert wait_until(lambda: quelt_machine.pending_waits(1) == 1)
    device.close()  # empties the slot first: the waiter leaves, the handle goes
    assert waiter.join().result is quelt.WaitResult.ENDED
    assert quelt_machine.attached_handles(1) == 0
    with pytest.raises(quelt.Error):
        device.wait_irq(0.01)
