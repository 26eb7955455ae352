#!/usr/bin/env python3
"""A small mutation pass: how many planted faults in the given sources does the suite notice?

Each mutant changes one thing on one line (a comparison, an arithmetic or logical operator, a
negation, a constant 0 or 1, a returned 0 or 1, or a call statement left out), is compiled in a
build directory of its own and run against the host suite; it is *killed* when a test fails or
times out, *survives* when every test passes, and does not count when it does not compile.

    scripts/mutation.py app/*.cpp                  # every mutant (slow: minutes per hundred)
    scripts/mutation.py --sample 150 app/*.cpp     # a seeded sample of 150
    scripts/mutation.py --list app/*.cpp           # only list the mutants

The sources are restored after each mutant, also when the pass is interrupted. Not a test: it
prints figures and the surviving mutants.
"""
import argparse
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Operator swaps, applied to code outside strings and comments. Binary operators are matched with
# the spaces clang-format puts around them, which keeps unary minus, pointers and includes out.
SWAPS = [
    (" <= ", " < "), (" < ", " <= "), (" >= ", " > "), (" > ", " >= "),
    (" == ", " != "), (" != ", " == "),
    (" + ", " - "), (" - ", " + "), (" * ", " / "), (" / ", " * "),
    (" && ", " || "), (" || ", " && "),
    (" += ", " -= "), (" -= ", " += "),
]


def code_spans(line):
    """Ranges of `line` that are code: not inside string or character literals or a comment."""
    spans, start, i, quote = [], 0, 0, None
    while i < len(line):
        c = line[i]
        if quote:
            if c == "\\":
                i += 2
                continue
            if c == quote:
                quote = None
                start = i + 1
        elif c in "\"'":
            spans.append((start, i))
            quote = c
        elif line.startswith("//", i):
            spans.append((start, i))
            return spans
        i += 1
    if not quote:
        spans.append((start, len(line)))
    return spans


def mutants_of(path):
    out = []
    with open(path) as f:
        lines = f.read().split("\n")
    in_block_comment = False
    depth = 0
    for n, line in enumerate(lines):
        stripped = line.strip()
        if in_block_comment:
            if "*/" in stripped:
                in_block_comment = False
            continue
        if stripped.startswith("/*"):
            in_block_comment = "*/" not in stripped
            continue
        if stripped.startswith("#") or not stripped or stripped.startswith("//"):
            continue
        inside_function = depth > 0
        depth += line.count("{") - line.count("}")
        if not inside_function:
            continue  # declarations and tables are checked by the compiler and other suites
        for a, b in code_spans(line):
            seg = line[a:b]
            for old, new in SWAPS:
                for m in re.finditer(re.escape(old), seg):
                    col = a + m.start()
                    out.append((path, n, col, old, new))
            for m in re.finditer(r"!(?!=)", seg):
                out.append((path, n, a + m.start(), "!", ""))
            for m in re.finditer(r"(?<![\w.])([01])(?![\w.x])", seg):
                out.append((path, n, a + m.start(), m.group(1), "1" if m.group(1) == "0" else "0"))
        # A call statement left out: a line that is one call and nothing else.
        if re.fullmatch(r"[A-Za-z_][\w.>-]*\(.*\);", stripped) and not stripped.startswith("return"):
            col = line.index(stripped)
            out.append((path, n, col, stripped, "(void)0;"))
    return out


def apply(mutant, originals):
    path, n, col, old, new = mutant
    lines = originals[path].split("\n")
    line = lines[n]
    assert line[col:col + len(old)] == old, (mutant, line)
    lines[n] = line[:col] + new + line[col + len(old):]
    with open(path, "w") as f:
        f.write("\n".join(lines))


def restore(originals):
    for path, text in originals.items():
        with open(path, "w") as f:
            f.write(text)


def run(cmd, timeout=None, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          timeout=timeout, **kw)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("files", nargs="+")
    ap.add_argument("--build", default=os.path.join(ROOT, "build-mutation"))
    ap.add_argument("--sample", type=int, default=0, help="mutants to run, chosen with --seed (0: all)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    ap.add_argument("--timeout", type=int, default=60, help="seconds a single test may take")
    ap.add_argument("--targets", default="all", help="what to build for each mutant")
    ap.add_argument("--tests", default="", help="ctest -R regular expression (default: every test)")
    ap.add_argument("--list", action="store_true")
    args = ap.parse_args()

    files = [os.path.abspath(f) for f in args.files]
    mutants = [m for f in files for m in mutants_of(f)]
    if args.sample and args.sample < len(mutants):
        mutants = sorted(random.Random(args.seed).sample(mutants, args.sample))
    rel = lambda p: os.path.relpath(p, ROOT)
    describe = lambda m: f"{rel(m[0])}:{m[1] + 1}: '{m[3].strip()}' -> '{m[4].strip()}'"
    if args.list:
        for m in mutants:
            print(describe(m))
        print(f"{len(mutants)} mutants")
        return 0

    if not os.path.exists(os.path.join(args.build, "CMakeCache.txt")):
        r = run(["cmake", "-S", ROOT, "-B", args.build, "-DCMAKE_BUILD_TYPE=Debug",
                 "-DCMAKE_C_COMPILER=clang", "-DCMAKE_CXX_COMPILER=clang++"])
        if r.returncode:
            print(r.stdout)
            return 1
    build = ["cmake", "--build", args.build, "-j", str(args.jobs), "--target"] + args.targets.split()
    ctest = ["ctest", "-j", str(args.jobs), "--stop-on-failure", "--timeout", str(args.timeout)]
    if args.tests:
        ctest += ["-R", args.tests]

    originals = {f: open(f).read() for f in files}
    signal.signal(signal.SIGTERM, lambda *_: (restore(originals), sys.exit(1)))
    try:
        r = run(build)
        if r.returncode:
            print(r.stdout[-4000:])
            print("the unmutated tree does not build")
            return 1
        r = run(ctest, cwd=args.build)
        if r.returncode:
            print(r.stdout[-4000:])
            print("the unmutated tree fails its tests")
            return 1
        killed, survived, unviable = 0, [], 0
        started = time.time()
        for i, m in enumerate(mutants, 1):
            apply(m, originals)
            try:
                r = run(build, timeout=600)
                if r.returncode:
                    unviable += 1
                    verdict = "does not compile"
                else:
                    r = run(ctest, cwd=args.build, timeout=3600)
                    if r.returncode:
                        killed += 1
                        verdict = "killed"
                    else:
                        survived.append(m)
                        verdict = "SURVIVED"
            finally:
                restore(originals)
            print(f"[{i}/{len(mutants)}] {verdict:16} {describe(m)}", flush=True)
        run(build)  # leave the build as the sources are
    finally:
        restore(originals)
    viable = killed + len(survived)
    print()
    print(f"mutants: {len(mutants)}, compiled: {viable}, killed: {killed}, survived: {len(survived)}, "
          f"did not compile: {unviable}; score {100.0 * killed / max(viable, 1):.1f} % "
          f"({time.time() - started:.0f} s)")
    for m in survived:
        print("  survived:", describe(m))
    return 0


if __name__ == "__main__":
    sys.exit(main())
