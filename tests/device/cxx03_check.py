#!/usr/bin/python3
"""The product's sources as the platform's own compilers of its era take them.

  cxx03_check.py CLANGXX SOURCE_DIR

Those compilers take C++98/03 with Microsoft extensions, no exceptions and no RTTI, a 16-bit
wchar_t with L"..." literals (the platform headers give WCHAR and TEXT that way in this mode), and
64-bit integers only as the headers' LONGLONG (__int64). None of them runs here: clang in that language mode,
for the device's target and calling convention, is the nearest check, a syntax pass over every
source of app/ rtc/ i2c/ gpiolib/ platform/ in one compiler run.

Then the check checks itself: each construct that those compilers refuse, in a file of its own
with the same command line, must be refused too, or the flags have lost their teeth. Prints one
line per check and "N passed, N failed".
"""
import glob
import os
import subprocess
import sys
import tempfile


def flags(source_dir):
    return ["--target=armv5te-none-eabi", "-march=armv5te", "-marm", "-mabi=apcs-gnu", "-mfloat-abi=soft",
            "-ffreestanding", "-fshort-wchar", "-fno-short-enums", "-DUNDER_CE", "-D_WIN32_WCE=0x500",
            "-std=c++03", "-fms-extensions", "-fno-exceptions", "-fno-rtti", "-Werror=c++11-extensions",
            "-Wc++11-long-long", "-pedantic", "-Wall", "-Wextra", "-Werror", "-fsyntax-only",
            # The platform SDK's headers are system headers to its compiler.
            "-isystem", os.path.join(source_dir, "sim", "ceapi", "include")]


# What the platform's compilers of that era do not take, each row compiled after <windows.h>.
REFUSED = [
    ("auto", "int f() { auto x = 1; return x; }"),
    ("nullptr", "void* p = nullptr;"),
    ("constexpr", "constexpr int x = 1;"),
    ("static_assert", 'static_assert(sizeof(int) == 4, "int");'),
    ("range-for", "int a[3]; int f() { int s = 0; for (int v : a) s += v; return s; }"),
    ("braces for a class with a constructor", "struct S { S(int) {} }; S s{1};"),
    ("variadic macro", "#define LOG(...) f(__VA_ARGS__)"),
    ("long long", "long long x;"),
    ("an LL literal", "long x = (long)1LL;"),
    ("exceptions", "int f() { throw 1; }"),
    ("RTTI", "struct B { virtual ~B() {} }; struct D : B {}; D* f(B* b) { return dynamic_cast<D*>(b); }"),
    ("a char16_t literal as WCHAR", 'const WCHAR* s = u"x";'),
    ("a 32-bit wchar_t", "typedef char w[sizeof(WCHAR) == 4 ? 1 : -1];"),
]

# And what they take, so that the rows above fail for their own reason and not for the header's.
ACCEPTED = [
    ("TEXT as an L literal", 'const WCHAR* s = TEXT("x"); const wchar_t* t = s;'),
    # clang counts a bare __int64 as long long: the product takes the header's types.
    ("64-bit integers as LONGLONG", "LONGLONG a = -1; ULONGLONG b = (ULONGLONG)a >> 32;"),
]


def compiles(clangxx, source_dir, files):
    run = subprocess.run([clangxx] + flags(source_dir) + files, capture_output=True, text=True)
    return run.returncode == 0, run.stderr


def main():
    clangxx, source_dir = sys.argv[1], sys.argv[2]
    passed = failed = 0

    def check(ok, what, detail=""):
        nonlocal passed, failed
        print(("PASS: " if ok else "FAIL: ") + what)
        if not ok and detail:
            print(detail)
        passed += ok
        failed += not ok

    sources = sorted(f for d in ("app", "rtc", "i2c", "gpiolib", "platform")
                     for f in glob.glob(os.path.join(source_dir, d, "*.cpp")))
    check(len(sources) >= 10, f"{len(sources)} product sources found")
    ok, errors = compiles(clangxx, source_dir, sources)
    check(ok, "every product source compiles as C++03 with Microsoft extensions, no exceptions, no RTTI", errors)

    with tempfile.TemporaryDirectory() as tmp:
        for expect, rows in ((False, REFUSED), (True, ACCEPTED)):
            for i, (name, code) in enumerate(rows):
                path = os.path.join(tmp, f"{'refused' if not expect else 'accepted'}{i}.cpp")
                with open(path, "w") as f:
                    f.write("#include <windows.h>\n" + code + "\n")
                ok, errors = compiles(clangxx, source_dir, [path])
                check(ok == expect, f"{name}: {'taken' if expect else 'refused'}", errors if expect else "")

    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
