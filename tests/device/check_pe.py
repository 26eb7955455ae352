#!/usr/bin/python3
"""The structure of Tamblin.exe as an independent reader sees it.

  check_pe.py Tamblin.exe device/coredll_imports.h

llvm-readobj reads the file; the checks hold what a Windows CE 5.0 ARM device needs of it: PE32 for
ARM, subsystem 9 at version 5.00 or lower, image base 0x00010000, section alignment 0x1000, file
alignment 0x200, a valid checksum (python3-pefile computes it), imports by name from COREDLL.dll
only and exactly those of the repository's list, base relocations of the HIGHLOW kind whose every
place and every address lie inside the image, one for each absolute address that the link left in
the loaded code and data (llvm-readelf reads those from the linked ELF beside the file). Prints one
line per check and "N passed, N failed".
"""
import os
import re
import struct
import subprocess

import pefile

from checks import Checks, run

IMAGE_BASE = 0x10000


def readobj(path):
    return subprocess.run(["llvm-readobj", "--file-headers", "--sections", "--coff-imports", "--coff-basereloc", path],
                          check=True, capture_output=True, text=True).stdout


def field(text, name):
    m = re.search(rf"^\s*{name}: (.*)$", text, re.M)
    if not m:
        raise AssertionError(f"llvm-readobj printed no {name}")
    return m.group(1).strip()


def number(text, name):
    value = field(text, name)
    m = re.search(r"\((0x[0-9A-Fa-f]+)\)", value)
    return int(m.group(1), 16) if m else int(value, 0)


def sections_of(text):
    out = []
    for block in re.findall(r"Section \{(.*?)\n  \}", text, re.S):
        out.append({
            "name": re.search(r"Name: (\S+)", block).group(1),
            "va": int(re.search(r"VirtualAddress: (0x[0-9A-F]+)", block).group(1), 16),
            "vsize": int(re.search(r"VirtualSize: (0x[0-9A-F]+)", block).group(1), 16),
            "raw_size": int(re.search(r"RawDataSize: (\d+)", block).group(1)),
            "raw_ptr": int(re.search(r"PointerToRawData: (0x[0-9A-F]+)", block).group(1), 16),
            "flags": set(re.findall(r"(IMAGE_SCN_\w+)", block)),
        })
    return out


def expected_imports(list_path):
    with open(list_path) as f:
        return sorted(re.findall(r"^COREDLL(?:_CRT|_VARIADIC)?_IMPORT\((\w+)", f.read(), re.M))


def abs32_places(elf_path):
    """RVAs of the R_ARM_ABS32 relocations that the link left in the loaded sections."""
    text = subprocess.run(["llvm-readelf", "-r", elf_path], check=True, capture_output=True, text=True).stdout
    places = set()
    section = None
    for line in text.splitlines():
        m = re.match(r"Relocation section '(\S+)'", line)
        if m:
            section = m.group(1)
            continue
        m = re.match(r"([0-9a-f]{8})\s+[0-9a-f]{8}\s+R_ARM_ABS32\s", line)
        if m and section and not section.startswith(".rel.debug"):
            places.add(int(m.group(1), 16) - IMAGE_BASE)
    return places


def main(exe, import_list):
    check = Checks()

    text = readobj(exe)
    with open(exe, "rb") as f:
        data = f.read()
    machine = number(text, "Machine")
    check(machine in (0x1C0, 0x1C2), f"machine {machine:#06x} is ARM (0x01C0) or ARMV4I, ARM with Thumb interworking (0x01C2)")
    check("IMAGE_FILE_RELOCS_STRIPPED" not in text and "IMAGE_FILE_EXECUTABLE_IMAGE" in text,
          "an executable image with its relocations kept")
    check(number(text, "Magic") == 0x10B, "PE32 (optional header magic 0x10B)")
    check(number(text, "Subsystem") == 9, "subsystem 9, Windows CE GUI")
    version = (number(text, "MajorSubsystemVersion"), number(text, "MinorSubsystemVersion"))
    check(version <= (5, 0), f"subsystem version {version[0]}.{version[1]:02d}, at most 5.00")
    check(number(text, "ImageBase") == IMAGE_BASE, "image base 0x00010000")
    check(number(text, "SectionAlignment") == 0x1000, "section alignment 0x1000")
    check(number(text, "FileAlignment") == 0x200, "file alignment 0x200")
    pe = pefile.PE(data=data, fast_load=True)
    check(pe.OPTIONAL_HEADER.CheckSum != 0 and pe.OPTIONAL_HEADER.CheckSum == pe.generate_checksum(),
          f"checksum {pe.OPTIONAL_HEADER.CheckSum:#x} is the file's (pefile computes {pe.generate_checksum():#x})")

    size_of_image = number(text, "SizeOfImage")
    sections = sections_of(text)
    check(len(sections) == number(text, "SectionCount") and sections, f"{len(sections)} sections")
    for s in sections:
        check(s["va"] % 0x1000 == 0 and s["raw_ptr"] % 0x200 == 0 and s["raw_size"] % 0x200 == 0
              and s["va"] + s["vsize"] <= size_of_image and s["raw_ptr"] + s["raw_size"] <= len(data),
              f"section {s['name']} on its page, its data on file-alignment boundaries, inside image and file")
        check(not {"IMAGE_SCN_MEM_WRITE", "IMAGE_SCN_MEM_EXECUTE"} <= s["flags"],
              f"section {s['name']} is not both writable and executable")
    text_section = next((s for s in sections if "IMAGE_SCN_MEM_EXECUTE" in s["flags"]), None)
    entry = number(text, "AddressOfEntryPoint")
    check(text_section is not None and text_section["va"] <= entry < text_section["va"] + text_section["vsize"],
          f"entry point {entry:#x} in the executable section")

    imports = re.findall(r"Import \{(.*?)\n\}", text, re.S)
    dlls = [re.search(r"Name: (\S+)", block).group(1) for block in imports]
    check(dlls == ["COREDLL.dll"], f"imports from COREDLL.dll only ({', '.join(dlls)})")
    symbols = sorted(re.findall(r"Symbol: (\S+)", "".join(imports)))
    expected = expected_imports(import_list)
    check("Ordinal" not in "".join(imports), "every import by name")
    missing, extra = sorted(set(expected) - set(symbols)), sorted(set(symbols) - set(expected))
    check(symbols == expected, f"the {len(symbols)} imports are the list's {len(expected)}"
          + (f"; missing {missing}" if missing else "") + (f"; not in the list {extra}" if extra else ""))

    def word_at(rva):
        for s in sections:
            if s["va"] <= rva and rva + 4 <= s["va"] + min(s["vsize"], s["raw_size"]):
                return struct.unpack_from("<I", data, s["raw_ptr"] + rva - s["va"])[0]
        return None

    entries = re.findall(r"Entry \{\s*Type: (\w+)\s*Address: (0x[0-9A-F]+)", text)
    kinds = {kind for kind, _ in entries}
    places = sorted(int(address, 16) for kind, address in entries if kind == "HIGHLOW")
    check(places and kinds <= {"HIGHLOW", "ABSOLUTE"}, f"{len(places)} base relocations, all HIGHLOW")
    outside = [p for p in places if word_at(p) is None]
    check(not outside, "every relocated word lies in a section's data" + (f"; not: {outside[:5]}" if outside else ""))
    wild = [p for p in places if p not in outside and not IMAGE_BASE <= word_at(p) < IMAGE_BASE + size_of_image]
    check(not wild, "every relocated word holds an address inside the image"
          + (f"; not: {[hex(p) for p in wild[:5]]}" if wild else ""))
    elf = os.path.join(os.path.dirname(exe), "tamblin.elf")
    linked = abs32_places(elf)
    check(set(places) == linked, f"one base relocation for each of the {len(linked)} absolute addresses of the link"
          + (f"; unrelocated: {[hex(p) for p in sorted(linked - set(places))[:5]]}" if linked - set(places) else ""))

    return check.summary()


if __name__ == "__main__":
    run(main, __doc__, 2)
