#!/usr/bin/python3
"""Checks a linked fwrelay.sys as a driver engineer would before loading it on a machine.

Reads the PE image itself, its map file, and the COFF objects it was linked from (for the
relocations, which the image no longer names). Every failed check prints one line naming the
image, the check and what is wrong; the exit status is 1 if any check failed.

Usage: check_image.py --arch arm64|x64 --config debug|release --image fwrelay.sys --map fwrelay.map
                      --placement placement.txt --def ntoskrnl.def --def wdfldr.def
                      [--debug-map OTHER.map ...] OBJ...
--debug-map names the Debug images' maps, against which a placement row never seen is stale.
"""

import argparse
import os
import re
import struct
import subprocess
import sys

MACHINES = {"arm64": 0xAA64, "x64": 0x8664}
PE32_PLUS = 0x20B
FILE_RELOCS_STRIPPED = 0x0001
FILE_EXECUTABLE_IMAGE = 0x0002
FILE_DLL = 0x2000
SUBSYSTEM_NATIVE = 1
DLL_DYNAMIC_BASE = 0x0040
DLL_NX_COMPAT = 0x0100
SCN_CNT_CODE = 0x00000020
SCN_MEM_DISCARDABLE = 0x02000000
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_READ = 0x40000000
SCN_MEM_WRITE = 0x80000000
PAGE_SIZE = 0x1000
DIR_EXPORT, DIR_IMPORT, DIR_EXCEPTION, DIR_BASERELOC = 0, 1, 3, 5
# Relocation types that are a direct branch, not an address taken.
ARM64_BRANCH_RELOCS = {0x3, 0xF, 0x10}  # BRANCH26, BRANCH19, BRANCH14
AMD64_REL32 = 0x4
AMD64_CALL_JMP_OPCODES = {0xE8, 0xE9}
# Sections whose relocations describe code rather than run as it.
UNWIND_AND_DEBUG = re.compile(r"^(\.pdata|\.xdata|\.debug\$.*|\.llvm_addrsig)$")

RESIDENT = ".text"


class Section:
    def __init__(self, name, vsize, rva, rawsize, rawptr, flags):
        self.name, self.vsize, self.rva, self.rawsize, self.rawptr, self.flags = name, vsize, rva, rawsize, rawptr, flags

    def contains(self, rva):
        return self.rva <= rva < self.rva + max(self.vsize, self.rawsize)


class Image:
    def __init__(self, path):
        self.data = data = open(path, "rb").read()
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe : pe + 4] != b"PE\0\0":
            raise ValueError(f"{path}: not a PE image")
        (self.machine, nsections, _, _, _, optsize, self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", data, opt)[0]
        self.entry = struct.unpack_from("<I", data, opt + 16)[0]
        self.image_base = struct.unpack_from("<Q", data, opt + 24)[0]
        self.section_alignment = struct.unpack_from("<I", data, opt + 32)[0]
        self.subsystem_version = struct.unpack_from("<HH", data, opt + 48)
        self.checksum_offset = opt + 64
        self.checksum = struct.unpack_from("<I", data, opt + 64)[0]
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", data, opt + 68)
        ndirs = struct.unpack_from("<I", data, opt + 108)[0]
        self.dirs = [struct.unpack_from("<II", data, opt + 112 + 8 * i) for i in range(ndirs)]
        self.sections = []
        for i in range(nsections):
            raw = struct.unpack_from("<8sIIIIIIHHI", data, opt + optsize + 40 * i)
            name = raw[0].rstrip(b"\0").decode()
            self.sections.append(Section(name, raw[1], raw[2], raw[3], raw[4], raw[9]))

    def directory(self, index):
        return self.dirs[index] if index < len(self.dirs) else (0, 0)

    def section_of(self, rva):
        return next((s for s in self.sections if s.contains(rva)), None)

    def offset(self, rva):
        s = self.section_of(rva)
        if s is None:
            raise ValueError(f"RVA {rva:#x} is in no section")
        return s.rawptr + rva - s.rva

    def cstring(self, rva):
        start = self.offset(rva)
        return self.data[start : self.data.index(b"\0", start)].decode()

    def imports(self):
        """{dll: [names]}; an import by ordinal shows as '#N'."""
        rva, size = self.directory(DIR_IMPORT)
        result = {}
        while size:
            original, _, _, name, first = struct.unpack_from("<IIIII", self.data, self.offset(rva))
            if not (original or name or first):
                break
            names = result.setdefault(self.cstring(name), [])
            thunk = original or first
            while True:
                value = struct.unpack_from("<Q", self.data, self.offset(thunk))[0]
                if not value:
                    break
                names.append(f"#{value & 0xFFFF}" if value >> 63 else self.cstring((value & 0x7FFFFFFF) + 2))
                thunk += 8
            rva += 20
        return result

    def unwind_starts(self):
        """The function ranges the exception directory covers: [(begin, end or None)]."""
        rva, size = self.directory(DIR_EXCEPTION)
        entries = []
        if self.machine == MACHINES["x64"]:
            for i in range(size // 12):
                begin, end, _ = struct.unpack_from("<III", self.data, self.offset(rva + 12 * i))
                entries.append((begin, end))
        else:
            for i in range(size // 8):
                begin, _ = struct.unpack_from("<II", self.data, self.offset(rva + 8 * i))
                entries.append((begin, None))
        return entries

    def computed_checksum(self):
        data = self.data + (b"\0" if len(self.data) % 2 else b"")
        total = 0
        skip = (self.checksum_offset, self.checksum_offset + 2)
        for i, (word,) in enumerate(struct.iter_unpack("<H", data)):
            if 2 * i in skip:
                continue
            total += word
            total = (total & 0xFFFF) + (total >> 16)
        return ((total & 0xFFFF) + (total >> 16)) + len(self.data)


class CoffObject:
    """Sections, symbols and relocations of one COFF object."""

    def __init__(self, path):
        self.path = path
        self.name = os.path.basename(path)
        data = open(path, "rb").read()
        self.machine, nsections, _, symptr, nsyms, optsize, _ = struct.unpack_from("<HHIIIHH", data, 0)
        strtab = symptr + 18 * nsyms

        def long_name(offset):
            start = strtab + offset
            return data[start : data.index(b"\0", start)].decode()

        self.sections = []  # (name, flags, raw bytes, [(offset, symbol index, type)])
        for i in range(nsections):
            raw = struct.unpack_from("<8sIIIIIIHHI", data, 20 + optsize + 40 * i)
            name = raw[0].rstrip(b"\0").decode()
            if name.startswith("/"):
                name = long_name(int(name[1:]))
            body = data[raw[4] : raw[4] + raw[3]] if raw[4] else b""
            relocs = [struct.unpack_from("<IIH", data, raw[5] + 10 * r) for r in range(raw[7])]
            self.sections.append((name, raw[9], body, relocs))
        self.symbols = {}  # index -> (name, section number, type, storage class)
        i = 0
        while i < nsyms:
            raw = struct.unpack_from("<8sIhHBB", data, symptr + 18 * i)
            if raw[0][:4] == b"\0\0\0\0":
                name = long_name(struct.unpack_from("<I", raw[0], 4)[0])
            else:
                name = raw[0].rstrip(b"\0").decode()
            self.symbols[i] = (name, raw[2], raw[3], raw[4])
            i += 1 + raw[5]

    def section_name(self, number):
        return self.sections[number - 1][0] if number > 0 else None


def plain_name(symbol):
    """The function's own name from a map or object symbol (C names as they are, C++ from the
    MSVC decoration: ?Name@@...)."""
    if symbol.startswith("?") and not symbol.startswith("??"):
        return symbol[1:].split("@", 1)[0]
    return symbol


def read_map(path, image):
    """[(rva, name, object)] for every symbol the map lists, publics and statics alike."""
    line_re = re.compile(r"^\s*([0-9a-f]{4}):([0-9a-f]{8})\s+(\S+)\s+([0-9a-f]{16})\s+(\S+)\s*$")
    symbols = []
    for line in open(path, encoding="utf-8", errors="replace"):
        m = line_re.match(line)
        if m:
            symbols.append((int(m.group(4), 16) - image.image_base, m.group(3), m.group(5)))
    return symbols


def read_table(path):
    table = {}
    for line in open(path, encoding="utf-8"):
        fields = line.split("#", 1)[0].split()
        if fields:
            table[fields[0]] = fields[1]
    return table


def read_def(path):
    """(dll, {name: tags}) from a .def file; tags after ';' name the images a name is for."""
    dll, names = None, {}
    for line in open(path, encoding="utf-8"):
        body, _, comment = line.partition(";")
        fields = body.split()
        if not fields or fields[0] == "EXPORTS":
            continue
        if fields[0] == "LIBRARY":
            dll = fields[1]
        else:
            tag = comment.split(":", 1)[0].strip() if ":" in comment else ""
            names[fields[0]] = tag
    return dll, names


def wanted(tag, arch, config):
    return tag in ("", config, f"{arch}-{config}")


def flags_text(flags):
    return "".join(c if flags & f else "-" for c, f in (("R", SCN_MEM_READ), ("W", SCN_MEM_WRITE), ("X", SCN_MEM_EXECUTE), ("D", SCN_MEM_DISCARDABLE)))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--arch", required=True, choices=sorted(MACHINES))
    ap.add_argument("--config", required=True, choices=("debug", "release"))
    ap.add_argument("--image", required=True)
    ap.add_argument("--map", required=True)
    ap.add_argument("--placement", required=True)
    ap.add_argument("--def", dest="defs", action="append", required=True)
    ap.add_argument("--debug-map", action="append", default=[])
    ap.add_argument("--objdump", default="llvm-objdump-19")
    ap.add_argument("objects", nargs="+")
    args = ap.parse_args()

    label = f"{args.arch}-{args.config}"
    failures = []

    def fail(check, message):
        failures.append(f"check_image: {label}: {check}: {message}")

    image = Image(args.image)
    objects = [CoffObject(p) for p in args.objects]
    ours = {o.name for o in objects}
    symbols = read_map(args.map, image)
    by_name = {}
    for rva, name, obj in symbols:
        by_name.setdefault(name, (rva, obj))

    # ---- Headers. ----
    if image.machine != MACHINES[args.arch]:
        fail("machine", f"{image.machine:#x}, not {MACHINES[args.arch]:#x}")
    if image.magic != PE32_PLUS:
        fail("format", f"optional header magic {image.magic:#x}, not PE32+")
    if not image.characteristics & FILE_EXECUTABLE_IMAGE or image.characteristics & FILE_DLL:
        fail("kind", f"characteristics {image.characteristics:#x}: want an executable image, not a DLL")
    if image.characteristics & FILE_RELOCS_STRIPPED or not image.directory(DIR_BASERELOC)[1]:
        fail("relocations", "the image has no base relocations: it cannot load at another address")
    if image.subsystem != SUBSYSTEM_NATIVE:
        fail("subsystem", f"{image.subsystem}, not native")
    if image.subsystem_version < (10, 0):
        fail("subsystem version", "%d.%d, below 10.0" % image.subsystem_version)
    for bit, what in ((DLL_NX_COMPAT, "NX_COMPAT"), (DLL_DYNAMIC_BASE, "DYNAMIC_BASE")):
        if not image.dll_characteristics & bit:
            fail("dll characteristics", f"{what} not set")
    entry = by_name.get("FxDriverEntry")
    if entry is None or entry[0] != image.entry:
        fail("entry point", f"{image.entry:#x} is not FxDriverEntry")
    if image.directory(DIR_EXPORT)[1]:
        fail("exports", "the image exports names; a driver exports none")

    # ---- Imports: exactly what the .def files list for this image. ----
    declared = {}
    for path in args.defs:
        dll, names = read_def(path)
        declared[dll.lower()] = (dll, {n for n, tag in names.items() if wanted(tag, args.arch, args.config)})
    for dll, names in image.imports().items():
        if dll.lower() not in declared:
            fail("imports", f"from {dll}, which no .def file lists: {' '.join(sorted(names))}")
            continue
        listed = declared.pop(dll.lower())[1]
        for name in sorted(set(names) - listed):
            fail("imports", f"{dll}!{name} is not listed for {label} in its .def file")
        for name in sorted(listed - set(names)):
            fail("imports", f"{dll}!{name} is listed for {label} but not imported")
    for dll, listed in declared.values():
        fail("imports", f"nothing imported from {dll}, which lists {' '.join(sorted(listed))}")

    # ---- Sections: what memory integrity requires, and INIT and PAGE as the kernel treats them. ----
    if image.section_alignment != PAGE_SIZE:
        fail("alignment", f"section alignment {image.section_alignment:#x}, not a page")
    for s in image.sections:
        f = s.flags
        if s.rva % PAGE_SIZE:
            fail("alignment", f"{s.name} at {s.rva:#x} does not start a page")
        if f & SCN_MEM_WRITE and f & SCN_MEM_EXECUTE:
            fail("sections", f"{s.name} is writable and executable ({flags_text(f)})")
        elif f & SCN_CNT_CODE and f & SCN_MEM_WRITE:
            fail("sections", f"code section {s.name} is writable ({flags_text(f)})")
        elif not f & SCN_CNT_CODE and f & SCN_MEM_EXECUTE:
            fail("sections", f"data section {s.name} is executable ({flags_text(f)})")
    for name, discardable in (("INIT", True), ("PAGE", False)):
        s = next((s for s in image.sections if s.name == name), None)
        want = SCN_MEM_READ | SCN_MEM_EXECUTE | (SCN_MEM_DISCARDABLE if discardable else 0)
        if s is None:
            fail("sections", f"no {name} section")
        elif s.flags & (SCN_MEM_READ | SCN_MEM_WRITE | SCN_MEM_EXECUTE | SCN_MEM_DISCARDABLE) != want:
            fail("sections", f"{name} is {flags_text(s.flags)}, want {flags_text(want)}")

    # ---- Placement: every function of ours where the table puts it. ----
    table = read_table(args.placement)
    functions = []  # (rva, plain name, section)
    for rva, name, obj in symbols:
        s = image.section_of(rva)
        if obj in ours and s is not None and s.flags & SCN_MEM_EXECUTE and not name.startswith("??"):
            functions.append((rva, plain_name(name), s))
    for rva, name, s in functions:
        if name not in table:
            fail("placement", f"{name} is in {s.name} and has no row in {os.path.basename(args.placement)}")
        elif table[name] != s.name:
            fail("placement", f"{name} is in {s.name}, the table puts it in {table[name]}")
    if args.debug_map:
        seen = set()
        for path in args.debug_map:
            seen |= {plain_name(n) for _, n, _ in read_map(path, image)}
        for name in sorted(set(table) - seen):
            fail("placement", f"{name} has a row but is in no Debug image (stale row?)")

    # ---- No INIT address kept, no call into INIT from outside it (from the objects). ----
    init_externals = set()
    for o in objects:
        for name, secnum, _, storage in o.symbols.values():
            if storage == 2 and o.section_name(secnum) == "INIT":
                init_externals.add(name)
    reported = set()  # an Arm64 address takes two relocations (ADRP, ADD): one line for both
    for o in objects:
        for secname, _, body, relocs in o.sections:
            if UNWIND_AND_DEBUG.match(secname):
                continue
            for offset, index, rtype in relocs:
                target, secnum, _, _ = o.symbols[index]
                in_init = o.section_name(secnum) == "INIT" if secnum > 0 else target in init_externals
                if not in_init:
                    continue
                if o.machine == MACHINES["arm64"]:
                    branch = rtype in ARM64_BRANCH_RELOCS
                else:
                    branch = rtype == AMD64_REL32 and offset > 0 and body[offset - 1] in AMD64_CALL_JMP_OPCODES
                what = plain_name(target)
                if (what, o.name, secname, branch) in reported:
                    continue
                reported.add((what, o.name, secname, branch))
                if not branch:
                    fail("INIT references", f"the address of {what} (INIT) is taken in {o.name} {secname}+{offset:#x}")
                elif secname != "INIT":
                    fail("INIT references", f"{o.name} {secname}+{offset:#x} calls {what}, which is in INIT")

    # ---- The framework's table pointer and globals: writable, resident, never executable. ----
    for name in ("WdfFunctions_01015", "WdfDriverGlobals"):
        found = by_name.get(name)
        s = image.section_of(found[0]) if found else None
        if s is None:
            fail("framework data", f"{name} not found in the map")
        elif not s.flags & SCN_MEM_WRITE or s.flags & (SCN_MEM_EXECUTE | SCN_MEM_DISCARDABLE) or s.name.startswith("PAGE"):
            fail("framework data", f"{name} is in {s.name} ({flags_text(s.flags)}): want writable, resident data")

    # ---- Unwind data for every function that makes a call. ----
    listing = subprocess.run([args.objdump, "-d", "--no-show-raw-insn", args.image], check=True, capture_output=True, text=True).stdout
    insn_re = re.compile(r"^\s*([0-9a-f]+):\s+(\S+)")
    calls = []
    for line in listing.splitlines():
        m = insn_re.match(line)
        if m and m.group(2) in ("bl", "blr", "call", "callq"):
            calls.append(int(m.group(1), 16) - image.image_base)
    starts = sorted({rva for rva, _, _ in symbols} | {s.rva + s.vsize for s in image.sections})
    unwind = image.unwind_starts()
    for rva, name, s in functions:
        end = next(x for x in starts if x > rva)
        if not any(rva <= c < end for c in calls):
            continue
        if not any(begin == rva or (stop is not None and begin <= rva < stop) for begin, stop in unwind):
            fail("unwind", f"{name} makes calls and has no entry in the exception directory")
    if not image.directory(DIR_EXCEPTION)[1]:
        fail("unwind", "no exception directory")

    # ---- Checksum. ----
    computed = image.computed_checksum()
    if image.checksum != computed:
        fail("checksum", f"header says {image.checksum:#x}, the file sums to {computed:#x}")

    for line in failures:
        print(line, file=sys.stderr)
    if failures:
        return 1
    print(f"check_image: {label}: ok: {len(functions)} functions placed, {sum(len(n) for n in image.imports().values())} imports, {len(unwind)} unwind entries")
    return 0


if __name__ == "__main__":
    sys.exit(main())
