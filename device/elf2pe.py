#!/usr/bin/python3
"""Turns the linked ELF of Tamblin (device/tamblin.ld, ld.lld --emit-relocs) into Tamblin.exe, the
PE32 file that a Windows CE 5.0 ARM device loads, the way boot loaders turn their ELF into PE:

  elf2pe.py [--resources RES] tamblin.elf Tamblin.exe     convert
  elf2pe.py --size Tamblin.exe      the file's size, its version and each section's size

The ELF's output sections become the file's sections (.text, .rdata, .data with .bss as its
uninitialised tail, .idata); every absolute address in them (R_ARM_ABS32) gets a HIGHLOW base
relocation; the import address table that the link laid out (one __imp_<name> slot per import)
gets its import directory and names; the resources of a compiled resource file (RES, as llvm-rc
or the platform's rc writes it: the version resource of device/tamblin.rc) become the .rsrc
section with its directory. Anything the conversion cannot carry over faithfully is refused with
the reason: a loaded section it does not know, static constructors, a relocation type that is
neither absolute nor PC-relative, an address outside the image, a resource file it cannot read.
"""
import struct
import sys

from elftools.elf.elffile import ELFFile
from elftools.elf.relocation import RelocationSection

IMAGE_BASE = 0x00010000
SECTION_ALIGNMENT = 0x1000
FILE_ALIGNMENT = 0x200
# ARM code that interworks: every return is a `bx lr` or a load into pc, which on ARMv5 switches
# to Thumb when bit 0 is set, and the import thunks jump with `ldr pc`. That is the platform's
# ARMV4I kind (Thumb interworking), whose machine value is 0x01C2; 0x01C0 is plain ARM code that
# does not interwork.
MACHINE_ARMV4I = 0x01C2
SUBSYSTEM_WINDOWS_CE_GUI = 9
SUBSYSTEM_VERSION = (5, 0)  # Windows CE 5.0
DLL_NAME = b"COREDLL.dll"

SCN_CNT_CODE = 0x00000020
SCN_CNT_INITIALIZED_DATA = 0x00000040
SCN_MEM_DISCARDABLE = 0x02000000
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_READ = 0x40000000
SCN_MEM_WRITE = 0x80000000

# The file's sections, from the ELF's output sections of the same layout (device/tamblin.ld).
SECTIONS = [
    (".text", [".text"], SCN_CNT_CODE | SCN_MEM_EXECUTE | SCN_MEM_READ),
    (".rdata", [".rdata"], SCN_CNT_INITIALIZED_DATA | SCN_MEM_READ),
    (".data", [".data", ".bss"], SCN_CNT_INITIALIZED_DATA | SCN_MEM_READ | SCN_MEM_WRITE),
    (".idata", [".idata"], SCN_CNT_INITIALIZED_DATA | SCN_MEM_READ | SCN_MEM_WRITE),
]
RELOC_CHARACTERISTICS = SCN_CNT_INITIALIZED_DATA | SCN_MEM_DISCARDABLE | SCN_MEM_READ
RSRC_CHARACTERISTICS = SCN_CNT_INITIALIZED_DATA | SCN_MEM_READ

R_ARM_ABS32 = 2
# Relocations that the link resolved relative to the place itself: nothing moves them at load time.
PC_RELATIVE = {0: "R_ARM_NONE", 1: "R_ARM_PC24", 3: "R_ARM_REL32", 28: "R_ARM_CALL", 29: "R_ARM_JUMP24",
               40: "R_ARM_V4BX", 42: "R_ARM_PREL31"}
IMAGE_REL_BASED_ABSOLUTE = 0
IMAGE_REL_BASED_HIGHLOW = 3

IMPORT_SLOT_PREFIX = "__imp_"
DIR_IMPORT, DIR_RESOURCE, DIR_BASERELOC, DIR_IAT = 1, 2, 5, 12
RT_VERSION = 16
# What the file was meant to stay within (make size says whether it does).
SIZE_TARGET = 20 * 1024


class ConversionError(Exception):
    pass


def align(value, to):
    return (value + to - 1) & ~(to - 1)


class Section:
    def __init__(self, name, characteristics, va):
        self.name = name
        self.characteristics = characteristics
        self.va = va
        self.data = bytearray()  # what the file carries
        self.virtual_size = 0    # what the loader maps, zero-filled past the data

    @property
    def rva(self):
        return self.va - IMAGE_BASE


def load_sections(elf):
    by_name = {s.name: s for s in elf.iter_sections()}
    known = {member for _, members, _ in SECTIONS for member in members}
    for s in elf.iter_sections():
        if not (s["sh_flags"] & 0x2) or s["sh_size"] == 0:  # SHF_ALLOC
            continue
        if s.name == ".init_array":
            raise ConversionError("the image has static constructors (.init_array), which need a C run-time's "
                                  "start-up that this program does without")
        if s.name not in known:
            raise ConversionError(f"loaded section {s.name} has no place in the file's layout")
    sections = []
    for name, members, characteristics in SECTIONS:
        present = [by_name[m] for m in members if m in by_name and by_name[m]["sh_size"] > 0]
        if not present:
            continue
        start = present[0]["sh_addr"]
        if start % SECTION_ALIGNMENT or start < IMAGE_BASE + SECTION_ALIGNMENT:
            raise ConversionError(f"{name} starts at {start:#x}, not on a page of the image")
        sec = Section(name, characteristics, start)
        for s in present:
            offset = s["sh_addr"] - start
            if offset < sec.virtual_size:
                raise ConversionError(f"{s.name} overlaps the section before it")
            if s["sh_type"] == "SHT_NOBITS":
                sec.virtual_size = offset + s["sh_size"]
                continue
            if len(sec.data) < sec.virtual_size:
                raise ConversionError(f"{s.name} follows uninitialised data in {name}")
            sec.data += bytes(offset - len(sec.data)) + s.data()
            sec.virtual_size = len(sec.data)
        sections.append(sec)
    for a, b in zip(sections, sections[1:]):
        if a.va + a.virtual_size > b.va:
            raise ConversionError(f"{a.name} runs into {b.name}")
    return sections


def section_at(sections, va, with_data=True):
    for sec in sections:
        end = sec.va + (len(sec.data) if with_data else sec.virtual_size)
        if sec.va <= va < end:
            return sec
    return None


def word_at(sections, va):
    sec = section_at(sections, va)
    if sec is None or va + 4 > sec.va + len(sec.data):
        raise ConversionError(f"relocated word at {va:#x} lies outside the file's data")
    return struct.unpack_from("<I", sec.data, va - sec.va)[0]


def base_relocations(elf, sections, image_end):
    symtab = elf.get_section_by_name(".symtab")
    places = set()
    for rel in elf.iter_sections():
        if not isinstance(rel, RelocationSection):
            continue
        target = elf.get_section(rel["sh_info"])
        if not (target["sh_flags"] & 0x2):  # relocations of debug sections: nothing is loaded
            continue
        if rel.is_RELA():
            raise ConversionError(f"{rel.name}: RELA relocations are not expected from an ARM link")
        for r in rel.iter_relocations():
            kind = r["r_info_type"]
            if kind in PC_RELATIVE:
                continue
            if kind != R_ARM_ABS32:
                raise ConversionError(f"relocation type {kind} at {r['r_offset']:#x} is neither an absolute "
                                      "word nor PC-relative: the file cannot carry it")
            sym = symtab.get_symbol(r["r_info_sym"])
            if sym["st_shndx"] == "SHN_ABS":
                continue  # a constant, not an address
            if sym["st_shndx"] == "SHN_UNDEF":
                raise ConversionError(f"absolute reference to undefined symbol {sym.name} at {r['r_offset']:#x}")
            va = r["r_offset"]
            value = word_at(sections, va)
            if not IMAGE_BASE <= value < image_end:
                raise ConversionError(f"the address {value:#x} at {va:#x} (symbol {sym.name}) is outside the image")
            places.add(va - IMAGE_BASE)
    return sorted(places)


def reloc_blocks(rvas):
    blocks = bytearray()
    pages = {}
    for rva in rvas:
        pages.setdefault(rva & ~0xFFF, []).append(rva & 0xFFF)
    for page in sorted(pages):
        entries = [(IMAGE_REL_BASED_HIGHLOW << 12) | off for off in pages[page]]
        if len(entries) % 2:
            entries.append(IMAGE_REL_BASED_ABSOLUTE << 12)  # pads the block to a 4-byte boundary
        blocks += struct.pack("<II", page, 8 + 2 * len(entries))
        blocks += struct.pack(f"<{len(entries)}H", *entries)
    return bytes(blocks)


def add_imports(elf, sections):
    """Fills the import address table that the link laid out and appends the import directory, the
    lookup table and the names to .idata. Returns (directory RVA, directory size, IAT RVA, IAT size)."""
    symtab = elf.get_section_by_name(".symtab")
    slots = {}
    iat_start = None
    for sym in symtab.iter_symbols():
        if sym.name == "__iat_start":
            iat_start = sym["st_value"]
        elif sym.name.startswith(IMPORT_SLOT_PREFIX) and sym["st_shndx"] != "SHN_UNDEF":
            slots[sym.name[len(IMPORT_SLOT_PREFIX):]] = sym["st_value"]
    idata = next((s for s in sections if s.name == ".idata"), None)
    if not slots or idata is None or iat_start != idata.va:
        raise ConversionError("no import address table at the start of .idata")
    names = sorted(slots, key=lambda n: slots[n])
    for i, name in enumerate(names):
        if slots[name] != iat_start + 4 * i:
            raise ConversionError(f"import slot of {name} is not in its place in the table")
    iat_size = 4 * (len(names) + 1)
    if len(idata.data) != iat_size or any(idata.data):
        raise ConversionError(".idata holds more than the import address table and its null slot")

    base = idata.va + iat_size
    directory = base
    lookup = directory + 2 * 20
    hint_names = lookup + iat_size
    tail = bytearray()
    rvas = []
    for name in names:
        rvas.append(hint_names + len(tail) - IMAGE_BASE)
        # The hint is only where a loader starts its search of the export names; 0 is always valid.
        entry = struct.pack("<H", 0) + name.encode("ascii") + b"\0"
        tail += entry + (b"\0" if len(entry) % 2 else b"")
    dll_name = hint_names + len(tail)
    tail += DLL_NAME + b"\0"
    lookup_table = struct.pack(f"<{len(names) + 1}I", *rvas, 0)
    descriptor = struct.pack("<IIIII", lookup - IMAGE_BASE, 0, 0, dll_name - IMAGE_BASE, idata.rva)
    # The table holds what the lookup table holds until the loader binds it.
    idata.data[0:iat_size] = lookup_table
    idata.data += descriptor + bytes(20) + lookup_table + tail
    idata.virtual_size = len(idata.data)
    return directory - IMAGE_BASE, 2 * 20, idata.rva, iat_size


def read_res(path):
    """The resources of a compiled resource file, [(type, name, language, data)], type and name
    each a number or a string. Every resource is a header (data size, header size, type, name,
    then data version, memory flags, language, version, characteristics) and its data, each on
    a 4-byte boundary; the file opens with an empty resource that marks the format."""
    with open(path, "rb") as f:
        raw = f.read()

    def ident(header, at):
        if at + 4 <= len(header) and struct.unpack_from("<H", header, at)[0] == 0xFFFF:
            return struct.unpack_from("<H", header, at + 2)[0], at + 4
        end = at
        while header[end:end + 2] != b"\0\0":
            if end + 2 > len(header):
                raise ConversionError(f"{path}: a resource's name runs off its header")
            end += 2
        return header[at:end].decode("utf-16-le"), end + 2

    resources = []
    seen = set()
    pos = 0
    while pos < len(raw):
        if pos + 8 > len(raw):
            raise ConversionError(f"{path}: a resource header runs off the file at {pos:#x}")
        data_size, header_size = struct.unpack_from("<II", raw, pos)
        if header_size < 32:
            raise ConversionError(f"{path}: the resource header at {pos:#x} is shorter than its fixed fields")
        if pos + header_size + data_size > len(raw):
            raise ConversionError(f"{path}: the resource at {pos:#x} runs off the file")
        header = raw[pos:pos + header_size]
        kind, at = ident(header, 8)
        name, at = ident(header, at)
        at = align(at, 4)
        if at + 16 > header_size:
            raise ConversionError(f"{path}: the resource header at {pos:#x} is cut short")
        language = struct.unpack_from("<H", header, at + 6)[0]
        if (kind, name, data_size) != (0, 0, 0):
            if (kind, name, language) in seen:
                raise ConversionError(f"{path}: resource {kind}/{name} in language {language:#06x} twice")
            seen.add((kind, name, language))
            resources.append((kind, name, language, raw[pos + header_size:pos + header_size + data_size]))
        pos = align(pos + header_size + data_size, 4)
    return resources


def resource_section(resources, va):
    """The .rsrc section's data at va: the directory of types, their names and the names'
    languages that the platform's loader walks (named entries first, in name order, then numbered
    ones in ascending order), then the data entries, the names and the data."""
    tree = {}
    for kind, name, language, data in resources:
        tree.setdefault(kind, {}).setdefault(name, {})[language] = data

    def ordered(keys):
        named = sorted((k for k in keys if isinstance(k, str)), key=lambda k: (k.upper(), k))
        return named + sorted(k for k in keys if not isinstance(k, str))

    def table_size(entries):
        return 16 + 8 * len(entries)

    offset = table_size(tree)
    type_tables, name_tables, data_entries, strings, data_at = {}, {}, {}, {}, {}
    for kind in ordered(tree):
        type_tables[kind] = offset
        offset += table_size(tree[kind])
    for kind in ordered(tree):
        for name in ordered(tree[kind]):
            name_tables[kind, name] = offset
            offset += table_size(tree[kind][name])
    leaves = [(k, n, lang) for k in ordered(tree) for n in ordered(tree[k]) for lang in sorted(tree[k][n])]
    for leaf in leaves:
        data_entries[leaf] = offset
        offset += 16
    for key in [k for k in tree] + [n for k in tree for n in tree[k]]:
        if isinstance(key, str) and key not in strings:
            strings[key] = offset
            offset += 2 + len(key.encode("utf-16-le"))
    offset = align(offset, 8)
    for leaf in leaves:
        data_at[leaf] = offset
        offset = align(offset + len(tree[leaf[0]][leaf[1]][leaf[2]]), 8)

    out = bytearray(offset)

    def table(at, keys, target):
        named = sum(isinstance(k, str) for k in keys)
        struct.pack_into("<IIHHHH", out, at, 0, 0, 0, 0, named, len(keys) - named)  # no time stamp
        for i, key in enumerate(keys):
            entry = 0x80000000 | strings[key] if isinstance(key, str) else key
            struct.pack_into("<II", out, at + 16 + 8 * i, entry, target(key))

    table(0, ordered(tree), lambda k: 0x80000000 | type_tables[k])
    for kind in ordered(tree):
        table(type_tables[kind], ordered(tree[kind]), lambda n, k=kind: 0x80000000 | name_tables[k, n])
        for name in ordered(tree[kind]):
            table(name_tables[kind, name], sorted(tree[kind][name]),
                  lambda lang, k=kind, n=name: data_entries[k, n, lang])
    for key, at in strings.items():
        encoded = key.encode("utf-16-le")
        struct.pack_into(f"<H{len(encoded)}s", out, at, len(encoded) // 2, encoded)
    for leaf in leaves:
        data = tree[leaf[0]][leaf[1]][leaf[2]]
        # The data's place is an RVA; no base relocation touches it.
        struct.pack_into("<IIII", out, data_entries[leaf], va - IMAGE_BASE + data_at[leaf], len(data), 0, 0)
        out[data_at[leaf]:data_at[leaf] + len(data)] = data
    return bytes(out)


def checksum(image, field_offset):
    total = 0
    data = bytes(image[:field_offset]) + bytes(4) + bytes(image[field_offset + 4:])
    if len(data) % 2:
        data += b"\0"
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(image)) & 0xFFFFFFFF


def convert(elf_path, exe_path, res_path=None):
    with open(elf_path, "rb") as f:
        elf = ELFFile(f)
        if elf["e_machine"] != "EM_ARM" or elf.elfclass != 32 or not elf.little_endian:
            raise ConversionError("not a 32-bit little-endian ARM ELF file")
        if elf["e_type"] != "ET_EXEC":
            raise ConversionError("not a linked executable")
        entry = elf["e_entry"]
        sections = load_sections(elf)
        import_dir, import_dir_size, iat_rva, iat_size = add_imports(elf, sections)
        image_end = IMAGE_BASE + align(sections[-1].rva + sections[-1].virtual_size, SECTION_ALIGNMENT)
        relocations = base_relocations(elf, sections, image_end)
    if not section_at([s for s in sections if s.name == ".text"], entry):
        raise ConversionError(f"entry point {entry:#x} is not in .text")

    directories = [(0, 0)] * 16
    if res_path:
        rsrc = Section(".rsrc", RSRC_CHARACTERISTICS, image_end)
        rsrc.data = bytearray(resource_section(read_res(res_path), rsrc.va))
        rsrc.virtual_size = len(rsrc.data)
        sections.append(rsrc)
        directories[DIR_RESOURCE] = (rsrc.rva, rsrc.virtual_size)
        image_end = align(rsrc.va + rsrc.virtual_size, SECTION_ALIGNMENT)

    reloc = Section(".reloc", RELOC_CHARACTERISTICS, image_end)
    reloc.data = bytearray(reloc_blocks(relocations))
    reloc.virtual_size = len(reloc.data)
    sections.append(reloc)

    header_size = 0x40 + 4 + 20 + 224 + 40 * len(sections)
    size_of_headers = align(header_size, FILE_ALIGNMENT)
    offset = size_of_headers
    for sec in sections:
        sec.raw_offset = offset
        sec.raw_size = align(len(sec.data), FILE_ALIGNMENT)
        offset += sec.raw_size
    size_of_image = align(reloc.rva + reloc.virtual_size, SECTION_ALIGNMENT)
    code = [s for s in sections if s.characteristics & SCN_CNT_CODE]
    data = [s for s in sections if not s.characteristics & SCN_CNT_CODE]

    image = bytearray(offset)
    # DOS header: only its signature and the offset of the PE header matter to a loader.
    struct.pack_into("<2s58xI", image, 0, b"MZ", 0x40)
    pe = 0x40
    struct.pack_into("<4sHHIIIHH", image, pe, b"PE\0\0", MACHINE_ARMV4I, len(sections), 0, 0, 0, 224,
                     0x0002 | 0x0100)  # executable image, 32-bit machine; relocations kept
    opt = pe + 24
    directories[DIR_IMPORT] = (import_dir, import_dir_size)
    directories[DIR_BASERELOC] = (reloc.rva, reloc.virtual_size)
    directories[DIR_IAT] = (iat_rva, iat_size)
    struct.pack_into("<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII", image, opt,
                     0x10B, 14, 0,  # PE32; the linker's version (ld.lld 14)
                     sum(s.raw_size for s in code), sum(s.raw_size for s in data), 0,
                     entry - IMAGE_BASE, code[0].rva, data[0].rva, IMAGE_BASE,
                     SECTION_ALIGNMENT, FILE_ALIGNMENT,
                     SUBSYSTEM_VERSION[0], SUBSYSTEM_VERSION[1],  # operating system version
                     0, 0,  # image version
                     SUBSYSTEM_VERSION[0], SUBSYSTEM_VERSION[1],
                     0, size_of_image, size_of_headers, 0,  # checksum filled in below
                     SUBSYSTEM_WINDOWS_CE_GUI, 0,
                     0x10000, 0x1000, 0x100000, 0x1000,  # stack and heap: reserve, commit
                     0, 16)
    for i, (rva, size) in enumerate(directories):
        struct.pack_into("<II", image, opt + 96 + 8 * i, rva, size)
    table = opt + 224
    for i, sec in enumerate(sections):
        struct.pack_into("<8sIIIIIIHHI", image, table + 40 * i, sec.name.encode("ascii"), sec.virtual_size,
                         sec.rva, sec.raw_size, sec.raw_offset, 0, 0, 0, 0, sec.characteristics)
        image[sec.raw_offset:sec.raw_offset + len(sec.data)] = sec.data
    checksum_offset = opt + 64
    struct.pack_into("<I", image, checksum_offset, checksum(image, checksum_offset))
    with open(exe_path, "wb") as f:
        f.write(image)


def read_version(image, sections):
    """The version resource's four numbers and its FileVersion text, or None without one."""
    rva = struct.unpack_from("<I", image, 0x3C)[0] + 24 + 96 + 8 * DIR_RESOURCE
    rva = struct.unpack_from("<I", image, rva)[0]
    if not rva:
        return None

    def at(where):
        for _, _, va, raw_size, raw_offset in sections:
            if va <= where < va + raw_size:
                return raw_offset + where - va
        raise ConversionError(f"the resources point outside the file's sections ({where:#x})")

    base = at(rva)

    def entry(table, ident=None):
        named, numbered = struct.unpack_from("<HH", image, base + table + 12)
        for i in range(named + numbered):
            key, target = struct.unpack_from("<II", image, base + table + 16 + 8 * i)
            if ident is None or key == ident:
                return target & 0x7FFFFFFF
        return None

    kind = entry(0, RT_VERSION)
    if kind is None:
        return None
    data_rva, size = struct.unpack_from("<II", image, base + entry(entry(kind)))
    data = image[at(data_rva):at(data_rva) + size]

    # Each block: its length, its value's length, its type (1: text), its key, its value and the
    # blocks inside it, each on a 4-byte boundary.
    def block(pos):
        length, value_length, text = struct.unpack_from("<HHH", data, pos)
        if length < 6 or pos + length > len(data):
            raise ConversionError("the version resource is damaged")
        key_end = pos + 6
        while data[key_end:key_end + 2] != b"\0\0" and key_end < pos + length:
            key_end += 2
        value_at = align(key_end + 2, 4)
        value = data[value_at:value_at + (2 * value_length if text else value_length)]
        children, child = [], align(value_at + len(value), 4)
        while child < pos + length:
            children.append(block(child))
            child = align(child + struct.unpack_from("<H", data, child)[0], 4)
        return data[pos + 6:key_end].decode("utf-16-le"), value, children

    _, fixed, children = block(0)
    ms, ls = struct.unpack_from("<II", fixed, 8)
    numbers = f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
    text = "(no FileVersion)"
    string_tables = [t for key, _, tables in children if key == "StringFileInfo" for t in tables]
    for _, _, strings in string_tables:
        for name, value, _ in strings:
            if name == "FileVersion":
                text = value.decode("utf-16-le").rstrip("\0")
    return numbers, text


def print_size(exe_path):
    with open(exe_path, "rb") as f:
        image = f.read()
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    count = struct.unpack_from("<H", image, pe + 6)[0]
    optional_size = struct.unpack_from("<H", image, pe + 20)[0]
    table = pe + 24 + optional_size
    sections = [struct.unpack_from("<8sIIII", image, table + 40 * i) for i in range(count)]
    version = read_version(image, sections)
    print(f"{exe_path}: {len(image)} bytes ({len(image) / 1024:.1f} KB), "
          + (f"version {version[1]} (file version {version[0]})" if version else "no version resource"))
    print(f"  {'section':8} {'in memory':>10} {'in the file':>12}")
    headers = struct.unpack_from("<I", image, pe + 24 + 60)[0]
    print(f"  {'headers':8} {'':>10} {headers:>12}")
    for name, vsize, _, raw_size, _ in sections:
        name = name.rstrip(b"\0").decode()
        print(f"  {name:8} {vsize:>10} {raw_size:>12}")
    over = len(image) - SIZE_TARGET
    if over > 0:
        print(f"Over the 20 KB target: {len(image)} bytes is {over} bytes ({over / 1024:.1f} KB) more than {SIZE_TARGET}.")
    else:
        print(f"Within the 20 KB target ({SIZE_TARGET} bytes): {-over} bytes to spare.")


def main(argv):
    args = argv[1:]
    resources = None
    if len(args) == 4 and args[0] == "--resources":
        resources, args = args[1], args[2:]
    if len(args) != 2:
        print(__doc__.strip().splitlines()[0], file=sys.stderr)
        print("usage: elf2pe.py [--resources RES] ELF EXE | elf2pe.py --size EXE", file=sys.stderr)
        return 2
    try:
        if args[0] == "--size":
            print_size(args[1])
        else:
            convert(args[0], args[1], resources)
    except ConversionError as e:
        print(f"elf2pe.py: {args[1] if args[0] == '--size' else args[0]}: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
