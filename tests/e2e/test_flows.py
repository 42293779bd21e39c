"""Firmware update, flash dump and the USB variant of Velkoran.efi in QEMU
against bmcsim, in one boot: the flash bmcsim keeps must hold each image's
regions, the dump read back from the disk must equal the served flash, and
the console must be the text the host build prints for the same run. The
dump replaces an earlier, longer dump.bin; a dump that fails half-way keeps
the earlier file of its name and leaves what arrived under the temporary
name."""

import pathlib
import random
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import flows_support as fs  # noqa: E402
import harness  # noqa: E402

# Update numbers as bmcsim counts them (one per GetFWUpdateInfo): the options
# below give updates 3 and 4 their answers.
COMMANDS = [
    "Velkoran.efi -d dump.bin",                      # served flash, 50 s wait
    "Velkoran.efi -d old.bin",                       # data fails after one chunk
    "Velkoran.efi -f plain.bin",                     # update 1
    "Velkoran.efi -f cipher.bin -r n",               # update 2
    "Velkoran.efi -f plain.bin",                     # update 3: 0xDF
    "Velkoran.efi -f plain.bin",                     # update 4: 0xCD, reason 2
    "Velkoran.efi -i usb -f plain.bin",              # a key, then the size check
    "Velkoran.efi -d EMPTYDIR",                      # an empty folder: refused, kept
]
DUMP, FAILED_DUMP, PLAIN, CIPHER, BUSY, REJECTED, USB, FOLDER_DUMP = range(8)
# The first dump takes 54 data requests (53 full chunks and a last one); the
# failed one gets its first chunk, then five bad replies in a row.
FAILED_DUMP_FAULTS = range(56, 61)

ANOTHER_USER = ("\u201cWarning!\nAnother user is updating!\n"
                "Please wait for the BMC to restart!\u201d\n")
DOWNGRADE = "Error!\nCan't downgrade to this update package version!\n"
COMPLETE = "\nUpdate Complete,Please wait for BMC reboot, about 1 min                       \n"


def after_echo(text: str, command: str) -> str:
    echo = command + " \n"
    at = text.find(echo)
    return text[at + len(echo):] if at >= 0 else "(no echo) " + text


class FirmwareFlowsInQemu(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # A missing host build must fail the run, never pass it silently.
        if fs.missing_tools():
            raise RuntimeError(f"host tools not built: {fs.missing_tools()}")
        cls.work = pathlib.Path(tempfile.mkdtemp(prefix="velkoran-flows-"))
        cls.plain, cls.plain_info = fs.make_image(cls.work, "plain.bin", [(20000, 0), (12000, 0x5000)])
        cls.cipher, cls.cipher_info = fs.make_image(cls.work, "cipher.bin", [(9000, 0), (3000, 0x4000)],
                                                    encipher=True, seed=2)
        rng = random.Random(3)
        cls.served = bytes(rng.randrange(256) for _ in range(3000))
        (cls.work / "served.bin").write_bytes(cls.served)
        cls.options = ["--fw-flash-in", str(cls.work / "served.bin"),
                       "--fw-flash-out", str(cls.work / "flash-{update}.bin"),
                       "--fw-report", str(cls.work / "report.json"),
                       "--fw-info-code", "0xDF@3", "--fw-reject", "0:2@4"]
        for request in FAILED_DUMP_FAULTS:
            cls.options += ["--fw-short-data", str(request)]
        cls.old = bytes(rng.randrange(256) for _ in range(500))
        cls.result = harness.run_boot(
            COMMANDS, files={"plain.bin": cls.plain, "cipher.bin": cls.cipher,
                             "old.bin": cls.old, "dump.bin": bytes(5000), "EMPTYDIR/": b""},
            fetch=["dump.bin", "dump.bin.partial", "old.bin", "old.bin.partial", "EMPTYDIR/",
                   "EMPTYDIR.partial"], bmcsim=harness.BmcSim(fs.bmcsim_argv(cls.options)),
            keys=[harness.Key("Press any to continue", "x", invocation=USB)], timeout=400)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    maxDiff = None

    def output(self, index: int) -> str:
        return self.result.invocations[index].output or ""

    def test_boot_ends_by_itself(self):
        self.assertFalse(self.result.timed_out, self.result.console[-3000:])
        for invocation in self.result.invocations:
            self.assertEqual(invocation.status, "0x0", invocation.command)

    def test_updates_leave_the_regions_in_the_flash(self):
        for update, image, info in ((1, self.plain, self.plain_info),
                                    (2, self.cipher, self.cipher_info)):
            with self.subTest(update=update):
                flash = self.work / f"flash-{update}.bin"
                self.assertEqual(len(info["regions"]), 3)
                self.assertEqual(fs.region_mismatches(flash.read_bytes() if flash.exists() else None,
                                                      image.read_bytes(), info["regions"]), [])

    def test_update_console_is_the_host_builds_text(self):
        self.assertTrue(self.output(PLAIN).endswith(COMPLETE), self.output(PLAIN)[-500:])
        self.assertIn("Load part 2   262144 bytes,     1K bytes   1%\r", self.output(PLAIN))
        for index in (PLAIN, CIPHER):
            with self.subTest(COMMANDS[index]):
                args = COMMANDS[index].split()[1:]
                expected = fs.host_console(args, ["--firmware"], self.work)
                self.assertEqual(self.output(index), expected)

    def test_busy_bmc_and_rejected_package(self):
        self.assertEqual(after_echo(self.output(BUSY), COMMANDS[BUSY]), ANOTHER_USER)
        rejected = after_echo(self.output(REJECTED), COMMANDS[REJECTED])
        self.assertIn("Load part 0    20000 bytes, [Ok]", rejected)
        self.assertTrue(rejected.endswith(DOWNGRADE + "Execute Cold Reset Success\n"),
                        rejected[-400:])
        report = fs.load_report(self.work / "report.json")
        self.assertEqual(report.get("updates"), 4)
        self.assertEqual(report.get("coldResets"), 1)
        self.assertEqual(report.get("violations"), [])

    def test_folder_as_dump_file_is_refused_and_kept(self):
        output = self.output(FOLDER_DUMP)
        self.assertTrue(output.endswith("ERROR: OPEN BINARY FILE FAILED EMPTYDIR\n\n"), output[-300:])
        self.assertIsNotNone(self.result.files["EMPTYDIR/"])
        self.assertIsNone(self.result.files["EMPTYDIR.partial"])

    def test_dump_file_equals_the_served_flash(self):
        self.assertEqual(self.result.files["dump.bin"], self.served)
        self.assertIsNone(self.result.files["dump.bin.partial"])
        dump = after_echo(self.output(DUMP), COMMANDS[DUMP])
        self.assertTrue(dump.startswith("Phase1:Wait for BMC !!\n"
                                        "Phase2:Receive the flash data........... \n"
                                        "length=0xbb8\n1K bytes      5%\r"), dump[:300])
        served = self.work / "served.bin"
        self.assertEqual(self.output(DUMP), fs.host_console(["-d", "dump.bin"], [
            "--fw-flash-in", str(served)], self.work))

    def test_usb_variant_waits_for_a_key_then_checks_the_size(self):
        self.assertEqual(after_echo(self.output(USB), COMMANDS[USB]),
                         "Press any to continue name plain.bin\n"
                         "the file size of the firmware image is not correct!\n")


    def test_failed_dump_keeps_the_earlier_file(self):
        failed = after_echo(self.output(FAILED_DUMP), COMMANDS[FAILED_DUMP])
        self.assertTrue(failed.endswith("length=0xbb8\nERROR: RECEIVE FLASH DATA FAILED\n\n"),
                        failed[-300:])
        self.assertEqual(self.result.files["old.bin"], self.old)
        self.assertEqual(self.result.files["old.bin.partial"], self.served[:56])


if __name__ == "__main__":
    unittest.main()
