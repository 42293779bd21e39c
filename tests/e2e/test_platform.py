"""The UEFI platform layer in real firmware, through tests/uefi/platform_probe.cpp."""

import os
import pathlib
import sys
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import harness  # noqa: E402

CHECKS = [
    "bytewise write", "block write", "bytewise read", "seek, tell and block read",
    "wb empties an existing file", "wb+ reads back what it wrote", "tokens",
    "missing file and bad mode", "folders and replace", "timers", "monotonic clock", "memory",
]


def pattern(size):
    return bytes((i * 7 + i // 251) & 0xFF for i in range(size))


class PlatformInFirmware(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        efi = pathlib.Path(os.environ.get("VELKORAN_EFI", harness.DEFAULT_EFI))
        probe = efi.parent / "platform_probe.efi"
        files = {
            "platform_probe.efi": probe,
            "tokens.txt": b"  0xca2\n\tabcdefgh  last",
            "old.bin": b"an older and longer content",
            "tokens2.txt": b"an older and longer content",
            "EMPTYDIR/": b"",
        }
        fake_bmc = pathlib.Path(__file__).resolve().parent / "fake_bmc.py"
        cls.result = harness.run_boot(
            ["platform_probe.efi"], files=files,
            fetch=["bytes.bin", "block.bin", "old.bin", "EMPTYDIR/"],
            keys=[harness.Key("PRESS A KEY:", "k", invocation=0)],
            bmcsim=harness.BmcSim([sys.executable, str(fake_bmc), "{socket}"]), timeout=240)
        cls.lines = (cls.result.invocations[0].output or "").split("\n")

    def test_every_check_passes(self):
        for check in CHECKS:
            with self.subTest(check):
                self.assertIn(f"PASS {check}", self.lines, self.result.console[-3000:])

    def test_files_hold_what_was_written(self):
        self.assertEqual(self.result.files["bytes.bin"], pattern(20000))
        self.assertEqual(self.result.files["block.bin"], pattern(20000))
        self.assertEqual(self.result.files["old.bin"], b"new")
        self.assertIsNotNone(self.result.files["EMPTYDIR/"])

    def test_console_text_conversions(self):
        output = self.result.invocations[0].output
        self.assertIn("\u201cWarning!\nquoted\u201d\n", output)
        self.assertIn("progress 5%\rprogress 10%\r\n", output)
        self.assertIn("LONG " + "a" * 600, self.lines)

    def test_ports_reach_the_kcs_device_and_qemu_reaches_the_simulator(self):
        # Idle; write state with OBF; write state with OBF cleared. An empty
        # bus would read 0xff.
        self.assertIn("PORTS 0 81 80", self.lines)
        # QEMU announces its protocol version when it connects.
        self.assertIn("connected\nff01a1", self.result.bmcsim_output)

    def test_a_typed_key_is_read(self):
        self.assertIn("KEY 107", self.lines)


if __name__ == "__main__":
    unittest.main()
