"""What the device checks share: a line per check, PASS or FAIL, then "N passed, N failed"; and
the usage line, the third of the script's doc string, for a wrong number of arguments."""
import sys


class Checks:
    def __init__(self):
        self.results = []

    def __call__(self, ok, what):
        self.results.append(bool(ok))
        print(("PASS: " if ok else "FAIL: ") + what)

    def summary(self):
        failed = self.results.count(False)
        print(f"{len(self.results) - failed} passed, {failed} failed")
        return 1 if failed else 0


def run(main, doc, arguments):
    if len(sys.argv) != arguments + 1:
        print(doc.strip().splitlines()[2].strip(), file=sys.stderr)
        sys.exit(2)
    sys.exit(main(*sys.argv[1:]))
