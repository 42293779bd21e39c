"""An update whose chunks bmcsim answers "node busy" (0xC0) every time, in
QEMU's shell: Velkoran.efi sends each refused chunk again a few times, then
ends with the error line that names the command and the code, cold-resets
the BMC and gives status 0x4 under --status; no region is taken. The text
is the host build's for the same run."""

import pathlib
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import flows_support as fs  # noqa: E402
import harness  # noqa: E402

COMMAND = "Velkoran.efi -f plain.bin --status"
REFUSED = 'ERROR:THE BMC REFUSED "ReceiveFWData" WITH COMPLETION CODE 0xC0\n'


class RefusedUploadInQemu(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        if fs.missing_tools():
            raise RuntimeError(f"host tools not built: {fs.missing_tools()}")
        cls.work = pathlib.Path(tempfile.mkdtemp(prefix="velkoran-refused-"))
        cls.plain, _ = fs.make_image(cls.work, "plain.bin", [(2000, 0), (1000, 0x1000)])
        cls.faults = ["--firmware", "--completion-code", "F8:15=C0"]
        cls.result = harness.run_boot(
            [COMMAND], files={"plain.bin": cls.plain},
            bmcsim=harness.BmcSim(fs.bmcsim_argv(
                cls.faults + ["--fw-report", str(cls.work / "report.json")])),
            timeout=300)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def test_refused_chunks_end_the_update_with_the_cold_reset_and_status_4(self):
        self.assertFalse(self.result.timed_out, self.result.console[-3000:])
        invocation = self.result.invocations[0]
        output = invocation.output or ""
        self.assertTrue(output.endswith(REFUSED + "Execute Cold Reset Success\n"), output[-500:])
        self.assertNotIn("Update Complete", output)
        self.assertEqual(invocation.status, "0x4")
        self.assertEqual(output, fs.host_console(COMMAND.split()[1:], self.faults, self.work))
        report = fs.load_report(self.work / "report.json")
        self.assertEqual(report.get("coldResets"), 1, report)
        self.assertFalse(report.get("updateComplete"), report)


if __name__ == "__main__":
    unittest.main()
