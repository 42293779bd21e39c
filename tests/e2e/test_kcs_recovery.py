"""Velkoran.efi -f in QEMU after another program left QEMU's KCS interface in
the error state, in the middle of a request or in the middle of a reply
(tests/uefi/kcs_leave.cpp): each update must reach bmcsim's kept flash byte
for byte and print exactly what the host build prints, no error line."""

import os
import pathlib
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import flows_support as fs  # noqa: E402
import harness  # noqa: E402

LEFTOVERS = {"error": "0xc1", "write": "0x81", "read": "0x40"}


class UpdateAfterAnInterfaceLeftOutOfIdle(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if fs.missing_tools():
            raise RuntimeError(f"host tools not built: {fs.missing_tools()}")
        cls.work = pathlib.Path(tempfile.mkdtemp(prefix="velkoran-recovery-"))
        cls.image, cls.info = fs.make_image(cls.work, "img.bin", [(7000, 0), (3000, 0x2000)])
        cls.options = ["--fw-flash-out", str(cls.work / "flash-{update}.bin")]
        cls.commands = []
        for where in LEFTOVERS:
            cls.commands += [f"kcs_leave.efi {where}", "Velkoran.efi -f img.bin"]
        efi = pathlib.Path(os.environ.get("VELKORAN_EFI", harness.DEFAULT_EFI))
        leave_app = efi.parent / "kcs_leave.efi"
        cls.result = harness.run_boot(
            cls.commands, files={"img.bin": cls.image, "kcs_leave.efi": leave_app},
            bmcsim=harness.BmcSim(fs.bmcsim_argv(cls.options)), timeout=300)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    maxDiff = None

    def test_each_update_is_whole_and_prints_what_the_host_build_prints(self):
        expected = fs.host_console(["-f", "img.bin"], ["--firmware"], self.work)
        self.assertIn("Update Complete", expected)
        for update, where in enumerate(LEFTOVERS, start=1):
            with self.subTest(where):
                left = self.result.invocations[2 * update - 2].output or ""
                self.assertEqual(left, f"KCS LEFT {where} status {LEFTOVERS[where]}\n",
                                 self.result.console[-2000:])
                self.assertEqual(self.result.invocations[2 * update - 1].output, expected)
                flash = self.work / f"flash-{update}.bin"
                self.assertEqual(fs.region_mismatches(
                    flash.read_bytes() if flash.exists() else None,
                    self.image.read_bytes(), self.info["regions"]), [])


if __name__ == "__main__":
    unittest.main()
