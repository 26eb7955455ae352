#!/usr/bin/python3
"""Tamblin.exe's version resource as independent readers see it, and the file built again.

  check_version.py Tamblin.exe SOURCE_DIR

llvm-readobj --coff-resources reads the resource directory: one resource, the version (type 16),
number 1, U.S. English, its data inside the .rsrc section that the resource data directory names.
python3-pefile reads the version resource: the file and product version text is the source tree's
version as git describes it now (vMAJOR[.MINOR[.PATCH]] tags; the commit alone without one; -dirty
for changed files), the four numbers follow from it (a tag's numbers and the commits since it, or
0.0.0.0 without a tag), a description, the original file name Tamblin.exe, an application's file
type, and a translation that names the string table's language and code page. Then the device
build is made again in a directory of its own: the new file must equal this one byte for byte.
Prints one line per check and "N passed, N failed".
"""
import os
import re
import subprocess
import tempfile

import pefile

from checks import Checks, run

VFT_APP = 1
RT_VERSION = 16


def git_version(source):
    """What a person gets from git for the tree, or None where it is no checkout."""
    try:
        top = subprocess.run(["git", "-C", source, "rev-parse", "--show-toplevel"], check=True,
                             capture_output=True, text=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return None
    if os.path.realpath(top) != os.path.realpath(source):
        return None
    described = subprocess.run(["git", "--no-optional-locks", "-C", source, "describe", "--tags", "--match",
                                "v[0-9]*", "--always", "--dirty"], check=True, capture_output=True, text=True)
    return described.stdout.strip().removeprefix("v")


def expected_numbers(text):
    m = re.fullmatch(r"(\d+)(?:\.(\d+))?(?:\.(\d+))?(?:-(\d+)-g[0-9a-f]+)?(?:-dirty)?", text)
    if not m:
        return (0, 0, 0, 0)
    numbers = tuple(int(n or 0) for n in m.groups())
    return numbers if max(numbers) <= 0xFFFF else (0, 0, 0, 0)


def main(exe, source):
    check = Checks()

    listing = subprocess.run(["llvm-readobj", "--coff-resources", "--sections", exe], check=True,
                             capture_output=True, text=True).stdout
    check(re.search(r"Total Number of Resources: 1\b", listing), "llvm-readobj finds one resource")
    check(re.search(r"Type: VERSIONINFO \(ID 16\)", listing), "of the version type (16)")
    check(re.search(r"Name: \(ID 1\)", listing), "numbered 1")
    check(re.search(r"Language: \(ID 1033\)", listing), "in U.S. English (1033)")
    rsrc = re.search(r"Name: \.rsrc .*?VirtualSize: (0x[0-9A-F]+)\s*VirtualAddress: (0x[0-9A-F]+)", listing, re.S)
    data = re.search(r"DataRVA: (0x[0-9A-F]+)\s*DataSize: (\d+)", listing)
    check(rsrc and data and int(rsrc.group(2), 16) <= int(data.group(1), 16)
          and int(data.group(1), 16) + int(data.group(2)) <= int(rsrc.group(2), 16) + int(rsrc.group(1), 16),
          "its data lies inside the .rsrc section")

    pe = pefile.PE(exe)
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]]
    section = next((s for s in pe.sections if s.Name.rstrip(b"\0") == b".rsrc"), None)
    check(section and directory.VirtualAddress == section.VirtualAddress,
          "the resource data directory points at the .rsrc section")
    check(not pe.get_warnings(), "pefile reads the file without warnings " + "; ".join(pe.get_warnings()[:3]))
    fixed = pe.VS_FIXEDFILEINFO[0] if getattr(pe, "VS_FIXEDFILEINFO", None) else None
    strings, translations = {}, []
    for info in getattr(pe, "FileInfo", [[]])[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
                strings["(table)"] = table.LangID.decode()
        elif info.Key == b"VarFileInfo":
            for var in info.Var:
                # pefile gives each translation as "0xLLLL 0xCCCC": language, code page.
                for value in var.entry.values():
                    translations += ["%04X%04X" % tuple(int(n, 16) for n in value.split())]
    check(fixed is not None and fixed.Signature == 0xFEEF04BD, "pefile finds the fixed file information")
    if fixed is None:
        return check.summary()

    text = strings.get("FileVersion", "")
    wanted = git_version(source)
    if wanted is None:
        print(f"(not a git checkout: the file's version is {text!r})")
    else:
        check(text == wanted, f"file version {text!r} is the tree's, {wanted!r}")
    check(strings.get("ProductVersion") == text, f"product version {strings.get('ProductVersion')!r} is the same")
    numbers = ((fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF, fixed.FileVersionLS >> 16,
                fixed.FileVersionLS & 0xFFFF))
    product = ((fixed.ProductVersionMS >> 16, fixed.ProductVersionMS & 0xFFFF, fixed.ProductVersionLS >> 16,
                fixed.ProductVersionLS & 0xFFFF))
    check(numbers == expected_numbers(text) and product == numbers,
          f"file and product version numbers {numbers} and {product} follow from {text!r}")
    check(strings.get("OriginalFilename") == "Tamblin.exe", "original file name Tamblin.exe")
    check(len(strings.get("FileDescription", "")) >= 10, f"a description: {strings.get('FileDescription')!r}")
    check(strings.get("ProductName") == "Tamblin", "product name Tamblin")
    check(fixed.FileType == VFT_APP and fixed.FileFlags & fixed.FileFlagsMask == 0,
          "an application's file type, no flags")
    check(translations == [strings.get("(table)", "").upper()],
          f"the translation names the strings' language and code page ({', '.join(translations)})")

    # The same commit built again elsewhere, later: nothing of the place or the time gets in.
    build_dir = os.path.dirname(os.path.abspath(exe))
    cache = open(os.path.join(build_dir, "CMakeCache.txt")).read()
    toolchain = re.search(r"^CMAKE_TOOLCHAIN_FILE:\w+=(.*)$", cache, re.M).group(1)
    with tempfile.TemporaryDirectory(prefix="tamblin-again-") as again:
        configured = subprocess.run(["cmake", "-S", os.path.join(source, "device"), "-B", again,
                                     f"-DCMAKE_TOOLCHAIN_FILE={toolchain}"], capture_output=True, text=True)
        built = configured.returncode == 0 and subprocess.run(
            ["cmake", "--build", again, "--target", "tamblin_exe"], capture_output=True, text=True).returncode == 0
        same = built and open(os.path.join(again, "Tamblin.exe"), "rb").read() == open(exe, "rb").read()
        check(same, "a second build of the same tree in another directory is the same file, byte for byte"
              + ("" if built else " (the second build failed)"))

    return check.summary()


if __name__ == "__main__":
    run(main, __doc__, 2)
