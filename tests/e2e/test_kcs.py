"""The KCS transport in real firmware: tests/uefi/kcsprobe.cpp in QEMU, talking
through QEMU's ipmi-bmc-extern device to bmcsim --probe."""

import os
import pathlib
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import harness  # noqa: E402

CHECKS = [
    "kcs.cfg ports", "special bytes both ways", "125-byte reply", "62-byte request",
    "completion code passed through", "QEMU answers for a silent BMC", "overlong reply fails",
    "transfer after a failed one", "cold reset",
    "wb over a longer file, read bytewise to the end", "seek to the end and tell", "token read",
    "timer fires", "stall waits",
]


def bmcsim_path() -> pathlib.Path:
    if "VELKORAN_BMCSIM" in os.environ:
        return pathlib.Path(os.environ["VELKORAN_BMCSIM"])
    if "VELKORAN_HOST" in os.environ:
        return pathlib.Path(os.environ["VELKORAN_HOST"]).parent / "bmcsim"
    return harness.REPO / "build" / "host" / "bmcsim"


class KcsInFirmware(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        efi = pathlib.Path(os.environ.get("VELKORAN_EFI", harness.DEFAULT_EFI))
        cls.tmp = tempfile.TemporaryDirectory(prefix="velkoran-kcs-")
        journal = pathlib.Path(cls.tmp.name) / "journal.txt"
        files = {
            "kcsprobe.efi": efi.parent / "kcsprobe.efi",
            "kcs.cfg": b"CMD CA3\r\nDATA CA2\r\n",
            "long.txt": b"an older and much longer content\r\n" * 4,
        }
        sim = harness.BmcSim([str(bmcsim_path()), "--listen", "unix:{socket}", "--probe",
                              "--journal", str(journal)])
        cls.result = harness.run_boot(["kcsprobe.efi"], files=files, fetch=["long.txt"],
                                      bmcsim=sim, timeout=240)
        cls.output = cls.result.invocations[0].output or ""
        cls.journal = journal.read_text() if journal.exists() else ""

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_every_check_passes(self):
        lines = self.output.split("\n")
        self.assertIn("KCSPROBE DONE", lines, self.result.console[-3000:])
        for check in CHECKS:
            with self.subTest(check):
                self.assertIn(f"PASS {check}", lines, self.output)

    def test_only_the_overlong_reply_prints_nothing_and_nothing_else_errs(self):
        self.assertNotIn("ERROR !! BMC did not in correct state", self.output)
        self.assertIn("Execute Cold Reset Success\n", self.output)

    def test_bmc_saw_the_requests_byte_for_byte(self):
        requests = [line.split()[2:] for line in self.journal.splitlines()
                    if line.startswith("REQ ")]
        self.assertIn("F8 70 A0 A1 AA 00 FF AA A0 10".split(), requests, self.journal)
        self.assertIn("F8 72 CD 02 AA".split(), requests)
        self.assertIn("18 02".split(), requests)
        self.assertEqual(len(requests), 8, self.journal)
        self.assertRegex(self.journal, r"RSP [0-9A-F]{2} none\n")
        self.assertIn("CTL FF 01\n", self.journal)

    def test_wb_replaced_the_longer_file(self):
        self.assertEqual(self.result.files["long.txt"], b"short")


if __name__ == "__main__":
    unittest.main()
