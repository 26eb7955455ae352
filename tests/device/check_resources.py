#!/usr/bin/python3
"""The conversion's resource directory for resources of every kind, as independent readers see it.

  check_resources.py tamblin.elf SOURCE_DIR

Compiles a resource script with named and numbered types and names and one resource in two
languages (llvm-rc), converts the linked ELF with it (device/elf2pe.py --resources), and reads the
file back with python3-pefile and llvm-readobj: named entries come first, in name order, numbered
ones after them in ascending order, each resource's data is its own. Damaged resource files are
refused with the reason, and no file is written. Prints one line per check and "N passed, N failed".
"""
import os
import struct
import subprocess
import tempfile

import pefile

from checks import Checks, run

SCRIPT = """LANGUAGE 0x09, 0x01
CONFIG RCDATA { "abc" }
7 MYTYPE { "xyz" }
2 RCDATA { "two" }
Zeta RCDATA { "zeta" }
LANGUAGE 0x07, 0x01
7 MYTYPE { "xyz-de" }
"""
RT_RCDATA = 10
# What the directory must hold: type, name, language and data, in the directory's order.
EXPECTED = [("MYTYPE", 7, 0x407, b"xyz-de"), ("MYTYPE", 7, 0x409, b"xyz"), (RT_RCDATA, "CONFIG", 0x409, b"abc"),
            (RT_RCDATA, "ZETA", 0x409, b"zeta"), (RT_RCDATA, 2, 0x409, b"two")]


def walk(pe):
    """(type, name, language, data) of every resource, in the order of the directory."""
    found = []

    def key(entry):
        return str(entry.name) if entry.name is not None else entry.id

    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries:
            for language in name.directory.entries:
                data = language.data.struct
                found.append((key(kind), key(name), language.id, pe.get_data(data.OffsetToData, data.Size)))
    return found


def main(elf, source):
    check = Checks()
    elf2pe = os.path.join(source, "device", "elf2pe.py")
    with tempfile.TemporaryDirectory(prefix="tamblin-resources-") as work:
        with open(os.path.join(work, "multi.rc"), "w") as f:
            f.write(SCRIPT)
        res, exe = os.path.join(work, "multi.res"), os.path.join(work, "Multi.exe")
        subprocess.run(["llvm-rc", "/FO", res, "--", os.path.join(work, "multi.rc")], check=True, capture_output=True)
        subprocess.run(["/usr/bin/python3", elf2pe, "--resources", res, elf, exe], check=True, capture_output=True)

        pe = pefile.PE(exe)
        found = walk(pe)
        check(found == EXPECTED, "pefile finds the resources in the directory's order (named first, by name, "
              f"then numbered, ascending), each with its own data: {found}")
        listing = subprocess.run(["llvm-readobj", "--coff-resources", exe], capture_output=True, text=True)
        check(listing.returncode == 0 and "Total Number of Resources: 5" in listing.stdout,
              "llvm-readobj reads the directory and counts 5 resources")
        check(pe.OPTIONAL_HEADER.CheckSum == pe.generate_checksum(), "the checksum covers the resources too")

        raw = open(res, "rb").read()
        second = 32  # the first resource after the empty one that opens the file
        damaged = [
            ("cut in the middle of a resource", raw[:len(raw) - 3], "runs off the file"),
            ("a data size past the end", raw[:second] + struct.pack("<I", 0x10000) + raw[second + 4:], "runs off the file"),
            ("a header size below the fixed fields", raw[:second + 4] + struct.pack("<I", 8) + raw[second + 8:],
             "shorter than its fixed fields"),
            ("the same resource twice", raw + raw[second:], "twice"),
        ]
        for what, data, reason in damaged:
            bad = os.path.join(work, "bad.res")
            with open(bad, "wb") as f:
                f.write(data)
            out = os.path.join(work, "Bad.exe")
            result = subprocess.run(["/usr/bin/python3", elf2pe, "--resources", bad, elf, out],
                                    capture_output=True, text=True)
            check(result.returncode == 1 and reason in result.stderr and not os.path.exists(out),
                  f"a resource file {what} is refused ({result.stderr.strip()}), no file written")
    return check.summary()


if __name__ == "__main__":
    run(main, __doc__, 2)
