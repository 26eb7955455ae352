#!/usr/bin/python3
"""The application folder's shape: short functions, and no circle between its files.

  app_layout.py SOURCE_DIR

Every function of app/ is under 40 lines as Debian's pmccabe counts them. Each module of app/ (a
.cpp and the .h of the same name) names the modules it uses by the app/ headers it includes; no
module may reach itself that way, so that a change to one file never has to follow a loop back.
Then the check checks itself: a planted long function and a planted circle must be refused.
Prints one line per check and "N passed, N failed".
"""
import glob
import os
import re
import subprocess
import sys
import tempfile

MAX_LINES = 40


def long_functions(folder):
    """(lines, where) of each function of 40 lines or more."""
    sources = sorted(glob.glob(os.path.join(folder, "*.cpp")))
    out = subprocess.run(["pmccabe"] + sources, capture_output=True, text=True, check=True).stdout
    found = []
    for line in out.splitlines():
        fields = line.split("\t")
        if len(fields) >= 6 and int(fields[4]) >= MAX_LINES:
            found.append((int(fields[4]), fields[5]))
    return found


def module_uses(folder):
    """module -> the app/ modules its files include (headers of this folder, by their base name)."""
    uses = {}
    for path in glob.glob(os.path.join(folder, "*.cpp")) + glob.glob(os.path.join(folder, "*.h")):
        module = os.path.splitext(os.path.basename(path))[0]
        with open(path, encoding="utf-8") as f:
            text = f.read()
        for header in re.findall(r'^\s*#\s*include\s+"([A-Za-z0-9_]+)\.h"', text, re.M):
            if header != module:
                uses.setdefault(module, set()).add(header)
        uses.setdefault(module, set())
    return uses


def circles(uses):
    """Each circle found, as the modules on it from the first back to it."""
    found = []
    state = {}

    def visit(module, path):
        state[module] = "open"
        for used in sorted(uses.get(module, ())):
            if state.get(used) == "open":
                found.append(path[path.index(used):] + [used])
            elif used not in state:
                visit(used, path + [used])
        state[module] = "done"

    for module in sorted(uses):
        if module not in state:
            visit(module, [module])
    return found


def main():
    source_dir = sys.argv[1]
    results = []

    def check(ok, what):
        results.append(ok)
        print(("ok    " if ok else "FAIL  ") + what)

    app = os.path.join(source_dir, "app")
    longest = long_functions(app)
    check(not longest, "every function of app/ is under %d lines%s" %
          (MAX_LINES, "".join("\n      %d lines: %s" % f for f in longest)))
    found = circles(module_uses(app))
    check(not found, "no circle between the files of app/%s" %
          "".join("\n      " + " -> ".join(c) for c in found))

    with tempfile.TemporaryDirectory(prefix="tamblin-app-layout-") as planted:
        with open(os.path.join(planted, "long.cpp"), "w") as f:
            for name, statements in (("Short", 36), ("Long", 37)):  # 39 and 40 lines
                f.write("int %s(int a) {\n" % name + "".join("    a += %d;\n" % i for i in range(statements)) +
                        "    return a;\n}\n")
        check([(n, w.split(": ")[-1]) for n, w in long_functions(planted)] == [(40, "Long")],
              "a planted function of 40 lines is refused, one of 39 is not")
        for name, include in (("a", "b"), ("b", "c"), ("c", "a")):
            with open(os.path.join(planted, name + ".cpp"), "w") as f:
                f.write('#include "%s.h"\n' % name)
            with open(os.path.join(planted, name + ".h"), "w") as f:
                f.write('#include "%s.h"\n' % include)
        check(circles(module_uses(planted)) == [["a", "b", "c", "a"]], "a planted circle a -> b -> c -> a is refused")

    failed = results.count(False)
    print("%d passed, %d failed" % (len(results) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
