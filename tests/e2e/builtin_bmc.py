"""QEMU's built-in BMC (-device ipmi-bmc-sim behind isa-ipmi-kcs) as a third
BMC that nobody here wrote: standard commands only (every OEM request of
Velkoran's gets 0xC1), Cold Reset accepted, firmware revision 0.00.

RUNS are the jobs each suite runs against it, in one boot: (name, the
program's arguments, what its console must hold, the outcome class). The
update, backup, restore and dump are refused (class 4) within seconds and
leave earlier files as they were; --bmc-info reads the BMC's identity."""

from __future__ import annotations

import re

import independent_bmc as ib

REVISION = "0.00"
RUNS = [
    ("update", ["-f", "image.bin", "--wait-bmc=30"],
     [f"BMC firmware revision before the update: {REVISION}\n",
      "Please select the correct image file and try again.\n",
      re.compile(rf"BMC answered after \d+ seconds: firmware revision {re.escape(REVISION)}, "
                 rf"before {re.escape(REVISION)}\n")], ib.REFUSED),
    ("backup", ["-c", "-d", "backup.bin"], ["Error: doIPMICmd failed\nOperation Failed.\n"],
     ib.REFUSED),
    ("restore", ["-c", "-f", "restore.bin"], ["Error: doIPMICmd failed\nOperation Failed.\n"],
     ib.REFUSED),
    ("info", ["--bmc-info"], [f"BMC firmware revision: {REVISION}\n"], 0),
    # Last in a boot: without an end on 0xC1 it asks for ever.
    ("dump", ["-d", "dump.bin"], ["ERROR:EXECUTE PREPARE DUMP FLASH FAILED\n"], ib.REFUSED),
]


def assert_each_ended_within_seconds(test, log: str) -> None:
    elapsed = ib.elapsed_seconds(log)
    test.assertEqual(len(elapsed), len(RUNS), log[-1500:])
    test.assertLessEqual(max(elapsed), ib.SECONDS_BOUND, elapsed)
