"""A boot entry in BootOrder with --once runs once: one machine (its disk
and its firmware variables kept between QEMU runs) is powered on three
times. The first start writes two entries into BootOrder from the shell: the
backup with --once --poweroff, then the "next option" (a job that powers
off). The second start runs the backup, which has no BMC to talk to: its
empty .partial is removed, the entry takes itself out and the machine powers
off. The third start boots the next option and never the backup again."""

import os
import pathlib
import re
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import boot_entries as be  # noqa: E402
import harness  # noqa: E402

ONCE = "-c -d backup.bin --log once.log --once --poweroff"
NEXT = "-f absent.bin --log next.log --poweroff"
REMOVED = "The boot entry Boot0100 is removed: it does not start this program again\n"
BANNER = "IPMI FIRMWARE UPDATE UTILITY"


class RunOnce(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.machine = pathlib.Path(tempfile.mkdtemp(prefix="velkoran-once-"))
        efi = pathlib.Path(os.environ.get("VELKORAN_EFI", harness.DEFAULT_EFI))
        entries = {0x100: be.load_option("\\EFI\\velkoran\\Velkoran.efi", "Velkoran once",
                                         be.options_text(ONCE, terminated=False)),
                   0x101: be.load_option("\\EFI\\next\\Velkoran.efi", "Next option",
                                         be.options_text(NEXT))}
        files = {"EFI/velkoran/Velkoran.efi": efi, "EFI/next/Velkoran.efi": efi,
                 "startup.nsh": be.setup_script(entries, [0x100, 0x101], "setup.txt",
                                                then="reset -s")}
        fetch = ["EFI/velkoran/once.log", "EFI/velkoran/backup.bin",
                 "EFI/velkoran/backup.bin.partial", "EFI/next/next.log"]
        # A KCS interface with no BMC behind it: QEMU answers every request at
        # once with 0xD2, as a BMC that is not there.
        no_bmc = ["-chardev", f"socket,id=ipmi0,path={cls.machine / 'nobody.sock'},server=on,wait=off",
                  "-device", "ipmi-bmc-extern,id=bmc0,chardev=ipmi0",
                  "-device", "isa-ipmi-kcs,bmc=bmc0"]
        cls.starts = [harness.run_disk_boot(files, fetch=fetch, timeout=100, machine=cls.machine,
                                            extra_qemu_args=no_bmc)
                      for _ in range(3)]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.machine, ignore_errors=True)

    def test_every_start_ends_by_itself(self):
        for index, start in enumerate(self.starts):
            self.assertFalse(start.timed_out, f"start {index + 1}: {start.console[-2000:]}")
            self.assertEqual(start.qemu_returncode, 0)
        self.assertIn("VKSETUP\n", self.starts[0].console)
        self.assertNotIn(BANNER, self.starts[0].console)

    def test_the_entry_runs_at_the_second_start_only(self):
        second, third = self.starts[1].console, self.starts[2].console
        self.assertEqual(second.count(BANNER), 1, second[-3000:])
        self.assertIn("starting Boot0100", second)
        self.assertIn(REMOVED, second)
        self.assertNotIn("Boot0101", second)
        self.assertNotIn("Boot0100", third)
        self.assertIn("starting Boot0101", third)
        self.assertEqual(third.count(BANNER), 1, third[-3000:])

    def test_logs_hold_one_run_each(self):
        files = self.starts[2].files
        once = (files["EFI/velkoran/once.log"] or b"").decode(errors="replace")
        self.assertEqual(len(re.findall(r"^\[velkoran\] start ", once, re.M)), 1, once)
        # Removed after the job, before the log's last line and the power-off.
        self.assertRegex(once, re.escape(REMOVED) + r"\[velkoran\] end \S+ \S+ outcome [1-9]")
        nxt = (files["EFI/next/next.log"] or b"").decode(errors="replace")
        self.assertEqual(len(re.findall(r"^\[velkoran\] start ", nxt, re.M)), 1, nxt)

    def test_failed_backup_leaves_no_file(self):
        files = self.starts[2].files
        self.assertIsNone(files["EFI/velkoran/backup.bin"])
        self.assertIsNone(files["EFI/velkoran/backup.bin.partial"])


if __name__ == "__main__":
    unittest.main()
