#!/usr/bin/env python3
"""Checks a release folder made by make-dist.sh: the zip named after the
project's version holds exactly the shipped files, SHA256SUMS covers every
one of them and verifies inside the unpacked zip, and each folder holds
Windows files of its own word size only.

usage: check-dist.py DIST_DIR
"""
import os
import re
import struct
import subprocess
import sys
import tempfile

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# What a user gets: the 32-bit module at the top, the 64-bit one in x64/.
SHIPPED = {
    "xz.ztx", "liblzma.dll", "ztxhost.exe",
    "x64/xz.ztx", "x64/liblzma.dll", "x64/ztxhost.exe",
    "INSTALL.txt", "LICENSE.liblzma", "LICENSE.zlib",
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


def main(dist):
    failures = []
    zip_path = os.path.join(dist, "xz-ztx-%s-win32.zip" % project_version())
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

    for f in failures:
        print("FAIL:", f)
    print("%s: %d files, %s" % (os.path.basename(zip_path), len(listed),
                                "all checks passed" if not failures else "%d failures" % len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1]))
