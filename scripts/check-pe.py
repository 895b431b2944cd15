#!/usr/bin/env python3
"""Checks the shipped module without running it: its machine type, that it
exports exactly the host interface under undecorated names, that it
imports nothing but system DLLs, and, given windres, that its version
resource carries the project's version and names its word size.

usage: check-pe.py OBJDUMP MACHINE MODULE EXPORTS_FILE [WINDRES VERSION BITS]
       check-pe.py --version-only WINDRES FILE VERSION BITS
"""
import re
import subprocess
import sys

SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "user32.dll", "gdi32.dll"}


def version_failures(windres, module, version, bits):
    """The version resource as windres decompiles it from the file."""
    rc = subprocess.run([windres, "-J", "coff", "-O", "rc", "-i", module],
                        capture_output=True, text=True, check=True).stdout
    values = dict(re.findall(r'VALUE "(\w+)", "([^"]*)"', rc))
    failures = []
    if values.get("FileVersion") != version:
        failures.append(f"version resource: FileVersion {values.get('FileVersion')!r}, expected {version!r}")
    # A host of the other word size cannot load the module; the file says which it is.
    description = values.get("FileDescription", "")
    if not description.endswith(f"{bits}-bit"):
        failures.append(f"version resource: FileDescription {description!r} does not name {bits}-bit")
    return failures


def main(objdump, machine, module, exports_file, windres=None, version=None, bits=None):
    header = subprocess.run([objdump, "-f", module], capture_output=True, text=True, check=True).stdout
    tables = subprocess.run([objdump, "-p", module], capture_output=True, text=True, check=True).stdout
    failures = []

    if f"file format pei-{machine}" not in header:
        failures.append(f"not a pei-{machine} file:\n{header}")

    expected = {line.strip() for line in open(exports_file) if line.strip()}
    section = tables.split("[Ordinal/Name Pointer] Table", 1)
    exported = set()
    if len(section) == 2:
        for line in section[1].splitlines()[1:]:
            m = re.match(r"\s*\[\s*\d+\]\s+(\S+)", line)
            if not m:
                break
            exported.add(m.group(1))
    decorated = sorted(n for n in exported if "@" in n or n.startswith("_"))
    if decorated:
        failures.append(f"decorated export names: {decorated}")
    if exported != expected:
        failures.append(f"exports differ: missing {sorted(expected - exported)}, extra {sorted(exported - expected)}")

    imports = {m.lower() for m in re.findall(r"DLL Name: (\S+)", tables)}
    foreign = sorted(imports - SYSTEM_DLLS)
    if foreign:
        failures.append(f"imports non-system DLLs: {foreign}")
    if not imports:
        failures.append("no import table found")

    if windres:
        failures += version_failures(windres, module, version, bits)

    for f in failures:
        print("FAIL:", f)
    print(f"{module}: pei-{machine}, {len(exported)} exports, imports {sorted(imports)}")
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) == 6 and sys.argv[1] == "--version-only":
        _, _, windres, path, version, bits = sys.argv
        found = version_failures(windres, path, version, bits)
        for f in found:
            print("FAIL:", f)
        print(f"{path}: version resource {'checked' if not found else 'wrong'}")
        sys.exit(1 if found else 0)
    if len(sys.argv) not in (5, 8):
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
