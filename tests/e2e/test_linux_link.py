"""velkoran, the Linux build, over the external-BMC link (VELKORAN_BMC=unix:)
prints what velkoran-sim prints over its simulated KCS device, for answers
that go wrong in different ways (no QEMU; real delays, so few cases)."""

import os
import pathlib
import random
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import flows_support as fs  # noqa: E402
import harness  # noqa: E402
import linux_guest  # noqa: E402

CASES = [
    ("update", ["-f", "image.bin"], ["--firmware"]),
    ("kind 1", ["-f", "image.bin"], ["--fw-info-code", "0xC1"]),
    ("rejected region", ["-f", "image.bin"], ["--fw-reject", "1:1"]),
    ("replies too short: QEMU's own 0xC3", ["-f", "image.bin"], ["--reply-length", "2"]),
    ("failed backup task", ["-c", "-d", "backup.bin"],
     ["--config-store", "served.bin", "--config-fail-at", "2"]),
    ("restore", ["-c", "-f", "served.bin"], ["--config-store", "served.bin"]),
]


def console(program: pathlib.Path, args: list[str], options: list[str], work: pathlib.Path) -> str:
    socket = work / "bmc.sock"
    sim = linux_guest.start_bmcsim(socket, options, work)
    try:
        run = subprocess.run(["velkoran"] + args, executable=str(program), cwd=work,
                             capture_output=True, timeout=120,
                             env=dict(os.environ, VELKORAN_BMC=f"unix:{socket}"))
    finally:
        harness._stop(sim)
    return run.stdout.decode(errors="replace")


class SameTextOverTheLink(unittest.TestCase):
    maxDiff = None

    def test_each_case(self):
        missing = fs.missing_tools() + [str(p) for p in [linux_guest.VELKORAN] if not p.exists()]
        if missing:
            self.fail(f"host tools not built: {missing}")
        with tempfile.TemporaryDirectory(prefix="velkoran-linux-link-") as scratch:
            work = pathlib.Path(scratch)
            fs.make_image(work, "image.bin", [(9000, 0), (3000, 0x4000)])
            rng = random.Random(11)
            (work / "served.bin").write_bytes(bytes(rng.randrange(256) for _ in range(700)))
            for name, args, options in CASES:
                with self.subTest(name):
                    expected = console(fs.HOST_VELKORAN, args, options, work)
                    self.assertIn(" \n", expected)  # the echo line: the run got going
                    self.assertEqual(console(linux_guest.VELKORAN, args, options, work), expected)


if __name__ == "__main__":
    unittest.main()
