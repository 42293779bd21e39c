#!/usr/bin/env python3
"""velkoran-image build, then inspect --json: the regions must be those the
table describes. Usage: roundtrip_test.py PATH/TO/velkoran-image"""
import json
import os
import subprocess
import sys
import tempfile

TOOL = sys.argv[1]
PAGE = 0x8000
TABLE_REGION = {"offset": None, "blockLength": 0x40000, "length": 0x40000}


def region(offset, length):
    return {"offset": offset, "blockLength": (length + 0xFFFF) // 0x10000 * 0x10000, "length": length}


def table_region(offset):
    return dict(TABLE_REGION, offset=offset)


def run(*args):
    return subprocess.run([TOOL, *args], capture_output=True, text=True)


def check_compare(work, a, b):
    """compare: equal, one byte changed, a dump cut short; exit 0, 1, 1."""
    image = os.path.join(work, "cmp.bin")
    run("build", "-o", image, f"{a}@0", f"{b}@0x5000")
    with open(image, "rb") as f:
        data = f.read()
    changed = bytearray(data)
    changed[0x5010] ^= 0xFF
    cases = [("equal dump", data, 0, [None, None, None]),
             ("one byte changed", bytes(changed), 1, [None, 0x5010, None]),
             ("dump cut short", data[:0x5000], 1, [None, 0x5000, 0x8000])]
    failures = 0
    for name, dump_bytes, status, firsts in cases:
        dump = os.path.join(work, "dump.bin")
        with open(dump, "wb") as f:
            f.write(dump_bytes)
        text, js = run("compare", image, dump), run("compare", "--json", image, dump)
        got = json.loads(js.stdout) if js.stdout else {}
        ok = (text.returncode == status and js.returncode == status and
              [r["firstDifference"] for r in got.get("regions", [])] == firsts and
              got.get("equal") == (status == 0) and
              len(text.stdout.splitlines()) == 3 and ("differ" in text.stdout) == (status == 1))
        failures += not ok
        print(f"{'ok  ' if ok else 'FAIL'} compare: {name} {text.returncode} {text.stdout.strip()}")
    return failures


def main():
    failures = 0
    with tempfile.TemporaryDirectory() as work:
        def part(name, size):
            path = os.path.join(work, name)
            with open(path, "wb") as f:
                f.write(os.urandom(size))
            return path

        a, b, web = part("a.bin", 20000), part("b.bin", 12000), part("web.bin", 5000)
        nine = [part(f"p{i}.bin", 100) + f"@{i * 0x100:#x}" for i in range(8)]
        bad_table = os.path.join(work, "bad.txt")
        with open(bad_table, "w") as f:
            f.write("[img]: 0 100 0 a\n")
        cases = [
            ("plain", [f"{a}@0", f"{b}@0x5000"], 0,
             {"tablePages": 1, "regions": [region(0, 20000), region(0x5000, 12000), table_region(0x8000)]}),
            ("enciphered", ["--encipher", f"{a}@0", f"{b}@0x5000"], 0,
             {"tablePages": 1, "regions": [region(0, 20000), region(0x5000, 12000), table_region(0x8000)]}),
            ("webfs size listed short", ["--encipher", f"{web}@0x100:out_webfs_img.bin", "--table-offset", "0"], 0,
             {"tablePages": 1, "regions": [region(0x100, 5000), table_region(0)]}),
            ("two table pages", [f"{b}@0x100", "--table-offset", "0", "--table-offset", "0x10000", "--encipher"], 0,
             {"tablePages": 2, "regions": [region(0x100, 12000), table_region(0),
                                           region(0x100, 12000), table_region(0x10000)]}),
            ("no table", ["--no-table", f"{a}@0"], 1, {"tablePages": 0, "regions": []}),
            ("malformed table", ["--table-text", bad_table, f"{a}@0"], 1, {"tablePages": 0, "regions": []}),
            ("nine regions refused", nine, 1, {"tablePages": 0, "regions": []}),
        ]
        for name, args, status, expected in cases:
            image = os.path.join(work, "image.bin")
            built = run("build", "-o", image, *args)
            inspected = run("inspect", "--json", image)
            got = json.loads(inspected.stdout) if inspected.stdout else {}
            ok = (built.returncode == 0 and inspected.returncode == status and
                  {k: got.get(k) for k in expected} == expected)
            if name == "nine regions refused":
                ok = ok and any("more than 8 regions" in w for w in got.get("warnings", []))
            if name == "malformed table":
                ok = ok and any("image format err" in w for w in got.get("warnings", []))
            if not ok:
                failures += 1
                print(f"FAIL {name}: build {built.returncode} {built.stderr.strip()}; "
                      f"inspect {inspected.returncode} {inspected.stdout.strip()}")
            else:
                print(f"ok   {name}")

        failures += check_compare(work, a, b)

        errors = [
            ("unreadable image", ["inspect", os.path.join(work, "missing.bin")], "cannot open"),
            ("directory", ["inspect", work], "is a directory"),
            ("no output", ["build", f"{a}@0"], "no output file"),
            ("bad offset", ["build", "-o", os.path.join(work, "x.bin"), f"{a}@zz"], "bad offset"),
            ("unaligned table", ["build", "-o", os.path.join(work, "x.bin"), "--table-offset", "0x100", f"{a}@0"],
             "not a multiple"),
            ("overlap", ["build", "-o", os.path.join(work, "x.bin"), f"{a}@0", f"{b}@0x100"], "overlaps"),
            ("too long to encipher", ["build", "-o", os.path.join(work, "x.bin"), "--encipher",
                                      *[f"{a}@{i * 0x10000:#x}:{'n' * 60}{i}" for i in range(3)]], "at most 192"),
            ("unknown command", ["frobnicate"], "unknown command"),
            ("compare needs two files", ["compare", a], "an IMAGE and a DUMP"),
            ("compare an image without a table", ["compare", a, a], "no image table"),
        ]
        for name, args, message in errors:
            result = run(*args)
            if result.returncode != 2 or message not in result.stderr:
                failures += 1
                print(f"FAIL {name}: {result.returncode} {result.stderr.strip()}")
            else:
                print(f"ok   {name}")

        # A verdict that cannot be written out is a failure, not an answer.
        image = os.path.join(work, "cmp.bin")
        for args in (["compare", image, image], ["compare", "--json", image, image], ["inspect", image]):
            with open("/dev/full", "w") as full:
                result = subprocess.run([TOOL, *args], stdout=full, stderr=subprocess.PIPE, text=True)
            ok = result.returncode == 2 and "cannot write the output" in result.stderr
            failures += not ok
            label = ' '.join(a for a in args if a != image)
            print(f"{'ok  ' if ok else 'FAIL'} {label} to a full stdout: {result.returncode}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
