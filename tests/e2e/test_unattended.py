"""Unattended use of Velkoran.efi in QEMU, in one boot against a bmcsim that
reboots for a few seconds after an update: a shell script runs the update
with --status, --log and --wait-bmc and branches on %lasterror%; dumps are
verified against the image they hold and against another; the USB variant
runs with --yes and no key typed. The log is copied back and read."""

import pathlib
import re
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import flows_support as fs  # noqa: E402
import harness  # noqa: E402

# The update script of doc/unattended.md, as a file of its own
# so that %lasterror% is the program's status when the script tests it.
UPDATE_SCRIPT = "\r\n".join([
    "Velkoran.efi -f plain.bin --status --log run.log --wait-bmc=120",
    "if %lasterror% == 0x0 then",
    "  echo UPDATE OK",
    "else",
    "  echo UPDATE FAILED WITH STATUS %lasterror%",
    "endif",
    ""]).encode("ascii")

COMMANDS = [
    "update.nsh",
    "Velkoran.efi -d same.bin --verify plain.bin --status --log run.log",
    "Velkoran.efi -d second.bin --verify other.bin --status",
    "Velkoran.efi -i usb -f plain.bin --yes --status",
]
UPDATE, SAME, OTHER, USB = range(4)
REBOOT_SECONDS = 8


class UnattendedInQemu(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if fs.missing_tools():
            raise RuntimeError(f"host tools not built: {fs.missing_tools()}")
        cls.work = pathlib.Path(tempfile.mkdtemp(prefix="velkoran-unattended-"))
        cls.plain, cls.plain_info = fs.make_image(cls.work, "plain.bin", [(20000, 0), (12000, 0x5000)])
        cls.other, _ = fs.make_image(cls.work, "other.bin", [(20000, 0), (12000, 0x5000)], seed=9)
        options = ["--firmware", "--fw-revision", "7.12", "--reboot-seconds", str(REBOOT_SECONDS)]
        cls.result = harness.run_boot(
            COMMANDS, files={"plain.bin": cls.plain, "other.bin": cls.other,
                             "update.nsh": UPDATE_SCRIPT},
            fetch=["run.log", "same.bin"], bmcsim=harness.BmcSim(fs.bmcsim_argv(options)),
            timeout=500)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    maxDiff = None

    def output(self, index: int) -> str:
        return self.result.invocations[index].output or ""

    def test_boot_ends_by_itself(self):
        self.assertFalse(self.result.timed_out, self.result.console[-3000:])

    def test_script_sees_success_after_the_bmc_came_back(self):
        out = self.output(UPDATE)
        self.assertIn("BMC firmware revision before the update: 7.12\n", out)
        came_back = re.search(r"BMC answered after (\d+) seconds: firmware revision 7\.13, "
                              r"before 7\.12\n", out)
        self.assertIsNotNone(came_back, out[-1500:])
        # It was silent for the reboot, and the transport bound is all a
        # question can add to the 5-second steps.
        self.assertGreaterEqual(int(came_back.group(1)), REBOOT_SECONDS)
        self.assertLessEqual(int(came_back.group(1)), REBOOT_SECONDS + 20)
        self.assertTrue(out.endswith("UPDATE OK\n"), out[-500:])

    def test_statuses_are_the_outcome_classes(self):
        statuses = [inv.status for inv in self.result.invocations]
        # update.nsh's own status is its last command's (echo).
        self.assertEqual(statuses[SAME:], ["0x0", "0x5", "0x2"])

    def test_verify_verdicts(self):
        self.assertIn("Region 0 at 0x0, 20000 bytes: equal\n"
                      "Region 1 at 0x5000, 12000 bytes: equal\n", self.output(SAME))
        self.assertRegex(self.output(OTHER), r"Region 0 at 0x0, 20000 bytes: \d+ bytes differ, "
                                             r"the first at 0x[0-9a-f]+\n")
        self.assertEqual(fs.region_mismatches(self.result.files["same.bin"], self.plain.read_bytes(),
                                              self.plain_info["regions"]), [])

    def test_usb_prompt_answered_without_a_key(self):
        self.assertTrue(self.output(USB).endswith(
            "Press any to continue name plain.bin\n(answered by --yes)\n"
            "the file size of the firmware image is not correct!\n"), self.output(USB)[-300:])

    def test_log_holds_both_runs(self):
        log = (self.result.files["run.log"] or b"").decode("utf-8", errors="replace")
        records = re.findall(r"^\[velkoran\] start \d{4}-\d\d-\d\d \d\d:\d\d:\d\d version 2\.08 "
                             r"command: (.*)\n", log, re.M)
        self.assertEqual(records, [r"FS0:\Velkoran.efi -f plain.bin --status --log run.log --wait-bmc=120",
                                   r"FS0:\Velkoran.efi -d same.bin --verify plain.bin --status --log run.log"])
        ends = re.findall(r"^\[velkoran\] end \S+ \S+ outcome (\d) (\S+) elapsed (\d+) s$", log, re.M)
        self.assertEqual([(n, name) for n, name, _ in ends], [("0", "success"), ("0", "success")])
        self.assertGreaterEqual(int(ends[0][2]), REBOOT_SECONDS)
        self.assertIn("\nLoad part 2   262144 bytes, [Ok]\n", log)
        self.assertIn("\nnew firmware is updating...100%\n", log)
        self.assertNotIn("\r", log)


if __name__ == "__main__":
    unittest.main()
