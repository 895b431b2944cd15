#!/usr/bin/env python3
"""Checks the shipped module without running it: its machine type, that it
exports exactly the host interface under undecorated names, and that it
imports nothing but system DLLs.

usage: check-pe.py OBJDUMP MACHINE MODULE EXPORTS_FILE
"""
import re
import subprocess
import sys

SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "user32.dll", "gdi32.dll"}


def main(objdump, machine, module, exports_file):
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

    for f in failures:
        print("FAIL:", f)
    print(f"{module}: pei-{machine}, {len(exported)} exports, imports {sorted(imports)}")
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
