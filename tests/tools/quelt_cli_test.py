"""The quelt tool end to end: every command against a simulated machine made
for each test, its text and JSON output, and its exit codes."""
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

import pytest

BIN = os.environ["QUELT_BIN"]
QUELT = os.path.join(BIN, "quelt")
SIM = os.path.join(BIN, "quelt-sim")

# Default machine: device 1 and 2 the OX952 card's functions, 3 the OX9162
# card, 4 the EP4GXA card.
EP4GXA_DEVICE = 4


@pytest.fixture
def machine():
    root = tempfile.mkdtemp(prefix="quelt-cli-", dir="/dev/shm")
    env = dict(os.environ, QUELT_SIM_ROOT=root)
    subprocess.run([SIM, "init", "--force"], env=env, check=True, capture_output=True)
    yield env
    shutil.rmtree(root, ignore_errors=True)


def quelt(env, *args, input=None, timeout=30):
    return subprocess.run([QUELT, *args], env=env, capture_output=True, text=True, input=input, timeout=timeout)


def ok(env, *args, **kw):
    r = quelt(env, *args, **kw)
    assert r.returncode == 0, (args, r.stdout, r.stderr)
    return r.stdout


def ok_json(env, *args):
    return json.loads(ok(env, *args, "--json"))


def sim(env, *args):
    return subprocess.run([SIM, *args], env=env, check=True, capture_output=True, text=True).stdout


def status(env, device):
    """The status block as quelt-sim shows it, with snake_case keys."""
    raw = json.loads(sim(env, "status", str(device), "--json"))
    return {k.replace("-", "_"): v for k, v in raw.items()}


def wait_until(predicate, what, seconds=10):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.02)
    raise AssertionError("timed out waiting until " + what)


def start_waiter(env, *extra):
    """A `quelt irq wait` on the EP4GXA card in a process of its own, once
    its wait is pending in the driver."""
    p = subprocess.Popen([QUELT, "irq", "wait", "ep4gxa", "0", "--timeout", "0", *extra], env=env,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    wait_until(lambda: status(env, EP4GXA_DEVICE)["waits"] >= 1, "the wait is pending")
    return p


# --- list, devices, info, versions ---

def test_list_shows_every_field_of_every_card(machine):
    out = ok_json(machine, "list")
    assert out["driver_version"] == 110 and out["driver_compatible"] is True
    assert out["interface_version"] == 318
    cards = {c["family"]: c for c in out["cards"]}
    assert sorted(cards) == ["ep4gxa", "ox9162", "ox952"]
    for c in out["cards"]:
        for key in ("position", "device_number", "vendor_id", "device_id", "bus", "slot", "pci_address",
                    "irq_line", "description", "region_lengths", "card_id", "serial_number"):
            assert key in c, (key, c)
        assert c["vendor_id"] == 0x1760 and c["irq_line"] > 0 and c["description"]
    assert (cards["ox952"]["device_number"], cards["ox952"]["function1_device_number"]) == (1, 2)
    assert cards["ep4gxa"]["device_number"] == 4 and cards["ep4gxa"]["device_id"] == 0x0810
    assert cards["ep4gxa"]["card_id"] is not None and cards["ox9162"]["card_id"] is None
    text = ok(machine, "list")
    assert re.search(r"^ep4gxa\s+0\s+4\s+0x1760\s+0x0810", text, re.M), text
    assert re.search(r"^ox952\s+0\s+1,2\s", text, re.M), text


def test_empty_machine_says_no_cards_and_an_old_driver_says_so(machine):
    sim(machine, "init", "--empty", "--force")
    r = quelt(machine, "list")
    assert r.returncode == 0 and "no cards" in r.stdout, r
    # No card to ask is not an old driver: no incompatibility text, no message.
    assert "older" not in r.stdout and r.stderr == "", r
    assert ok_json(machine, "list")["driver_version"] is None
    assert "no cards to ask" in ok(machine, "--version")
    r = quelt(machine, "driver-version")
    assert r.returncode == 1 and "no cards" in r.stderr, r

    sim(machine, "init", "--force")
    sim(machine, "driver-version", "105")
    out = ok_json(machine, "list")
    assert (out["driver_version"], out["driver_compatible"]) == (105, False)
    assert "older than version 109" in ok(machine, "list")
    r = quelt(machine, "read", "ep4gxa", "0", "0")
    assert r.returncode == 1 and "older than version 109" in r.stderr, r


def test_version_names_tool_interface_and_driver(machine):
    text = ok(machine, "--version")
    assert re.search(r"^quelt \d+\.\d+\.\d+$", text, re.M), text
    assert "library interface version 318" in text and "driver version 110" in text
    assert ok_json(machine, "driver-version") == {"driver_version": 110, "compatible": True}


def test_devices_relate_device_numbers_to_family_positions(machine):
    devices = ok_json(machine, "devices")["devices"]
    seen = [(d["device_number"], d["family"], d["position"], d["function"]) for d in devices]
    assert seen == [(1, "ox952", 0, 0), (2, "ox952", 0, 1), (3, "ox9162", 0, None), (4, "ep4gxa", 0, None)]
    # A second EP4GXA card is device 5 and EP4GXA position 1.
    sim(machine, "add", "--family", "ep4gxa")
    devices = ok_json(machine, "devices")["devices"]
    assert (devices[4]["device_number"], devices[4]["family"], devices[4]["position"]) == (5, "ep4gxa", 1)
    assert ok_json(machine, "list")["cards"][-1]["device_number"] == 5


def test_info_opens_diagnostic_and_leaves_nothing_counted(machine):
    out = ok_json(machine, "info", "ep4gxa", "0")
    assert out["opened_as"] == "diagnostic"
    regions = {r["region"]: r for r in out["regions"]}
    assert sorted(regions) == ["bar0", "bar1", "bar2", "shared"]
    assert regions["bar0"]["length"] == 65536 and regions["shared"]["length"] == 996
    assert out["connections"]["non_diagnostic"] == 0 and out["irq_counter"] == 0
    s = status(machine, EP4GXA_DEVICE)
    assert (s["attach_count"], s["diag_count"]) == (0, 0)
    assert "regions (opened as diagnostic)" in ok(machine, "info", "ox952", "0")


# --- command-line mistakes: exit 2 and a message that names what is allowed ---

@pytest.mark.parametrize("args,message", [
    (["read", "ep4gxa", "0", "0x1g"], "decimal or 0x-hex number from 0 to 4294967295"),
    (["read", "ep4gxa", "32", "0"], "from 0 to 31"),
    (["read", "ep4gxa", "-1", "0"], "from 0 to 31"),
    (["read", "quux", "0", "0"], "ox952, ox9162 or ep4gxa"),
    (["read", "ox9162", "0", "0", "--region", "bar0"], "bar3, bar4, shared"),
    (["read", "ox952", "0", "0", "--width", "32"], "a byte at a time"),
    (["read", "ep4gxa", "0", "0", "--region", "bar1", "--width", "2x32"], "8, 32 or 64"),
    (["read", "ep4gxa", "0", "2"], "multiple of 4"),
    (["read", "ep4gxa", "0", "0x10000"], "from 0 to 0xFFFC"),
    (["read", "ep4gxa", "0", "0xFFF8", "--count", "3"], "do not fit"),
    (["write", "ox9162", "0", "0", "0x100"], "from 0 to 255"),
    (["write", "ep4gxa", "0", "0", "--width", "2x32", "1"], "LOW HIGH"),
    (["eeprom", "write", "ox9162", "0", "64", "1"], "from 0 to 63"),
    (["eeprom", "read", "ep4gxa", "0"], "no serial EEPROM"),
    (["irq", "wait", "ep4gxa", "0", "--timeout", "-5"], "from 0 to"),
    (["read", "ep4gxa", "0", "0", "--kind", "exclusive"], "normal, multi or diagnostic"),
    (["frobnicate"], ""),
    (["read", "ep4gxa"], ""),
])
def test_usage_errors_exit_2_naming_the_allowed_values(machine, args, message):
    r = quelt(machine, *args)
    assert r.returncode == 2, (args, r)
    assert message in r.stderr, (args, r.stderr)
    assert r.stdout == ""


def test_help_shows_defaults(machine):
    text = ok(machine, "irq", "wait", "--help")
    assert "5000" in text and "diagnostic" in text
    assert "8 for ox952/ox9162" in ok(machine, "read", "--help")


def test_a_missing_card_fails_with_the_positions_there_are(machine):
    r = quelt(machine, "read", "ox9162", "3", "0")
    assert r.returncode == 1 and "positions 0 to 0" in r.stderr, r


# --- memory and registers ---

def test_numbers_are_decimal_with_leading_zeros_never_octal(machine):
    ok(machine, "write", "ox9162", "0", "010", "07")
    assert ok(machine, "read", "ox9162", "0", "10").strip() == "0x07"
    assert ok(machine, "read", "ox9162", "0", "8").strip() == "0x00"


def test_default_width_is_8_for_byte_families_and_32_for_ep4gxa(machine):
    ok(machine, "write", "ox952", "0", "0x20", "0xAB")
    assert ok(machine, "read", "ox952", "0", "0x20").strip() == "0xAB"
    ok(machine, "write", "ep4gxa", "0", "0x20", "0x12345678")
    assert ok(machine, "read", "ep4gxa", "0", "0x20").strip() == "0x12345678"
    assert ok_json(machine, "read", "ep4gxa", "0", "0x20")["width"] == "32"


# Every region of every family, at a width it offers; each write is read back
# by a later process, so it went to the card's memory and not to the tool.
@pytest.mark.parametrize("family,region,width,offset,value", [
    ("ox952", "bar05", "8", 0x40, 0x5A),
    ("ox952", "bar11", "8", 0x41, 0x5B),
    ("ox952", "bar13", "8", 0x42, 0x5C),
    ("ox952", "shared", "8", 0, 0x5D),
    ("ox9162", "bar3", "8", 0x40, 0x6A),
    ("ox9162", "bar4", "8", 0x41, 0x6B),
    ("ox9162", "shared", "8", 995, 0x6C),
    ("ep4gxa", "bar0", "8", 0x40, 0x7A),
    ("ep4gxa", "bar0", "32", 0x44, 0x7B7C7D7E),
    ("ep4gxa", "bar0", "64", 0x48, 0x0102030405060708),
    ("ep4gxa", "bar1", "32", 0xFFC, 0x11223344),
    ("ep4gxa", "bar2", "64", 0xFF8, 0xA1A2A3A4A5A6A7A8),
    ("ep4gxa", "shared", "8", 0, 0x7F),
])
def test_every_region_reads_back_what_was_written(machine, family, region, width, offset, value):
    ok(machine, "write", family, "0", hex(offset), hex(value), "--region", region, "--width", width)
    out = ok_json(machine, "read", family, "0", hex(offset), "--region", region, "--width", width)
    assert out["values"] == [value] and out["region"] == region


def test_2x32_halves_make_one_64_bit_register(machine):
    ok(machine, "write", "ep4gxa", "0", "0x50", "--width", "2x32", "0xFFFFFFFF", "0")
    assert ok_json(machine, "read", "ep4gxa", "0", "0x50", "--width", "64")["values"] == [0xFFFFFFFF]
    ok(machine, "write", "ep4gxa", "0", "0x58", "--width", "64", "0x1122334455667788")
    out = ok_json(machine, "read", "ep4gxa", "0", "0x58", "--width", "2x32")
    assert out["values"] == [{"low": 0x55667788, "high": 0x11223344}]
    assert ok(machine, "read", "ep4gxa", "0", "0x58", "--width", "2x32").strip() == "low 0x55667788 high 0x11223344"


def test_count_gives_a_hex_dump(machine):
    for i, v in enumerate([0x10, 0x20, 0x30]):
        ok(machine, "write", "ox9162", "0", str(0x1E + i), hex(v))
    lines = ok(machine, "read", "ox9162", "0", "0x10", "--count", "20").splitlines()
    assert lines == ["0x0010: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 10 20",
                     "0x0020: 30 00 00 00"]
    # 8-bit EP4GXA registers sit one per 32-bit word.
    ok(machine, "write", "ep4gxa", "0", "0x64", "--width", "32", "0x000000AA")
    out = ok_json(machine, "read", "ep4gxa", "0", "0x60", "--width", "8", "--count", "3")
    assert (out["stride"], out["values"]) == (4, [0, 0xAA, 0])


def test_reads_write_nothing(machine):
    before = sim(machine, "eeprom", "3")
    ok(machine, "read", "ox9162", "0", "0", "--count", "4096")
    ok(machine, "eeprom", "read", "ox9162", "0")
    ok(machine, "info", "ox9162", "0")
    assert sim(machine, "eeprom", "3") == before
    assert ok_json(machine, "read", "ox9162", "0", "0", "--count", "16")["values"] == [0] * 16


def test_watch_prints_each_change_with_a_time_stamp(machine):
    p = subprocess.Popen([QUELT, "watch", "ep4gxa", "0", "0x70", "0x74", "--interval", "20", "--duration", "4000",
                          "--json"], env=machine, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    first = [json.loads(p.stdout.readline()) for _ in range(2)]
    assert [(e["offset"], e["value"], e["previous"]) for e in first] == [(0x70, 0, None), (0x74, 0, None)]
    ok(machine, "write", "ep4gxa", "0", "0x74", "0xCAFE")
    change = json.loads(p.stdout.readline())
    assert (change["offset"], change["previous"], change["value"]) == (0x74, 0, 0xCAFE)
    assert re.match(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}$", change["time"])
    p.send_signal(signal.SIGINT)  # the usual way to end a watch
    assert p.wait(timeout=10) == 0, p.stderr.read()
    assert status(machine, EP4GXA_DEVICE)["diag_count"] == 0


# --- EEPROM ---

def test_eeprom_write_erase_and_what_the_part_holds(machine):
    ok(machine, "eeprom", "write", "ox9162", "0", "7", "0xBEEF")
    assert ok_json(machine, "eeprom", "read", "ox9162", "0", "7")["value"] == 0xBEEF
    words = json.loads(sim(machine, "eeprom", "3", "--json"))["words"]
    assert words[7] == 0xBEEF and words[6] == 0xFFFF
    ok(machine, "eeprom", "erase", "ox9162", "0", "7")
    assert json.loads(sim(machine, "eeprom", "3", "--json"))["words"][7] == 0xFFFF
    # OX952 drives its EEPROM through function 1 (device 2).
    ok(machine, "eeprom", "write", "ox952", "0", "63", "42")
    assert json.loads(sim(machine, "eeprom", "2", "--json"))["words"][63] == 42


def test_eeprom_save_and_load_show_the_diff_ask_and_verify(machine, tmp_path):
    sim(machine, "eeprom", "3", "--set", "1=0x1111")
    saved = tmp_path / "eeprom.txt"
    ok(machine, "eeprom", "save", "ox9162", "0", str(saved))
    assert "01: " not in saved.read_text() and "00: FFFF 1111" in saved.read_text()
    sim(machine, "eeprom", "3", "--set", "1=0x2222", "--set", "9=5")
    # Not on a terminal and without --yes: nothing is written.
    r = quelt(machine, "eeprom", "load", "ox9162", "0", str(saved), input="y\n")
    assert r.returncode == 2 and "--yes" in r.stderr, r
    assert "word  1: 0x2222 -> 0x1111" in r.stdout and "word  9: 0x0005 -> 0xFFFF" in r.stdout
    assert json.loads(sim(machine, "eeprom", "3", "--json"))["words"][1] == 0x2222
    out = ok(machine, "eeprom", "load", "ox9162", "0", str(saved), "--yes")
    assert "wrote 2 word(s)" in out and "verified" in out
    words = json.loads(sim(machine, "eeprom", "3", "--json"))["words"]
    assert (words[1], words[9]) == (0x1111, 0xFFFF)
    assert "nothing to write" in ok(machine, "eeprom", "load", "ox9162", "0", str(saved), "--yes")
    saved.write_text("00: FFFF\n")
    r = quelt(machine, "eeprom", "load", "ox9162", "0", str(saved), "--yes")
    assert r.returncode == 1 and "line 1" in r.stderr, r


# --- interrupts and Ctrl-C ---

def test_irq_wait_times_out_with_exit_3(machine):
    r = quelt(machine, "irq", "wait", "ep4gxa", "0", "--timeout", "200", "--json")
    assert r.returncode == 3, r
    assert json.loads(r.stdout)["result"] == "timeout" and "timed out after 200 ms" in r.stderr


def test_irq_wait_sees_an_interrupt_raised_from_another_process(machine):
    p = start_waiter(machine, "--waits", "2", "--json")
    sim(machine, "irq", str(EP4GXA_DEVICE))
    # The first wait still counts as pending until its process has run again,
    # and a second interrupt raised before it took the first would be taken
    # together with it: wait until the tool has acknowledged the first one
    # (it leaves the driver before it acknowledges), then for its next wait.
    wait_until(lambda: status(machine, EP4GXA_DEVICE)["ack_counter"] == 1, "the first interrupt is taken")
    wait_until(lambda: status(machine, EP4GXA_DEVICE)["waits"] >= 1, "the second wait is pending")
    sim(machine, "irq", str(EP4GXA_DEVICE))
    out, err = p.communicate(timeout=20)
    assert p.returncode == 0, err
    result = json.loads(out)
    assert [e["since_open"] for e in result["interrupts"]] == [1, 2] and result["result"] == "interrupt"


def test_irq_count_waits_and_discard(machine):
    waiter = start_waiter(machine)
    assert ok_json(machine, "irq", "waits", "ep4gxa", "0")["irq_waits"] == 1
    assert "discarded" in ok(machine, "irq", "discard", "ep4gxa", "0")
    out, err = waiter.communicate(timeout=20)
    assert waiter.returncode == 1 and "ended without an interrupt" in err, err

    p = subprocess.Popen([QUELT, "irq", "count", "ep4gxa", "0", "--during", "1500", "--json"], env=machine,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    wait_until(lambda: status(machine, EP4GXA_DEVICE)["diag_count"] == 1, "the counting tool has the card open")
    sim(machine, "irq", str(EP4GXA_DEVICE), "--count", "3")
    out, err = p.communicate(timeout=20)
    assert p.returncode == 0, err
    counted = json.loads(out)
    assert (counted["since_open"], counted["card_counter"]) == (3, 3)


def test_an_interrupt_no_wait_took_note_of_ends_the_next_wait_at_once(machine):
    sim(machine, "irq", str(EP4GXA_DEVICE))
    out = ok_json(machine, "irq", "wait", "ep4gxa", "0", "--timeout", "0")
    assert out["interrupts"][0]["since_open"] == 0 and out["interrupts"][0]["earlier"] is True
    sim(machine, "irq", str(EP4GXA_DEVICE))
    assert "came before this wait began" in ok(machine, "irq", "wait", "ep4gxa", "0", "--timeout", "0")


@pytest.mark.parametrize("sig,code", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_ctrl_c_during_a_wait_closes_the_card_and_leaves_nothing_counted(machine, sig, code):
    p = start_waiter(machine, "--kind", "diagnostic")
    assert status(machine, EP4GXA_DEVICE)["diag_count"] == 1
    start = time.monotonic()
    p.send_signal(sig)
    _, err = p.communicate(timeout=20)
    assert p.returncode == code and "interrupted" in err, (p.returncode, err)
    assert time.monotonic() - start < 3  # the wait was ended, not left to its 5 s slice
    s = status(machine, EP4GXA_DEVICE)
    assert (s["diag_count"], s["attach_count"], s["waits"]) == (0, 0, 0), s
    assert ok_json(machine, "connections", "ep4gxa", "0")["stale_diagnostic"] == 0


# --- connections ---

def test_a_stale_diagnostic_count_is_shown_as_such_with_the_remedy(machine):
    p = start_waiter(machine, "--kind", "diagnostic")
    p.kill()  # no chance to close: the diagnostic count keeps it
    p.wait()
    out = ok_json(machine, "connections", "ep4gxa", "0")
    assert (out["non_diagnostic"], out["stale_diagnostic"]) == (0, 1), out
    text = ok(machine, "connections", "ep4gxa", "0")
    assert "1 stale diagnostic connection(s)" in text and "quelt connections ep4gxa 0 --clear" in text
    assert not re.search(r"\d{6,}", text), text  # never a wrapped count
    ok(machine, "connections", "ep4gxa", "0", "--clear")
    assert ok_json(machine, "connections", "ep4gxa", "0")["stale_diagnostic"] == 0
    assert status(machine, EP4GXA_DEVICE)["diag_count"] == 0


def test_connection_rules_seen_from_two_processes(machine):
    holder = start_waiter(machine, "--kind", "normal")
    out = ok_json(machine, "connections", "ep4gxa", "0")
    assert out["non_diagnostic"] == 1 and out["normal_owner"] == {"pid": holder.pid, "running": True}
    r = quelt(machine, "read", "ep4gxa", "0", "0", "--kind", "normal")
    assert r.returncode == 1 and "refused" in r.stderr, r
    r = quelt(machine, "read", "ep4gxa", "0", "0", "--kind", "multi")
    assert r.returncode == 1 and "refused" in r.stderr, r
    ok(machine, "read", "ep4gxa", "0", "0")  # diagnostic is always admitted
    holder.send_signal(signal.SIGINT)
    holder.communicate(timeout=20)
    ok(machine, "read", "ep4gxa", "0", "0", "--kind", "normal")
    assert ok_json(machine, "connections", "ep4gxa", "0")["non_diagnostic"] == 0


# --- device level ---

def test_open_by_board_name_and_index(machine):
    out = ok_json(machine, "open", "Function")
    assert out["board_name"] == "OX952 PCI Card Function 0" and out["status_block"] is True
    assert ok_json(machine, "open", "Function", "--index", "2")["device_id"] == 0x0301
    r = quelt(machine, "open", "Function", "--index", "3")
    assert r.returncode == 1 and "no device opened" in r.stderr, r
    out = ok_json(machine, "open", "EP4GXA")
    assert [r["length"] for r in out["regions"]] == [65536, 4096, 4096] and out["kind"] == "multi"
    r = quelt(machine, "open", "EP4GXA", "--wait-irq", "--timeout", "100", "--json")
    assert r.returncode == 3 and json.loads(r.stdout)["wait_result"] == 3, r
    s = status(machine, EP4GXA_DEVICE)
    assert (s["attach_count"], s["diag_count"]) == (0, 0)


def test_dma_allocates_shows_and_releases(machine):
    out = ok_json(machine, "dma", "EP4GXA", "--size", "0x2000")
    assert (out["allocate_result"], out["release_result"], out["size"]) == (0, 0, 0x2000)
    assert out["key"] != 0 and out["base"] != 0
    assert "this process's address of the buffer" in ok(machine, "dma", "OX9162", "--size", "4096")


def test_a_device_level_diagnostic_open_leaves_nothing_counted(machine):
    out = ok_json(machine, "open", "EP4GXA", "--kind", "diagnostic")
    assert out["kind"] == "diagnostic"
    s = status(machine, EP4GXA_DEVICE)
    assert (s["attach_count"], s["diag_count"]) == (0, 0), s
    # Only its own connection is taken out: another process's stays counted.
    waiter = start_waiter(machine, "--kind", "diagnostic")
    ok(machine, "open", "EP4GXA", "--kind", "diagnostic")
    assert status(machine, EP4GXA_DEVICE)["diag_count"] == 1
    waiter.send_signal(signal.SIGINT)
    waiter.communicate(timeout=20)
    assert status(machine, EP4GXA_DEVICE)["diag_count"] == 0


def test_regions_of_each_family(machine):
    assert re.findall(r"^(\w+)\s+0x[0-9A-F]+\s+(\d+) bytes$", ok(machine, "regions", "ox952", "0"), re.M) == [
        ("bar05", "4096"), ("bar11", "4096"), ("bar13", "4096"), ("shared", "996")]
    out = ok_json(machine, "regions", "ox9162", "0")
    assert [(r["region"], r["result"]) for r in out] == [("bar3", 0), ("bar4", 0), ("shared", 0)]
    # A card whose driver maps one region: the others say why they are missing.
    sim(machine, "add", "--family", "ep4gxa", "--region", "0x4000")
    out = ok_json(machine, "regions", "ep4gxa", "1")
    assert [(r["region"], r["result"]) for r in out] == [("bar0", 0), ("bar1", 0x80), ("bar2", 0x80),
                                                        ("shared", 0)]
    r = quelt(machine, "read", "ep4gxa", "1", "0", "--region", "bar2")
    assert r.returncode == 1 and "region bar2: memory region not available (0x80)" in r.stderr, r


def test_writing_commands_answer_in_json_too(machine, tmp_path):
    out = ok_json(machine, "write", "ep4gxa", "0", "0x10", "5")
    assert (out["region"], out["offset"], out["written"]) == ("bar0", 0x10, 5)
    assert ok_json(machine, "eeprom", "write", "ox9162", "0", "3", "0x77")["value"] == 0x77
    saved = tmp_path / "e.txt"
    assert ok_json(machine, "eeprom", "save", "ox9162", "0", str(saved))["words"][3] == 0x77
    sim(machine, "eeprom", "3", "--set", "3=1")
    r = quelt(machine, "eeprom", "load", "ox9162", "0", str(saved), "--json")
    assert r.returncode == 2 and "--yes" in r.stderr
    out = ok_json(machine, "eeprom", "load", "ox9162", "0", str(saved), "--yes")
    assert out["changes"] == [{"word": 3, "from": 1, "to": 0x77}] and out["written"] is True
    assert ok_json(machine, "irq", "discard", "ep4gxa", "0")["discarded"] is True


# Numbers as the user types them: what each means, or the range it misses.
@pytest.mark.parametrize("text,means", [
    ("10", 10), ("010", 10), ("0x10", 16), ("0X1f", 31), ("0xFF", 255), ("255", 255),
    ("256", None), ("0x100", None), ("-1", None), ("1e3", None), ("0x", None), ("", None),
    ("99999999999999999999999999", None), (" 7", None), ("7 ", None), ("0o7", None),
])
def test_values_are_decimal_or_0x_hex_within_the_width(machine, text, means):
    r = quelt(machine, "write", "ox9162", "0", "0x30", text, "--json")
    if means is None:
        assert r.returncode == 2 and "from 0 to 255 (0xFF)" in r.stderr, (text, r)
        return
    assert r.returncode == 0 and json.loads(r.stdout)["written"] == means, (text, r)
    assert ok_json(machine, "read", "ox9162", "0", "0x30")["values"] == [means]


def test_a_card_without_an_interrupt_line_cannot_wait(machine):
    sim(machine, "add", "--family", "ep4gxa", "--irq", "0")
    r = quelt(machine, "irq", "wait", "ep4gxa", "1", "--timeout", "100")
    assert r.returncode == 1 and "no interrupt line" in r.stderr, r
    assert ok_json(machine, "list")["cards"][-1]["irq_line"] == 0


def test_a_killed_owner_of_the_normal_connection_does_not_keep_the_card(machine):
    holder = start_waiter(machine, "--kind", "normal")
    holder.kill()
    holder.wait()
    # Every admission forgets the records of ended processes, the tool's own
    # diagnostic one included: nobody holds the card any more.
    out = ok_json(machine, "connections", "ep4gxa", "0")
    assert (out["normal_owner"], out["non_diagnostic"]) == (None, 0), out
    ok(machine, "read", "ep4gxa", "0", "0", "--kind", "normal")


def test_open_discard_ends_a_wait_of_another_process(machine):
    waiter = start_waiter(machine)
    assert "discarded" in ok(machine, "open", "EP4GXA", "--discard")
    _, err = waiter.communicate(timeout=20)
    assert waiter.returncode == 1 and "ended without an interrupt" in err, err


def test_ctrl_c_while_a_dma_buffer_is_held_releases_it(machine):
    p = subprocess.Popen([QUELT, "dma", "EP4GXA", "--size", "4096", "--hold", "60000", "--json"], env=machine,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    wait_until(lambda: status(machine, EP4GXA_DEVICE)["attach_count"] == 1, "the buffer's device is attached")
    time.sleep(0.2)
    p.send_signal(signal.SIGINT)
    out, err = p.communicate(timeout=20)
    assert p.returncode == 0, err
    assert json.loads(out)["release_result"] == 0
    assert status(machine, EP4GXA_DEVICE)["attach_count"] == 0


def test_an_empty_machine_has_no_devices_and_no_card_to_open(machine):
    sim(machine, "init", "--empty", "--force")
    assert ok(machine, "devices").startswith("no devices")
    assert ok_json(machine, "devices") == {"devices": []}
    r = quelt(machine, "info", "ep4gxa", "0")
    assert r.returncode == 1 and "no ep4gxa cards" in r.stderr, r


# --- damaged machines: the library cannot see what is wrong, the tool says it ---

@pytest.mark.parametrize("args", [["list"], ["list", "--json"], ["devices"], ["devices", "--json"],
                                  ["info", "ox9162", "0"], ["read", "ox9162", "0", "0"]])
def test_a_damaged_card_is_named_with_its_file_and_the_remedy(machine, args):
    path = os.path.join(machine["QUELT_SIM_ROOT"], "card-3")  # the OX9162 card
    os.truncate(path, 100)
    r = quelt(machine, *args)
    assert r.returncode == 1, r
    assert ("device 3: card file %s is damaged" % path) in r.stderr, r
    assert "quelt-sim repair 3" in r.stderr, r
    # The cards that are sound are still listed.
    if args[0] == "list" and len(args) == 1:
        assert "EP4GXA PCIe Card" in r.stdout, r


@pytest.mark.parametrize("args", [["list"], ["devices"], ["info", "ep4gxa", "0"]])
def test_an_unusable_root_is_named(machine, args):
    root = machine["QUELT_SIM_ROOT"]
    with open(os.path.join(root, "machine"), "w") as f:
        f.write("quelt-sim-machine 9\n")
    r = quelt(machine, *args)
    assert r.returncode == 1, r
    assert "the machine index in %s is damaged" % root in r.stderr, r

    shutil.rmtree(root)
    r = quelt(machine, *args)
    assert r.returncode == 1, r
    assert "no machine at %s" % root in r.stderr and "quelt-sim init" in r.stderr, r


def test_a_sound_machine_gives_no_problem_lines(machine):
    for args in (["list"], ["devices"]):
        r = quelt(machine, *args)
        assert r.returncode == 0 and r.stderr == "", r
    r = quelt(machine, "info", "ep4gxa", "1")
    assert r.returncode == 1 and r.stderr.count("\n") == 1, r
