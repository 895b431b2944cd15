#!/usr/bin/env python3
"""Checks a release folder made by make-dist.sh: the zip named after the
project's version holds exactly the shipped files, SHA256SUMS covers every
one of them and verifies inside the unpacked zip, and each folder holds
Windows files of its own word size only. The zip's entries are sorted and
carry one time and no extra fields, so that it rebuilds bit for bit. The
liblzma source it names is the revision that was built, and both libraries
use the threading primitives that hold no handle per condition variable.
The source carries every fix of codec-fixes.py, and the licence shipped as
LICENSE.liblzma is the one of that source (COPYING, with COPYING.0BSD from
5.6 on), which the modules' about text and version resource name too.

usage: check-dist.py DIST_DIR
"""
import os
import re
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# What a user gets: the 32-bit module at the top, the 64-bit one in x64/.
SHIPPED = {
    "xz.ztx", "liblzma.dll", "ztxhost.exe",
    "x64/xz.ztx", "x64/liblzma.dll", "x64/ztxhost.exe",
    "INSTALL.txt", "LICENSE.liblzma", "LICENSE.zlib", "LIBLZMA-SOURCE.txt",
}
SUMS = "SHA256SUMS"
MACHINE = {"": 0x014C, "x64/": 0x8664}  # i386 at the top, AMD64 in x64/


def project_version():
    text = open(os.path.join(TOP, "CMakeLists.txt")).read()
    return re.search(r"project\(\w+ VERSION (\d+\.\d+\.\d+)", text).group(1)


def machine_of(path):
    with open(path, "rb") as f:
        data = f.read(4096)
    offset = struct.unpack_from("<I", data, 0x3C)[0]
    if data[offset:offset + 4] != b"PE\0\0":
        return None
    return struct.unpack_from("<H", data, offset + 4)[0]


def windres_for(name):
    return "%s-w64-mingw32-windres" % ("x86_64" if name.startswith("x64/") else "i686")


def licence_failures(unpacked, text):
    """LICENSE.liblzma against the source tree's own texts, and the licence
    the modules name beside the one the source states."""
    built = os.path.join(TOP, "build", "liblzma32")
    revision = open(os.path.join(built, "revision")).read().strip()
    tree = os.path.join(built, "src", "xz-utils-" + revision)
    copying = open(os.path.join(tree, "COPYING")).read()
    shipped = open(os.path.join(unpacked, "LICENSE.liblzma")).read()
    failures = []
    if copying not in shipped:
        failures.append("LICENSE.liblzma does not hold the source's COPYING")
    zero_bsd = "liblzma is under the BSD Zero Clause License (0BSD)" in copying
    if zero_bsd:
        terms = open(os.path.join(tree, "COPYING.0BSD")).read()
        if terms not in shipped or "Permission to use, copy, modify, and/or distribute" not in shipped:
            failures.append("LICENSE.liblzma lacks COPYING.0BSD, the licence of liblzma %s" % revision)
        named, other = "under the BSD Zero Clause Licence", "in the public domain"
    elif "liblzma is in the public domain" in copying:
        named, other = "in the public domain", "under the BSD Zero Clause Licence"
    else:
        return failures + ["the source's COPYING states no licence of liblzma that this check knows"]
    if ("liblzma is " + named) not in text:
        failures.append("LIBLZMA-SOURCE.txt does not say that liblzma is %s" % named)
    for name in ("xz.ztx", "x64/xz.ztx"):
        rc = subprocess.run([windres_for(name), "-J", "coff", "-O", "rc", "-i", os.path.join(unpacked, name)],
                            capture_output=True, text=True).stdout
        about = re.search(r'CONTROL "(xz\.ztx [^"]*)"', rc)
        legal = re.search(r'VALUE "LegalCopyright", "([^"]*)"', rc)
        for what, found in (("about text", about), ("LegalCopyright", legal)):
            if not found or named not in found.group(1) or other in found.group(1):
                failures.append("%s: the %s does not say that liblzma is %s: %r" %
                                (name, what, named, found.group(1) if found else None))
    return failures


def fix_failures(text):
    """Every fix of codec-fixes.py checked as present in the shipped source."""
    ids = subprocess.run([sys.executable, os.path.join(TOP, "scripts", "codec-fixes.py"), "--ids"],
                         capture_output=True, text=True, check=True).stdout.split()
    failures = []
    for fix in ids:
        if not re.search(r"^\s*ok\s+%s\b" % re.escape(fix), text, re.M):
            failures.append("LIBLZMA-SOURCE.txt does not show the fix %s as checked" % fix)
    if "NOT FOR RELEASE" in text:
        failures.append("LIBLZMA-SOURCE.txt says NOT FOR RELEASE")
    return failures


def built_revisions():
    """The Debian revisions the two liblzma builds record."""
    found = set()
    for bits in ("32", "64"):
        path = os.path.join(TOP, "build", "liblzma" + bits, "revision")
        found.add(open(path).read().strip() if os.path.isfile(path) else None)
    return found


def source_failures(unpacked):
    text = open(os.path.join(unpacked, "LIBLZMA-SOURCE.txt")).read()
    named = re.search(r"xz-utils, revision (\S+)", text)
    built = built_revisions()
    failures = []
    if not named or built != {named.group(1)}:
        failures.append("LIBLZMA-SOURCE.txt names %s; the builds are of %s" %
                        (named.group(1) if named else "no revision", sorted(map(str, built))))
    if "Patches applied" not in text:
        failures.append("LIBLZMA-SOURCE.txt lists no patches")
    failures += fix_failures(text)
    failures += licence_failures(unpacked, text)
    # Vista condition variables import these; the win95 kind uses an event
    # handle per condition variable, which the threaded decoder leaks.
    for name in ("liblzma.dll", "x64/liblzma.dll"):
        if b"SleepConditionVariableCS" not in open(os.path.join(unpacked, name), "rb").read():
            failures.append("%s: not built with vista threads" % name)
    return failures


def zip_failures(zip_path):
    with zipfile.ZipFile(zip_path) as z:
        infos = z.infolist()
    names = [i.filename for i in infos]
    failures = []
    if names != sorted(names):
        failures.append("zip entries are not sorted: %s" % names)
    times = {i.date_time for i in infos}
    if len(times) != 1:
        failures.append("zip entries carry %d different times" % len(times))
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if epoch is None:
        epoch = subprocess.run(["git", "-C", TOP, "log", "-1", "--format=%ct"],
                               capture_output=True, text=True).stdout.strip()
    if epoch and times:
        # DOS times count in steps of two seconds.
        expected = time.gmtime(int(epoch) & ~1)[:6]
        if times != {expected}:
            failures.append("zip time %s, expected the commit's %s" % (sorted(times), expected))
    extra = [i.filename for i in infos if i.extra]
    if extra:
        failures.append("zip entries with extra fields: %s" % extra)
    return failures


def main(dist):
    failures = []
    zip_path = os.path.join(dist, "xz-ztx-%s-windows.zip" % project_version())
    if not os.path.isfile(zip_path):
        print("FAIL: no %s" % zip_path)
        return 1

    listed = subprocess.run(["unzip", "-Z1", zip_path], capture_output=True, text=True,
                            check=True).stdout.split()
    if sorted(listed) != sorted(SHIPPED | {SUMS}):
        failures.append("zip holds %s; expected %s" % (sorted(listed), sorted(SHIPPED | {SUMS})))

    with tempfile.TemporaryDirectory() as unpacked:
        subprocess.run(["unzip", "-q", zip_path, "-d", unpacked], check=True)
        sums = open(os.path.join(unpacked, SUMS)).read().splitlines()
        summed = {line.split(None, 1)[1].lstrip("*") for line in sums if line.strip()}
        if summed != SHIPPED:
            failures.append("SHA256SUMS covers %s; expected %s" % (sorted(summed), sorted(SHIPPED)))
        check = subprocess.run(["sha256sum", "--check", "--strict", SUMS], cwd=unpacked,
                               capture_output=True, text=True)
        if check.returncode != 0:
            failures.append("sha256sum --check inside the zip:\n" + check.stdout + check.stderr)
        for name in sorted(SHIPPED):
            if not name.endswith((".ztx", ".dll", ".exe")) or name not in listed:
                continue
            folder = name[:name.rfind("/") + 1]
            found = machine_of(os.path.join(unpacked, name))
            if found != MACHINE[folder]:
                failures.append("%s: machine %s, expected 0x%04X" %
                                (name, "none" if found is None else "0x%04X" % found, MACHINE[folder]))
        if "LIBLZMA-SOURCE.txt" in listed:
            failures += source_failures(unpacked)
    failures += zip_failures(zip_path)

    for f in failures:
        print("FAIL:", f)
    print("%s: %d files, %s" % (os.path.basename(zip_path), len(listed),
                                "all checks passed" if not failures else "%d failures" % len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1]))
