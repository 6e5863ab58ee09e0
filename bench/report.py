#!/usr/bin/env python3
"""Prints bench/run's table: each library figure beside its raw equivalent
from the same run, their ratio, and instructions per call under callgrind.

    report.py RESULTS.json CALLS CALLGRIND-0.txt CALLGRIND-1.txt

RESULTS.json is Google Benchmark's output; the callgrind files are
callgrind_annotate --inclusive=yes listings of quelt_bench_count runs with
CALLS calls per function, without (0) and with (1) device-model windows.
"""
import json
import re
import sys

# library benchmark -> (raw benchmark, what the raw one is)
PAIRS = {
    'BM_EP4GXA_ReadReg32': ('BM_Raw_Load32', 'volatile 32-bit load, same address'),
    'BM_EP4GXA_WriteReg32': ('BM_Raw_Store32', 'volatile 32-bit store, same address'),
    'BM_EP4GXA_ReadReg2x32': ('BM_Raw_Load64', 'volatile 64-bit load, same address'),
    'BM_OX9162_MemRead': ('BM_Raw_Load8', 'volatile byte load, same address'),
    'BM_OX952_MemWrite': ('BM_Raw_Store8', 'volatile byte store, same address'),
    'BM_EP4GXA_BAR0_BaseAdr': ('BM_Raw_LoadPair', 'base and size loaded from a record'),
    'BM_OX9162_SHARED_BaseAdr': ('BM_Raw_LoadPair', 'base and size loaded from a record'),
    'BM_EP4GXA_IRQ_Count': ('BM_Raw_LoadIrqCounter', 'volatile load of the counter word'),
    'BM_EP4GXA_IrqPingPong': ('BM_Raw_FutexPingPong', 'futex ping-pong, two processes'),
    'BM_OX9162_EEPROM_RD': ('BM_Raw_ControlByteAccesses', '70 control-byte reads through the window'),
    'BM_EP4GXA_OpenClose': ('BM_Raw_OpenMapFile', 'open, map, unmap, close one card file'),
    'BM_FirstCall': ('BM_Raw_OpenMapEveryFile', 'the same for every card file'),
}

# function counted -> raw function it is compared with
COUNTED = [
    ('EP4GXA_ReadReg32', 'raw::Load32'),
    ('EP4GXA_WriteReg32', 'raw::Store32'),
    ('EP4GXA_ReadReg8', 'raw::Load8'),
    ('EP4GXA_ReadReg2x32', 'raw::Load64'),
    ('EP4GXA_WriteReg64', 'raw::Store64'),
    ('OX9162_MemRead', 'raw::Load8'),
    ('OX952_MemWrite', 'raw::Store8'),
    ('EP4GXA_BAR0_BaseAdr', 'raw::LoadPair'), ('EP4GXA_BAR1_BaseAdr', 'raw::LoadPair'), ('EP4GXA_BAR2_BaseAdr', 'raw::LoadPair'),
    ('EP4GXA_SHARED_BaseAdr', 'raw::LoadPair'), ('OX9162_BAR3_BaseAdr', 'raw::LoadPair'), ('OX9162_BAR4_BaseAdr', 'raw::LoadPair'),
    ('OX9162_SHARED_BaseAdr', 'raw::LoadPair'), ('OX952_BAR05_BaseAdr', 'raw::LoadPair'), ('OX952_BAR11_BaseAdr', 'raw::LoadPair'),
    ('OX952_BAR13_BaseAdr', 'raw::LoadPair'), ('OX952_SHARED_BaseAdr', 'raw::LoadPair'),
    ('EP4GXA_IRQ_Count', 'raw::Load32'), ('OX9162_IRQ_Count', 'raw::Load32'), ('OX952_IRQ_Count', 'raw::Load32'),
]


def fmt_time(ns):
    if ns >= 1e6:
        return f'{ns / 1e6:.2f} ms'
    if ns >= 1e3:
        return f'{ns / 1e3:.1f} µs'
    return f'{ns:.2f} ns'


def load_times(path):
    """name -> (CPU time, wall time) in ns per iteration."""
    scale = {'ns': 1, 'us': 1e3, 'ms': 1e6, 's': 1e9}
    times = {}
    for b in json.load(open(path))['benchmarks']:
        if b.get('error_occurred'):
            continue
        name = b['name']
        if b.get('run_type') == 'aggregate':
            # Repeated figures stand for themselves by their median.
            if b.get('aggregate_name') != 'median':
                continue
            name = name[: -len('_median')]
        unit = scale[b['time_unit']]
        times[name] = (b['cpu_time'] * unit, b['real_time'] * unit)
    return times


def split(name):
    head, _, args = name.partition('/')
    return head, args


def load_counts(path, calls):
    counts = {}
    for line in open(path):
        m = re.match(r'^\s*([\d,]+) \([^)]*\)\s+\?\?\?:([A-Za-z_][\w:]*)', line)
        if m:
            counts[m.group(2)] = int(m.group(1).replace(',', '')) / calls
    return counts


def main():
    results, calls, cg0, cg1 = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    times = load_times(results)

    print('## Time per call, beside the raw equivalent in the same run\n')
    print('CPU time of the calling thread, which other programs on a busy machine do not')
    print('inflate, and wall time, which also counts the time spent blocked (the only')
    print('meaningful one where the benchmark waits on another process).\n')
    print('| operation | arguments | library CPU | library wall | raw equivalent | raw CPU | raw wall '
          '| ratio CPU | ratio wall |')
    print('|---|---|---|---|---|---|---|---|---|')
    for name, (cpu, wall) in times.items():
        head, args = split(name)
        if head not in PAIRS:
            continue
        raw_head, raw_what = PAIRS[head]
        raw = times.get(raw_head + ('/' + args if args else ''))
        if raw:
            print(f'| `{head[3:]}` | {args or "—"} | {fmt_time(cpu)} | {fmt_time(wall)} | {raw_what} | '
                  f'{fmt_time(raw[0])} | {fmt_time(raw[1])} | {cpu / raw[0]:.1f}× | {wall / raw[1]:.1f}× |')
        else:
            print(f'| `{head[3:]}` | {args or "—"} | {fmt_time(cpu)} | {fmt_time(wall)} | {raw_what} '
                  f'| — | — | — | — |')

    print('\n## Two threads on one card, against one thread alone (CPU time per call)\n')
    print('| operation | windows | 1 thread | 2 threads (each) | ratio |')
    print('|---|---|---|---|---|')
    for name, (cpu, _) in times.items():
        head, args = split(name)
        if not args.endswith('threads:1'):
            continue
        two = times.get(name[:-1] + '2')
        if two:
            windows = re.search(r'windows:(\d)', args)
            print(f'| `{head[3:]}` | {windows.group(1) if windows else "—"} | {fmt_time(cpu)} | '
                  f'{fmt_time(two[0])} | {two[0] / cpu:.2f}× |')

    print('\n## How open + close and the first call grow (CPU time, ratio to 1 card and no other process)\n')
    print('| operation | cards | other processes | CPU | wall | ratio CPU |')
    print('|---|---|---|---|---|---|')
    for head in ('BM_EP4GXA_OpenClose', 'BM_FirstCall'):
        base = times.get(f'{head}/cards:1/processes:0')
        for name, (cpu, wall) in times.items():
            m = re.fullmatch(re.escape(head) + r'/cards:(\d+)/processes:(\d+)', name)
            if m and base:
                print(f'| `{head[3:]}` | {m.group(1)} | {m.group(2)} | {fmt_time(cpu)} | {fmt_time(wall)} '
                      f'| {cpu / base[0]:.1f}× |')

    print(f'\n## Instructions per call (callgrind, {calls} calls each)\n')
    print('| function | no window | windows registered | raw equivalent | raw |')
    print('|---|---|---|---|---|')
    c0, c1 = load_counts(cg0, calls), load_counts(cg1, calls)
    for fn, raw in COUNTED:
        a = f'{c0[fn]:.0f}' if fn in c0 else '—'
        b = f'{c1[fn]:.0f}' if fn in c1 else '—'
        r = f'{c0[raw]:.0f}' if raw and raw in c0 else '—'
        print(f'| `{fn}` | {a} | {b} | {raw or "—"} | {r} |')


if __name__ == '__main__':
    main()
