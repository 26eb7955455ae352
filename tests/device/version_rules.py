#!/usr/bin/python3
"""Which version Tamblin.exe gets, for trees a person builds from (device/version.cmake).

  version_rules.py SOURCE_DIR

Each case makes a small tree with the repository's own device/version.txt and .gitattributes
(a git checkout with tags and changes, an archive made by git archive, a plain copy, an archive
unpacked inside another checkout), runs version.cmake on it and compares the version.h it writes
with what a person expects of the tree. Prints one line per case and "N passed, N failed".
"""
import os
import re
import shutil
import subprocess
import tempfile
import time

from checks import Checks, run

ENV = dict(os.environ, GIT_CONFIG_GLOBAL="/dev/null", GIT_CONFIG_NOSYSTEM="1", GIT_AUTHOR_NAME="t",
           GIT_AUTHOR_EMAIL="t@example.org", GIT_COMMITTER_NAME="t", GIT_COMMITTER_EMAIL="t@example.org")


def git(tree, *args):
    return subprocess.run(["git", "-C", tree, *args], check=True, capture_output=True, text=True,
                          env=ENV).stdout.strip()


def checkout(tree, source, commits=1):
    """A checkout with the repository's version files and COMMITS commits."""
    os.makedirs(os.path.join(tree, "device"))
    shutil.copy(os.path.join(source, "device", "version.txt"), os.path.join(tree, "device"))
    shutil.copy(os.path.join(source, ".gitattributes"), tree)
    git(tree, "init", "-q")
    for i in range(commits):
        with open(os.path.join(tree, "file"), "w") as f:
            f.write(f"{i}\n")
        git(tree, "add", "-A")
        git(tree, "commit", "-q", "-m", f"commit {i}")


def archive(tree, into):
    """The tree as git archive makes it, unpacked at INTO."""
    os.makedirs(into)
    tar = subprocess.run(["git", "-C", tree, "archive", "HEAD"], check=True, capture_output=True, env=ENV).stdout
    subprocess.run(["tar", "-x", "-C", into], input=tar, check=True)


def tagged_then(tree, source, tag, after):
    checkout(tree, source)
    git(tree, "tag", tag)
    for i in range(after):
        with open(os.path.join(tree, "file"), "a") as f:
            f.write(f"after {i}\n")
        git(tree, "commit", "-q", "-am", f"after {i}")


def short(tree):
    return git(tree, "rev-parse", "--short", "HEAD")


# Each case: what it is, how its tree is made (returning the directory built from), the expected
# version text and numbers (a function of the repository made, for its commit names).
def untagged(w, s):
    checkout(w + "/t", s, commits=2)
    return w + "/t", short(w + "/t"), "0,0,0,0"


def on_tag(w, s):
    tagged_then(w + "/t", s, "v1.2", 0)
    return w + "/t", "1.2", "1,2,0,0"


def after_tag(w, s):
    tagged_then(w + "/t", s, "v2.0.1", 3)
    return w + "/t", f"2.0.1-3-g{short(w + '/t')}", "2,0,1,3"


def changed_file(w, s):
    tagged_then(w + "/t", s, "v1.4", 0)
    with open(w + "/t/file", "a") as f:
        f.write("changed\n")
    return w + "/t", "1.4-dirty", "1,4,0,0"


def untracked_file(w, s):
    tagged_then(w + "/t", s, "v1.4", 0)
    open(w + "/t/new-file", "w").close()
    return w + "/t", "1.4", "1,4,0,0"


def other_tags(w, s):
    tagged_then(w + "/t", s, "release-7", 0)
    git(w + "/t", "tag", "vacation")
    return w + "/t", short(w + "/t"), "0,0,0,0"


def newest_tag(w, s):
    tagged_then(w + "/t", s, "v1.0", 2)
    git(w + "/t", "tag", "v1.1")
    return w + "/t", "1.1", "1,1,0,0"


def too_wide(w, s):
    tagged_then(w + "/t", s, "v70000.1", 0)
    return w + "/t", "70000.1", "0,0,0,0"


def odd_tag(w, s):
    tagged_then(w + "/t", s, 'v1"2', 0)
    return w + "/t", "1_2", "0,0,0,0"


def archive_tagged(w, s):
    tagged_then(w + "/t", s, "v3.1", 1)
    archive(w + "/t", w + "/x")
    return w + "/x", f"3.1-1-g{short(w + '/t')}", "3,1,0,1"


def archive_untagged(w, s):
    checkout(w + "/t", s)
    archive(w + "/t", w + "/x")
    return w + "/x", short(w + "/t"), "0,0,0,0"


def plain_copy(w, s):
    tagged_then(w + "/t", s, "v3.1", 0)
    shutil.copytree(w + "/t", w + "/x", ignore=shutil.ignore_patterns(".git"))
    return w + "/x", "unknown", "0,0,0,0"


def copy_inside_checkout(w, s):
    tagged_then(w + "/outer", s, "v9.9", 0)
    shutil.copytree(w + "/outer", w + "/outer/x", ignore=shutil.ignore_patterns(".git"))
    return w + "/outer/x", "unknown", "0,0,0,0"


CASES = [
    ("a commit without a tag: the commit", untagged),
    ("a tagged commit: the tag's version", on_tag),
    ("three commits after a tag: the tag, the count and the commit", after_tag),
    ("a tracked file changed: -dirty", changed_file),
    ("an untracked file: not dirty", untracked_file),
    ("tags that are no version: the commit", other_tags),
    ("two version tags: the nearer", newest_tag),
    ("a version number above 65535: the text, numbers 0", too_wide),
    ('a tag with a quote: a text the resource can hold', odd_tag),
    ("an archive of a tagged tree (git archive): the archived version", archive_tagged),
    ("an archive of an untagged tree: the archived commit", archive_untagged),
    ("a copy without git: unknown", plain_copy),
    ("a copy inside another checkout: not that checkout's version", copy_inside_checkout),
]


def run_version(source, tree, out):
    subprocess.run(["cmake", f"-DTOP={tree}", f"-DOUT={out}", "-P", os.path.join(source, "device", "version.cmake")],
                   check=True, capture_output=True, env=ENV)
    text = open(out).read()
    numbers = re.search(r"#define TAMBLIN_VERSION_NUMBERS (\S+)", text)
    version = re.search(r'#define TAMBLIN_VERSION_TEXT "([^"\\]*)"', text)
    return (version.group(1) if version else None), (numbers.group(1) if numbers else None)


def main(source):
    check = Checks()
    for what, make in CASES:
        with tempfile.TemporaryDirectory(prefix="tamblin-version-") as work:
            tree, text, numbers = make(work, source)
            got = run_version(source, tree, work + "/version.h")
            check(got == (text, numbers),
                  f"{what}: {got[0]!r} {got[1]}" + ("" if got == (text, numbers) else f", expected {text!r} {numbers}"))

    # A build of an unchanged tree must not compile the resource again: the header stays untouched.
    with tempfile.TemporaryDirectory(prefix="tamblin-version-") as work:
        tree, _, _ = on_tag(work, source)
        header = work + "/version.h"
        run_version(source, tree, header)
        os.utime(header, (time.time() - 1000, time.time() - 1000))
        before = os.stat(header).st_mtime_ns
        run_version(source, tree, header)
        unchanged = os.stat(header).st_mtime_ns == before
        git(tree, "commit", "-q", "--allow-empty", "-m", "one more")
        changed = run_version(source, tree, header)[0].startswith("1.2-1-g") and os.stat(header).st_mtime_ns != before
        check(unchanged and changed, "version.h is rewritten when the version changes, and only then"
              + ("" if unchanged and changed else f" (unchanged kept: {unchanged}, change written: {changed})"))
    return check.summary()


if __name__ == "__main__":
    run(main, __doc__, 1)
