"""Velkoran.efi against QEMU's built-in BMC (ipmi-bmc-sim), in one boot:
every job ends within seconds with its error line and class (the identity
for --bmc-info), and earlier files of the same names stay as they were."""

import pathlib
import sys
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import builtin_bmc as bb  # noqa: E402
import flows_support as fs  # noqa: E402
import harness  # noqa: E402
import independent_bmc as ib  # noqa: E402

COMMANDS = [f"Velkoran.efi {' '.join(args)} --status --log run.log" for _, args, _, _ in bb.RUNS]


class VelkoranEfiAgainstQemusBmc(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        if fs.missing_tools():
            raise RuntimeError(f"not available: {fs.missing_tools()}")
        cls.files = ib.earlier_files()
        cls.result = harness.run_boot(COMMANDS, files=cls.files,
                                      fetch=list(cls.files) + ["run.log"],
                                      builtin_bmc=True, timeout=150)

    def test_boot_ends_by_itself(self):
        self.assertFalse(self.result.timed_out, self.result.console[-2000:])

    def test_every_job_ends_with_its_line_and_class(self):
        for (name, _, wanted, outcome), invocation in zip(bb.RUNS, self.result.invocations):
            with self.subTest(name):
                output = invocation.output or ""
                self.assertEqual(ib.console_faults(output, wanted), [], output[-1500:])
                self.assertEqual(invocation.status, f"0x{outcome}")

    def test_each_ends_within_seconds(self):
        bb.assert_each_ended_within_seconds(
            self, (self.result.files["run.log"] or b"").decode(errors="replace"))

    def test_earlier_files_stay_as_they_were(self):
        for name, content in self.files.items():
            with self.subTest(name):
                self.assertEqual(self.result.files[name], content)


if __name__ == "__main__":
    unittest.main()
