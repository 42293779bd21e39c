"""Ctrl-C (SIGINT) to velkoran, the Linux build, during an update, against
bmcsim on the host (no QEMU): while the image is being sent the update fails
as other failures do, with the cold reset; while the BMC programs its flash
the program leaves without one and says why. Either way the program then
ends by the signal."""

import json
import os
import pathlib
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import flows_support as fs  # noqa: E402
import linux_guest  # noqa: E402

RECEIVE_FAILED = 'ERROR:SEND "ReceiveFWData" COMMAND TO BMC FAILED\n'
UNSETTLED = ("WARNING: DO NOT REMOVE THE POWER: THE BMC MAY STILL BE PROGRAMMING ITS FLASH; "
             "CHECK IT LATER WITH velkoran --bmc-info\n")


def interrupted_update(work: pathlib.Path, after: str, progress: str) -> tuple[int, str, str, dict]:
    """Runs an update of a 2 MiB image, sends SIGINT once stdout shows
    `after`, and returns the exit status, stdout, stderr and bmcsim's report."""
    image, _ = fs.make_image(work, "big.bin", [(2 << 20, 0)])
    socket, report = work / "bmc.sock", work / "report.json"
    sim = linux_guest.start_bmcsim(socket, ["--fw-report", str(report), "--fw-progress", progress],
                                   work)
    try:
        program = subprocess.Popen([str(linux_guest.VELKORAN), "-f", str(image),
                                    "--report", "run.json"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=work,
                                   env=dict(os.environ, VELKORAN_BMC=f"unix:{socket}"))
        seen = b""
        deadline = time.monotonic() + 60
        while after.encode() not in seen and time.monotonic() < deadline:
            chunk = os.read(program.stdout.fileno(), 4096)
            if not chunk:
                break
            seen += chunk
        program.send_signal(signal.SIGINT)
        rest, errors = program.communicate(timeout=60)
    finally:
        sim.send_signal(signal.SIGTERM)
        sim.wait(timeout=20)
    return program.returncode, (seen + rest).decode(), errors.decode(), fs.load_report(report)


class InterruptedUpdate(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        for tool in (fs.BMCSIM, fs.IMAGE_TOOL, linux_guest.VELKORAN):
            if not tool.exists():
                self.fail(f"{tool} is not built")
        self.work = tempfile.TemporaryDirectory(prefix="velkoran-interrupt-")

    def tearDown(self):
        self.work.cleanup()

    def test_while_sending_the_update_fails_with_the_cold_reset(self):
        status, out, errors, report = interrupted_update(pathlib.Path(self.work.name),
                                                         "Load part 0", "100")
        self.assertEqual(status, -signal.SIGINT)
        self.assertTrue(out.endswith(RECEIVE_FAILED + "Execute Cold Reset Success\n"), out[-300:])
        self.assertIn("interrupted: the update stops here", errors)
        self.assertEqual(report.get("coldResets"), 1, report)
        self.assertFalse(report.get("updateComplete"), report)

    def test_while_the_bmc_programs_its_flash_no_reset(self):
        status, out, errors, report = interrupted_update(pathlib.Path(self.work.name),
                                                         "new firmware is updating...10%",
                                                         "10,20,30,40,50,60,70,80,90,100")
        self.assertEqual(status, -signal.SIGINT)
        self.assertNotIn("Cold Reset", out)
        self.assertIn("interrupted while the BMC writes its new firmware", errors)
        self.assertIn(UNSETTLED, out)
        run = json.loads((pathlib.Path(self.work.name) / "run.json").read_text())
        self.assertEqual(run["outcome"], {"class": 8, "name": "unsettled"})
        self.assertEqual(run["errors"][-1], UNSETTLED.strip())
        self.assertEqual(report.get("coldResets"), 0, report)
        self.assertTrue(report.get("updateComplete"), report)


if __name__ == "__main__":
    unittest.main()
