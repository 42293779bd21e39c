"""Velkoran.efi against a BMC written without it in mind: OpenIPMI's ipmi_sim
behind QEMU's KCS interface, in one boot. It has the standard commands only,
so the update (with --wait-bmc, which reports its firmware revision), the
backup, the restore and the dump must each end within seconds with their
error line and the refused outcome, and leave earlier files of the same
names as they were."""

import pathlib
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import flows_support as fs  # noqa: E402
import harness  # noqa: E402
import independent_bmc as ib  # noqa: E402

COMMANDS = [f"Velkoran.efi {' '.join(args)} --status --log run.log" for _, args, _ in ib.RUNS]


class VelkoranEfiAgainstIpmiSim(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        if fs.missing_tools() + ib.missing():
            raise RuntimeError(f"not available: {fs.missing_tools() + ib.missing()}")
        cls.work = pathlib.Path(tempfile.mkdtemp(prefix="velkoran-ipmi-sim-"))
        cls.files = ib.earlier_files()
        cls.result = harness.run_boot(COMMANDS, files=cls.files,
                                      fetch=list(cls.files) + ["run.log"],
                                      bmcsim=ib.bmc(cls.work), timeout=150)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def test_boot_ends_by_itself(self):
        self.assertFalse(self.result.timed_out, self.result.console[-2000:])

    def test_every_job_ends_with_its_error_line_and_refused(self):
        for (name, _, wanted), invocation in zip(ib.RUNS, self.result.invocations):
            with self.subTest(name):
                output = invocation.output or ""
                self.assertEqual(ib.console_faults(output, wanted), [], output[-1500:])
                self.assertEqual(invocation.status, f"0x{ib.REFUSED}")

    def test_each_ends_within_seconds(self):
        ib.assert_each_ended_within_seconds(self, (self.result.files["run.log"] or b"").decode(errors="replace"))

    def test_earlier_files_stay_as_they_were(self):
        for name, content in self.files.items():
            with self.subTest(name):
                self.assertEqual(self.result.files[name], content)


if __name__ == "__main__":
    unittest.main()
