"""Velkoran.efi under Secure Boot, without a shell, as a server owner puts
it on a USB stick: signed with a key the firmware's db holds and stored as
the removable-media loader \\EFI\\BOOT\\BOOTX64.EFI, it takes its command line
from velkoran.args beside it, updates the BMC, writes its log beside itself
and powers the machine off. The same stick with the unsigned build is
refused and the BMC hears nothing. One QEMU boot each."""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import flows_support as fs  # noqa: E402
import harness  # noqa: E402

ARGS = b"-f firmware.bin -r y --log update.log --poweroff\r\n"
REFUSED = "Access Denied"
BANNER = "IPMI FIRMWARE UPDATE UTILITY"


def sign(efi: pathlib.Path, work: pathlib.Path) -> pathlib.Path:
    """Velkoran.efi signed with the snakeoil key, as `make sign` does."""
    key = work / "snakeoil-plain.key"
    subprocess.run(["openssl", "rsa", "-in", str(harness.SNAKEOIL_KEY), "-out", str(key),
                    "-passin", "pass:snakeoil"], check=True, capture_output=True)
    signed = work / "signed.efi"
    subprocess.run(["sbsign", "--key", str(key), "--cert", str(harness.SNAKEOIL_CERT),
                    "--output", str(signed), str(efi)], check=True, capture_output=True)
    return signed


class SecureBootStick(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if fs.missing_tools():
            raise RuntimeError(f"host tools not built: {fs.missing_tools()}")
        cls.work = pathlib.Path(tempfile.mkdtemp(prefix="velkoran-secboot-"))
        # velkoran-sim's reference run reads the image here too.
        cls.image, cls.info = fs.make_image(cls.work, "firmware.bin", [(20000, 0), (12000, 0x5000)])
        efi = pathlib.Path(os.environ.get("VELKORAN_EFI", harness.DEFAULT_EFI))
        cls.signed = cls.boot(sign(efi, cls.work), "signed", stop_on=None)
        cls.unsigned = cls.boot(efi, "unsigned", stop_on=REFUSED)

    @classmethod
    def boot(cls, loader: pathlib.Path, tag: str, stop_on: str | None) -> harness.BootResult:
        journal = cls.work / f"journal-{tag}.txt"
        options = ["--firmware", "--fw-flash-out", str(cls.work / f"flash-{tag}.bin"),
                   "--journal", str(journal)]
        result = harness.run_disk_boot(
            {"EFI/BOOT/BOOTX64.EFI": loader, "EFI/BOOT/velkoran.args": ARGS,
             "EFI/BOOT/firmware.bin": cls.image},
            fetch=["EFI/BOOT/update.log"], bmcsim=harness.BmcSim(fs.bmcsim_argv(options)),
            secure_boot=True, stop_on=stop_on, timeout=150)
        result.requests = [line for line in (journal.read_text().splitlines()
                                             if journal.exists() else []) if line.startswith("REQ")]
        result.flash = (cls.work / f"flash-{tag}.bin")
        return result

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def test_signed_stick_updates_and_powers_off(self):
        result = self.signed
        self.assertFalse(result.timed_out, result.console[-2000:])
        self.assertEqual(result.qemu_returncode, 0)
        # One run: a restart instead of the power-off would have run it again.
        self.assertEqual(result.console.count(BANNER), 1, result.console[-3000:])
        self.assertIn("\\EFI\\BOOT\\BOOTX64.EFI -f firmware.bin -r y --log update.log --poweroff \n",
                      result.console)
        image = self.image.read_bytes()
        self.assertEqual(fs.region_mismatches(result.flash.read_bytes() if result.flash.exists()
                                              else None, image, self.info["regions"]), [])
        covered = sum(region["length"] for region in self.info["regions"])
        self.assertGreaterEqual(covered, len(image))

    def test_console_is_the_shell_runs_text(self):
        # The same job under the shell's name for the program, on the host.
        expected = fs.host_console(ARGS.decode().split(), ["--firmware"], self.work)
        expected = expected.replace("FS0:\\Velkoran.efi", "\\EFI\\BOOT\\BOOTX64.EFI")
        console = self.signed.console
        start = console.find("*" * 77)
        self.assertGreaterEqual(start, 0, console[-1500:])
        self.assertEqual(console[start:], expected)

    def test_log_beside_the_program_holds_the_run(self):
        log = (self.signed.files["EFI/BOOT/update.log"] or b"").decode("utf-8", errors="replace")
        self.assertRegex(log, r"^\[velkoran\] start \S+ \S+ version 2\.08 command: "
                              r"\\EFI\\BOOT\\BOOTX64\.EFI -f firmware\.bin -r y --log update\.log "
                              r"--poweroff\n")
        self.assertIn("\nnew firmware is updating...100%\n", log)
        self.assertRegex(log, r"\n\[velkoran\] end \S+ \S+ outcome 0 success elapsed \d+ s\n$")

    def test_unsigned_stick_is_refused(self):
        result = self.unsigned
        self.assertFalse(result.timed_out, result.console[-2000:])
        self.assertIn(REFUSED, result.console)
        self.assertNotIn(BANNER, result.console)
        self.assertEqual(result.requests, [])
        self.assertIsNone(result.files["EFI/BOOT/update.log"])
        self.assertIsNotNone(re.search(r"failed to load Boot\w+", result.console), result.console[-1500:])


if __name__ == "__main__":
    unittest.main()
