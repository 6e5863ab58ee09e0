#!/usr/bin/env python3
"""Checks the two flavours of quelt_ox952.dll against each other.

    compare-flavours.py REAL_DLL [SIMULATED_DLL]

- The real DLL holds no simulator: none of the simulator's own texts (its
  device path prefix, its machine file mark) is in it, while the simulated
  one has them, so the search is shown to find them.
- Both export exactly the same names under the same DLL name.
- Both carry the same resources (version and icons), byte for byte.
Without SIMULATED_DLL only the first half of the first check is made.
Exit status 0 when all hold; every difference is printed.
"""
import struct
import sys

# Texts only the simulator has: the device path prefix of its cards and the
# mark at the head of a machine index.
SIMULATOR_TEXTS = [b"quelt-sim#", b"quelt-sim-machine"]


class Pe:
    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[pe:pe + 4] != b"PE\0\0":
            raise ValueError(f"{path}: not a PE file")
        sections, optional_size = struct.unpack_from("<H", d, pe + 6)[0], struct.unpack_from("<H", d, pe + 20)[0]
        optional = pe + 24
        magic = struct.unpack_from("<H", d, optional)[0]
        directories = optional + (112 if magic == 0x20B else 96)
        self.directories = [struct.unpack_from("<II", d, directories + 8 * i) for i in range(16)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            _, vsize, vaddr, rawsize, rawptr = struct.unpack_from("<8sIIII", d, table + 40 * i)
            self.sections.append((vaddr, max(vsize, rawsize), rawptr))

    def offset(self, rva):
        for vaddr, size, rawptr in self.sections:
            if vaddr <= rva < vaddr + size:
                return rawptr + rva - vaddr
        raise ValueError(f"{self.path}: address {rva:#x} is in no section")

    def text(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("latin-1")

    def exports(self):
        rva, size = self.directories[0]
        if size == 0:
            return "", []
        at = self.offset(rva)
        name_rva, = struct.unpack_from("<I", self.data, at + 12)
        count, names_rva = struct.unpack_from("<I", self.data, at + 24)[0], struct.unpack_from(
            "<I", self.data, at + 32)[0]
        names_at = self.offset(names_rva)
        names = [self.text(struct.unpack_from("<I", self.data, names_at + 4 * i)[0]) for i in range(count)]
        return self.text(name_rva), sorted(names)

    def resources(self):
        rva, size = self.directories[2]
        found = {}
        if size == 0:
            return found
        base = self.offset(rva)

        def label(value):
            if value & 0x80000000:
                at = base + (value & 0x7FFFFFFF)
                length, = struct.unpack_from("<H", self.data, at)
                return self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            return value

        def walk(at, path):
            named, ids = struct.unpack_from("<HH", self.data, at + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
                key = path + (label(name),)
                if target & 0x80000000:
                    walk(base + (target & 0x7FFFFFFF), key)
                else:
                    data_rva, data_size = struct.unpack_from("<II", self.data, base + target)
                    start = self.offset(data_rva)
                    found[key] = self.data[start:start + data_size]

        walk(base, ())
        return found


def main():
    if len(sys.argv) not in (2, 3):
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    real = Pe(sys.argv[1])
    if len(sys.argv) == 2:
        held = [text.decode() for text in SIMULATOR_TEXTS if text in real.data]
        for text in held:
            print(f"the real DLL holds the simulator's text {text!r}")
        print(f"{len(SIMULATOR_TEXTS)} simulator texts looked for; {len(held)} found")
        return 1 if held else 0
    simulated = Pe(sys.argv[2])
    problems = []
    for text in SIMULATOR_TEXTS:
        if text in real.data:
            problems.append(f"the real DLL holds the simulator's text {text.decode()!r}")
        if text not in simulated.data:
            problems.append(f"the simulated DLL lacks the simulator's text {text.decode()!r}: the search proves nothing")
    real_name, real_exports = real.exports()
    sim_name, sim_exports = simulated.exports()
    if real_name != sim_name:
        problems.append(f"export DLL names differ: {real_name!r} and {sim_name!r}")
    if not real_exports:
        problems.append("the real DLL exports nothing")
    for name in sorted(set(real_exports) - set(sim_exports)):
        problems.append(f"only the real DLL exports {name}")
    for name in sorted(set(sim_exports) - set(real_exports)):
        problems.append(f"only the simulated DLL exports {name}")
    real_res, sim_res = real.resources(), simulated.resources()
    if not any(key[0] == 16 for key in real_res):
        problems.append("the real DLL has no version resource")
    if not any(key[0] == 14 for key in real_res):
        problems.append("the real DLL has no icon group")
    for key in sorted(set(real_res) | set(sim_res), key=str):
        if real_res.get(key) != sim_res.get(key):
            problems.append(f"resource {key} differs between the flavours")
    for problem in problems:
        print(problem)
    print(f"{len(real_exports)} exports and {len(real_res)} resources compared; "
          f"{'no difference' if not problems else f'{len(problems)} problems'}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
