"""velkoran, the Linux build, over the external-BMC link (VELKORAN_BMC=unix:)
prints what velkoran-sim prints over its simulated KCS device, for answers
that go wrong in different ways (no QEMU; real delays, so few cases); and
the ways to the BMC it refuses, with a reason on stderr."""

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


class RefusedWays(unittest.TestCase):
    def test_each_stops_after_the_echo_with_its_reason(self):
        cases = [
            ({"VELKORAN_BMC": "sim"}, "VELKORAN_BMC=sim: this program has no simulated BMC "
                                         "(the test build velkoran-sim has)"),
            ({"VELKORAN_BMC": "bmc.sock"}, 'VELKORAN_BMC="bmc.sock" is not unix:PATH or tcp:HOST:PORT'),
            ({"VELKORAN_BMC": "unix:/" + "s" * 107},
             "VELKORAN_BMC: the socket path is 108 bytes long, longer than the 107 a UNIX "
             "socket takes"),
            ({"VELKORAN_IPMI_DEVICE": "/nonexistent/ipmi9"},
             "cannot open the IPMI device /nonexistent/ipmi9: No such file or directory"),
        ]
        for variables, reason in cases:
            with self.subTest(reason), tempfile.TemporaryDirectory() as scratch:
                env = {k: v for k, v in os.environ.items() if not k.startswith("VELKORAN_")}
                run = subprocess.run(["velkoran", "-d", "dump.bin"], cwd=scratch,
                                     executable=str(linux_guest.VELKORAN), capture_output=True,
                                     timeout=30, env=dict(env, **variables))
                self.assertTrue(run.stdout.decode().endswith("\nvelkoran -d dump.bin \n"))
                self.assertEqual(run.stderr.decode(), f"velkoran: {reason}\n")
                self.assertEqual(os.listdir(scratch), [])


if __name__ == "__main__":
    unittest.main()
