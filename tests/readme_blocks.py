#!/usr/bin/python3
"""Runs the README's command blocks as a person would type them, so that the README cannot drift
from the commands.

  readme_blocks.py README KIND SOURCE_DIR [NAME=BUILD_DIR ...]

A block is run when the line before it (blank lines aside) is the marker <!-- run: KIND -->; KIND
says what it needs: "host" the host build's programs (build/bin, on PATH as the README tells a
person to put them), "device" the ARM build and the device file (build-arm, build-device). In the
sections listed in MARKED, every block must carry a marker, <!-- run: KIND --> or
<!-- not run: why -->, so that a new block there is not left out unnoticed.

The blocks of a kind run in order in one shell, in a scratch directory that looks like the source
tree: each of its top-level entries linked there, and each NAME (build, build-arm, build-device)
linked to the BUILD_DIR under test, so that the board directories the blocks create are private.
Each line of a block must end with exit status 0, or with N where its comment says "exit code N";
every "double-quoted text" in its comment (or in the comment lines under it) must appear in what
it printed. Prints the lines run with their status; exit status 1 if any line failed.
"""
import os
import re
import subprocess
import sys
import tempfile

# Sections where every block must say whether it runs.
MARKED = ("Common tasks", "Putting Tamblin on a device")
MARKER = re.compile(r"^<!--\s*(run|not run):\s*(.*?)\s*-->\s*$")
TIMEOUT_S = 600


def blocks(readme_lines):
    """Every code block: (first line number, section, marker or None, lines)."""
    found = []
    section, marker, i = None, None, 0
    while i < len(readme_lines):
        line = readme_lines[i]
        if line.startswith("## "):
            section, marker = line[3:].strip(), None
        m = MARKER.match(line)
        if m:
            marker = (m.group(1), m.group(2))
            i += 1
            continue
        if line.startswith("```"):
            end = next((j for j in range(i + 1, len(readme_lines)) if readme_lines[j].startswith("```")),
                       len(readme_lines))
            found.append((i + 2, section, marker, readme_lines[i + 1:end]))
            marker, i = None, end + 1
            continue
        if line.startswith("    ") and (i == 0 or not readme_lines[i - 1].strip() or MARKER.match(readme_lines[i - 1])):
            start, body = i, []
            while i < len(readme_lines) and (readme_lines[i].startswith("    ") or not readme_lines[i].strip()):
                body.append(readme_lines[i][4:])
                i += 1
            while body and not body[-1].strip():
                body.pop()
            found.append((start + 1, section, marker, body))
            marker = None
            continue
        if line.strip():
            marker = None
        i += 1
    return found


def commands(block_start, body):
    """The block's commands: (README line number, command, its comment with the comment lines
    under it)."""
    out = []
    for n, line in enumerate(body):
        stripped = line.strip()
        if not stripped:
            continue
        if stripped.startswith("#"):
            if out:
                out[-1][2] += " " + stripped[1:]
            continue
        comment = ""
        m = re.search(r"\s#\s", line)
        if m:
            comment = line[m.end():]
        out.append([block_start + n, line.rstrip(), comment])
    for command in out:
        command[2] = " ".join(command[2].split())
    return out


def view_of(source, links, into):
    """A directory that looks like the source tree, with the build directories under test."""
    for entry in os.listdir(source):
        if entry == ".git" or entry in links or entry.startswith("build") or entry in ("board", "exe-board"):
            continue
        os.symlink(os.path.join(source, entry), os.path.join(into, entry))
    for name, target in links.items():
        os.symlink(os.path.abspath(target), os.path.join(into, name))


def main(argv):
    if len(argv) < 4:
        print(__doc__.strip().splitlines()[3].strip(), file=sys.stderr)
        return 2
    readme, kind, source = argv[1], argv[2], argv[3]
    links = dict(a.split("=", 1) for a in argv[4:])
    with open(readme, encoding="utf-8") as f:
        lines = f.read().splitlines()

    problems = []
    chosen = []
    for start, section, marker, body in blocks(lines):
        if section in MARKED and marker is None:
            problems.append(f"README.md:{start}: a block in \"{section}\" without <!-- run: KIND --> or "
                            f"<!-- not run: why --> before it")
        if marker and marker[0] == "run":
            if marker[1] not in ("host", "device"):
                problems.append(f"README.md:{start}: unknown kind of block \"{marker[1]}\" (host or device)")
            elif marker[1] == kind:
                chosen += commands(start, body)
    if not chosen:
        problems.append(f"no block of the README is marked <!-- run: {kind} -->")
    for p in problems:
        print(p)
    if problems:
        return 1

    with tempfile.TemporaryDirectory(prefix="tamblin-readme-") as scratch:
        view = os.path.join(scratch, "tree")
        results = os.path.join(scratch, "results")
        os.makedirs(view)
        os.makedirs(results)
        view_of(source, links, view)
        script = ["set -o pipefail", "__first=0",
                  "trap '__status=$?; [ \"$__first\" = 0 ] && __first=$__status' ERR"]
        for n, (_, command, _) in enumerate(chosen):
            script += ["__first=0", "{ " + command, f"}} > {results}/{n}.out 2>&1 < /dev/null",
                       f"echo \"$__first\" > {results}/{n}.status"]
        env = {k: v for k, v in os.environ.items()
               if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL", "MAKEOVERRIDES", "TAMBLIN_BOARD", "CDPATH")}
        # As the README has a person put the programs on the command line: export PATH=$PWD/build/bin:$PATH.
        env["PATH"] = os.path.join(view, "build", "bin") + ":" + env.get("PATH", "/usr/bin:/bin")
        env["HOME"] = scratch
        try:
            subprocess.run(["bash", "-c", "\n".join(script)], cwd=view, env=env, timeout=TIMEOUT_S)
        except subprocess.TimeoutExpired:
            print(f"the blocks did not finish within {TIMEOUT_S} s")
        failed = 0
        for n, (number, command, comment) in enumerate(chosen):
            try:
                status = int(open(f"{results}/{n}.status").read())
                output = open(f"{results}/{n}.out", errors="replace").read()
            except (OSError, ValueError):
                status, output = None, "(not run)"
            wanted = re.search(r"\bexit code (\d+)", comment)
            wanted = int(wanted.group(1)) if wanted else 0
            missing = [q for q in re.findall(r'"([^"]+)"', comment) if q not in output]
            ok = status == wanted and not missing
            failed += not ok
            print(f"{'ok  ' if ok else 'FAIL'} README.md:{number}: {command}")
            if not ok:
                print(f"     exit status {status}, expected {wanted}"
                      + "".join(f"; not printed: \"{q}\"" for q in missing))
                print("     | " + "\n     | ".join(output.rstrip().splitlines()[-30:]))
        print(f"{len(chosen) - failed} of {len(chosen)} lines as the README says")
        return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
