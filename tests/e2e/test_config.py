"""Configuration backup and restore of Velkoran.efi in QEMU against bmcsim, in
one boot: backups read back from the disk must equal what bmcsim served, a
restore must leave bmcsim holding the file byte for byte, backup, restore and
backup again must give the same bytes, and a restore that bmcsim fails half
way must abort the task and say "Operation Failed.". A backup that fails
leaves an earlier file of its name as it was; a folder named as the backup
(or as its temporary name) is refused and kept; a longer leftover under the
temporary name leaves no tail in a new backup."""

import pathlib
import random
import re
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import flows_support as fs  # noqa: E402
import harness  # noqa: E402

COMMANDS = [
    "Velkoran.efi -c -d old.bin",     # bmcsim refuses the resets: fails at once
    "Velkoran.efi -c -d EMPTYDIR",    # an empty folder: refused
    "Velkoran.efi -c -d EMPTY2",      # its temporary name is an empty folder
    "Velkoran.efi -c -d first.bin",   # the served configuration, over a longer leftover
    "Velkoran.efi -c -f other.bin",   # bmcsim now holds other.bin
    "Velkoran.efi -c -d second.bin",  # ... and serves it back
    "Velkoran.efi -c -f first.bin",   # the first backup goes back
    "Velkoran.efi -c -d third.bin",   # ... and comes out the same
    "Velkoran.efi -c -f large.bin",   # bmcsim fails block FAIL_AT
    "Velkoran.efi -c -d fourth.bin",  # the failed restore changed nothing
    "Velkoran.efi -c -d sub\\cfg.bin",  # in a folder, over an earlier file
]
(OLD, FOLDER, FOLDER_TEMPORARY, FIRST, OTHER, SECOND, BACK, THIRD, FAILING, FOURTH,
 IN_FOLDER) = range(11)

# Backups move 121 bytes a block (25 blocks for the served 3000 bytes) and
# restores 45 (67 blocks for 3000 bytes): only the 4000-byte restore
# reaches block 70.
SERVED_LENGTH, OTHER_LENGTH, LARGE_LENGTH, FAIL_AT = 3000, 2900, 4000, 70
BACKUP_HEAD = "=== IPMI Configuration Backup Mode ===\nData preparing........\n"
RESTORE_HEAD = "=== IPMI Configuration Restore Mode ===\nData preparing........\n"
RESTORE_DONE = "Done. Please wait at least 1 minute to restore configurations.\n"
OPEN_FAILED = ("=== IPMI Configuration Backup Mode ===\nERROR: OPEN FILE FAILED\n\n"
               "Operation Failed.\n")


def after_echo(text: str, command: str) -> str:
    echo = command + " \n"
    at = text.find(echo)
    return text[at + len(echo):] if at >= 0 else "(no echo) " + text


def progress(processed: int, total: int) -> str:
    return (f"Bytes Processed data length : 0x{processed:4x} "
            f"Bytes Transmit Progress : {processed * 100 // total:4d} %\r")


class ConfigurationInQemu(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # A missing host build must fail the run, never pass it silently.
        if fs.missing_tools():
            raise RuntimeError(f"host tools not built: {fs.missing_tools()}")
        cls.work = pathlib.Path(tempfile.mkdtemp(prefix="velkoran-config-"))
        rng = random.Random(7)
        cls.served = bytes(rng.randrange(256) for _ in range(SERVED_LENGTH))
        cls.other = bytes(rng.randrange(256) for _ in range(OTHER_LENGTH))
        cls.large = bytes(rng.randrange(256) for _ in range(LARGE_LENGTH))
        cls.old = bytes(rng.randrange(256) for _ in range(700))
        cls.leftover = bytes(rng.randrange(256) for _ in range(SERVED_LENGTH + 2000))
        (cls.work / "served.bin").write_bytes(cls.served)
        cls.options = ["--config-store", str(cls.work / "served.bin"),
                       "--config-store-out", str(cls.work / "kept.bin"),
                       "--config-report", str(cls.work / "report.json"),
                       "--config-chunks", "121",
                       "--config-fail-at", str(FAIL_AT),
                       "--config-fault", "reset=C1:5",
                       "--journal", str(cls.work / "journal.txt")]
        cls.result = harness.run_boot(
            COMMANDS, files={"other.bin": cls.other, "large.bin": cls.large, "old.bin": cls.old,
                             "first.bin.partial": cls.leftover, "EMPTYDIR/": b"",
                             "EMPTY2.partial/": b"", "sub/cfg.bin": cls.old},
            fetch=["first.bin", "second.bin", "third.bin", "fourth.bin", "old.bin",
                   "old.bin.partial", "first.bin.partial", "EMPTYDIR/", "EMPTY2.partial/",
                   "EMPTY2", "sub/cfg.bin", "sub/cfg.bin.partial"],
            bmcsim=harness.BmcSim(fs.bmcsim_argv(cls.options)), timeout=400)
        cls.report = fs.load_report(cls.work / "report.json")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    maxDiff = None

    def output(self, index: int) -> str:
        return after_echo(self.result.invocations[index].output or "", COMMANDS[index])

    def test_boot_ends_by_itself_with_status_zero(self):
        self.assertFalse(self.result.timed_out, self.result.console[-3000:])
        for invocation in self.result.invocations:
            self.assertEqual(invocation.status, "0x0", invocation.command)

    def test_backup_file_equals_the_served_configuration(self):
        self.assertEqual(self.result.files["first.bin"], self.served)
        lines = "".join(progress(min(n * 121, SERVED_LENGTH), SERVED_LENGTH)
                        for n in range(1, 26))
        self.assertEqual(self.output(FIRST),
                         BACKUP_HEAD + "Total data length :      3000\n" + lines + "Done.\n")

    def test_restore_is_stored_byte_for_byte(self):
        self.assertEqual(self.result.files["second.bin"], self.other)
        restored = self.output(OTHER)
        self.assertTrue(restored.startswith(RESTORE_HEAD + "Total data length :      2900\n"),
                        restored[:300])
        self.assertTrue(restored.endswith(progress(2900, 2900) + RESTORE_DONE), restored[-300:])

    def test_backup_restore_backup_gives_the_same_bytes(self):
        self.assertEqual(self.result.files["third.bin"], self.result.files["first.bin"])
        self.assertEqual((self.work / "kept.bin").read_bytes(), self.served)
        self.assertEqual(self.report.get("restoresCompleted"), 2)

    def test_restore_failed_half_way_is_aborted_and_reported(self):
        failed = self.output(FAILING)
        sent = FAIL_AT * 45
        self.assertTrue(failed.endswith(progress(sent, LARGE_LENGTH) + "Error : TASK_FAIL_STATE\n"
                                        + progress(sent + 45, LARGE_LENGTH)
                                        + "Operation Failed.\n"), failed[-400:])
        self.assertNotIn("Done.", failed)
        journal = (self.work / "journal.txt").read_text()
        aborts = re.findall(r"^REQ [0-9A-F]{2} F8 20 33$", journal, re.MULTILINE)
        self.assertEqual(len(aborts), 1, journal[-2000:])
        # The other abort is the failed backup's, for task 0.
        self.assertEqual(self.report.get("aborts"), 2)
        self.assertEqual(self.result.files["fourth.bin"], self.served)
        self.assertEqual(self.report.get("violations"), [])


    def test_failed_backup_keeps_the_earlier_file(self):
        self.assertEqual(self.output(OLD), BACKUP_HEAD
                         + "[doIPMICmd] Abnormal. CompCode == 0xc1\n" * 5
                         + "Error: doIPMICmd failed\nOperation Failed.\n")
        self.assertEqual(self.result.files["old.bin"], self.old)
        self.assertEqual(self.result.files["old.bin.partial"], b"")

    def test_folder_as_backup_file_is_refused_and_kept(self):
        for index, folder in ((FOLDER, "EMPTYDIR/"), (FOLDER_TEMPORARY, "EMPTY2.partial/")):
            with self.subTest(COMMANDS[index]):
                self.assertEqual(self.output(index), OPEN_FAILED)
                self.assertIsNotNone(self.result.files[folder])
        self.assertIsNone(self.result.files["EMPTY2"])

    def test_backup_in_a_folder_replaces_the_earlier_file(self):
        self.assertTrue(self.output(IN_FOLDER).endswith("Done.\n"), self.output(IN_FOLDER)[-300:])
        self.assertEqual(self.result.files["sub/cfg.bin"], self.served)
        self.assertIsNone(self.result.files["sub/cfg.bin.partial"])

    def test_longer_leftover_under_the_temporary_name_leaves_no_tail(self):
        self.assertEqual(self.result.files["first.bin"], self.served)
        self.assertIsNone(self.result.files["first.bin.partial"])


if __name__ == "__main__":
    unittest.main()
