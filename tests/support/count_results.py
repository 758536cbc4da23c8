#!/usr/bin/env python3
"""Adds up the results of every test program: a GoogleTest XML report counts its cases; a
ctest entry without a report (a script, or a program that died) counts as one case."""
import os
import sys
import xml.etree.ElementTree as ET

passed = failed = skipped = 0
for d in sys.argv[1:]:
    junit = os.path.join(d, "ctest.junit")
    if not os.path.exists(junit):
        print(f"no ctest results in {d}")
        failed += 1
        continue
    for case in ET.parse(junit).getroot().iter("testcase"):
        name = case.get("name")
        status = case.get("status", "run")
        ok = case.find("failure") is None and case.find("error") is None and status != "fail"
        report = os.path.join(d, name + ".xml")
        if ok and os.path.exists(report):
            root = ET.parse(report).getroot()
            t = int(root.get("tests", 0))
            f = int(root.get("failures", 0)) + int(root.get("errors", 0))
            s = int(root.get("disabled", 0)) + sum(1 for c in root.iter("testcase") if c.find("skipped") is not None)
            passed += t - f - s
            failed += f
            skipped += s
        elif status == "notrun" or case.find("skipped") is not None:
            skipped += 1
        elif ok:
            passed += 1
        else:
            print(f"FAILED: {d}: {name}")
            if os.path.exists(report):
                root = ET.parse(report).getroot()
                t = int(root.get("tests", 0))
                f = int(root.get("failures", 0)) + int(root.get("errors", 0))
                passed += t - f
                failed += max(f, 1)
            else:
                failed += 1
line = f"{passed} passed, {failed} failed"
if skipped:
    line += f", {skipped} skipped"
print(line)
sys.exit(1 if failed else 0)
