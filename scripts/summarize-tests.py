#!/usr/bin/env python3
"""Adds up the GoogleTest XML reports of all suites into one closing line, after
the figures (sweep counts, load and leak numbers) the tests recorded."""
import glob
import os
import sys
import xml.etree.ElementTree as ET


def figures_of(case):
    """A test's recorded figures, numbered figures_1, figures_2, ...: as
    <property> rows in newer GoogleTest reports, as attributes in older ones."""
    found = {p.get("name"): p.get("value") for p in case.iter("property")}
    found.update(case.attrib)
    keys = [k for k in found if k.startswith("figures_") and k[8:].isdigit()]
    return [found[k] for k in sorted(keys, key=lambda k: int(k[8:]))]


def main(dirs, unreported=0):
    passed = skipped = 0
    # Programs that failed without writing a report (a crash, a timeout).
    failed = unreported
    figures = []
    seen = set()
    for d in dirs:
        for path in sorted(glob.glob(os.path.join(d, "**", "*.xml"), recursive=True)):
            real = os.path.realpath(path)
            if real in seen:
                continue
            seen.add(real)
            root = ET.parse(path).getroot()
            for case in root.iter("testcase"):
                figures += figures_of(case)
                if case.find("failure") is not None or case.find("error") is not None:
                    failed += 1
                elif case.get("result") == "skipped" or case.find("skipped") is not None:
                    skipped += 1
                else:
                    passed += 1
    for line in figures:
        print(f"  {line}")
    print(f"tests: {passed} passed, {failed} failed, {skipped} skipped")
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    args = sys.argv[1:]
    unreported = 0
    if args[:1] == ["--unreported"]:
        unreported = int(args[1])
        args = args[2:]
    sys.exit(main(args, unreported))
