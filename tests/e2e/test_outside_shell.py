"""Velkoran.efi started by the boot manager, never by the shell, from a chain
of boot entries in BootOrder: a table of command lines in velkoran.args and
in load options, each with what its run prints, what must reach the BMC and
what must be on the volume afterwards. The shell only writes the entries on
the first start. Every refused line returns to the boot manager, which
starts the next entry; the last one updates the BMC and powers off. One
QEMU run."""

from __future__ import annotations

import dataclasses
import json
import os
import pathlib
import re
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import boot_entries as be  # noqa: E402
import flows_support as fs  # noqa: E402
import harness  # noqa: E402

BANNER = "IPMI FIRMWARE UPDATE UTILITY"
NOT_TEXT = "ERROR:velkoran.args MUST BE ASCII OR UTF-8 TEXT, IT IS NOT USED\n"


@dataclasses.dataclass
class Case:
    number: int
    folder: str          # under \EFI\ on the volume
    command: bytes       # velkoran.args when args_file, else the load options' text
    args_file: bool
    console: list[str]   # must appear in this run's text, in order
    present: list[str] = dataclasses.field(default_factory=list)  # files afterwards
    absent: list[str] = dataclasses.field(default_factory=list)
    returns: bool = True  # to the boot manager; False: powers off


def utf16(text: str) -> bytes:
    return "\ufeff".encode("utf-16-le") + text.encode("utf-16-le")


CASES = [
    # The log named by the image's own path, in another spelling.
    Case(0x100, "BOOT", b"-f firmware.bin -r y --log \\EFI\\BOOT\\FIRMWARE.BIN --poweroff\r\n", True,
         ["ERROR:--log \\EFI\\BOOT\\FIRMWARE.BIN IS THE SAME FILE AS firmware.bin\n"]),
    Case(0x101, "A2", b"-c -d backup.bin --report \\EFI\\A2\\backup.bin --poweroff\n", True,
         ["ERROR:PLEASE GIVE --report A FILE OF ITS OWN\n"], absent=["EFI/A2/backup.bin"]),
    # Different files: the program's folder is not the volume's root.
    Case(0x102, "L", b"-c -d x.bin --log \\x.bin --report \\r.json", False,
         ["\\EFI\\L\\Velkoran.efi -c -d x.bin --log \\x.bin --report \\r.json \n"],
         present=["EFI/L/x.bin", "x.bin", "r.json"]),
    Case(0x103, "L", b"-c -d backup.bin --log \\EFI\\L\\BACKUP.BIN", False,
         ["ERROR:--log \\EFI\\L\\BACKUP.BIN IS THE SAME FILE AS backup.bin\n"],
         absent=["EFI/L/backup.bin"]),
    Case(0x104, "L", b"--poweroff -Z", False,
         ["ERROR:PLEASE CHECK THE INPUT OPTIONS, THERE ARE NO SUCH OPTIONS:-Z\n"]),
    Case(0x105, "L", b"-Z --poweroff", False,
         ["ERROR:PLEASE CHECK THE INPUT OPTIONS, THERE ARE NO SUCH OPTIONS:-Z\n"]),
    Case(0x106, "L", b"--poweroff --help", False, ["LONG OPTIONS\n", "  --once"]),
    Case(0x107, "A5", b"-c -d typo.bin --reboot -Z\r\n", True,
         ["ERROR:PLEASE CHECK THE INPUT OPTIONS, THERE ARE NO SUCH OPTIONS:-Z\n"],
         absent=["EFI/A5/typo.bin"]),
    Case(0x108, "A8", utf16("-c -d u16.bin --poweroff\r\n"), True, [NOT_TEXT, BANNER],
         absent=["EFI/A8/u16.bin"]),
    Case(0x109, "A9", b"-c -d ab\0c.bin --poweroff\r\n", True,
         ["ERROR:THE LINE IN velkoran.args HOLDS A NUL CHARACTER, IT IS NOT USED\n", BANNER],
         absent=["EFI/A9/ab", "EFI/A9/ab.partial"]),
    Case(0x10A, "L", b'-c -d "my dump.bin --poweroff', False,
         ["ERROR:THE LINE IN THE LOAD OPTIONS HAS A DOUBLE QUOTE THAT IS NEVER CLOSED, IT IS NOT "
          "USED\n", BANNER], absent=["EFI/L/my dump.bin --poweroff"]),
    # The chain's end: a valid update, then the power-off.
    Case(0x10B, "BOOT", b"-f firmware.bin -r y --log update.log --poweroff", False,
         ["Update Complete"], present=["EFI/BOOT/update.log"], returns=False),
]


def program(case: Case) -> str:
    return f"\\EFI\\{case.folder}\\Velkoran.efi"


def disk_files(efi: pathlib.Path, image: pathlib.Path) -> dict:
    files = {"EFI/BOOT/firmware.bin": image}
    for case in CASES:
        files[f"EFI/{case.folder}/Velkoran.efi"] = efi
        if case.args_file:
            files[f"EFI/{case.folder}/velkoran.args"] = case.command
    entries = {case.number: be.load_option(program(case), f"Velkoran {case.number:04X}",
                                           b"" if case.args_file
                                           else be.options_text(case.command.decode("latin-1")))
               for case in CASES}
    files["startup.nsh"] = be.setup_script(entries, [case.number for case in CASES], "setup.txt")
    return files


class OutsideTheShell(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if fs.missing_tools():
            raise RuntimeError(f"host tools not built: {fs.missing_tools()}")
        cls.work = pathlib.Path(tempfile.mkdtemp(prefix="velkoran-outside-"))
        cls.image, cls.info = fs.make_image(cls.work, "firmware.bin", [(20000, 0), (12000, 0x5000)])
        cls.served = bytes((5 * i + 1) % 256 for i in range(2000))
        (cls.work / "served.bin").write_bytes(cls.served)
        efi = pathlib.Path(os.environ.get("VELKORAN_EFI", harness.DEFAULT_EFI))
        options = ["--firmware", "--fw-flash-out", str(cls.work / "flash.bin"),
                   "--fw-report", str(cls.work / "report.json"),
                   "--config-store", str(cls.work / "served.bin")]
        fetch = sorted({name for case in CASES for name in case.present + case.absent}
                       | {"EFI/BOOT/firmware.bin"})
        cls.result = harness.run_disk_boot(
            disk_files(efi, cls.image), fetch=fetch,
            bmcsim=harness.BmcSim(fs.bmcsim_argv(options)), timeout=220)
        cls.runs = cls.split_runs(cls.result.console)

    @classmethod
    def split_runs(cls, console: str) -> dict[int, str]:
        """Each entry's text: from its echo or first line to the next entry."""
        starts = [(m.start(), int(m.group(1), 16))
                  for m in re.finditer(r"Velkoran ([0-9A-F]{4})", console)]
        runs = {}
        for index, (start, number) in enumerate(starts):
            end = starts[index + 1][0] if index + 1 < len(starts) else len(console)
            runs[number] = runs.get(number, "") + console[start:end]
        return runs

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def test_chain_ran_every_entry_once_and_powered_off(self):
        console = self.result.console
        self.assertFalse(self.result.timed_out, console[-3000:])
        self.assertEqual(console.count("VKSETUP\n"), 1, console[-3000:])
        self.assertNotIn("VKSETUP-AGAIN", console)
        self.assertEqual(console.count(BANNER), len(CASES), console[-3000:])

    def test_each_line_prints_what_it_must(self):
        for case in CASES:
            with self.subTest(entry=f"{case.number:04X}"):
                text = self.runs.get(case.number, "")
                at = 0
                for expected in case.console:
                    found = text.find(expected, at)
                    self.assertGreaterEqual(found, 0, f"{expected!r} in\n{text[-2500:]}")
                    at = found + len(expected)
                failed = f"failed to start Boot{case.number:04X}"
                self.assertEqual(failed in self.result.console, case.returns)

    def test_volume_afterwards(self):
        files = self.result.files
        for case in CASES:
            for name in case.present:
                self.assertIsNotNone(files[name], name)
            for name in case.absent:
                self.assertIsNone(files[name], name)
        self.assertEqual(files["EFI/BOOT/firmware.bin"], self.image.read_bytes())
        self.assertEqual(files["EFI/L/x.bin"], self.served)
        self.assertRegex(files["x.bin"].decode(errors="replace"),
                         r"^\[velkoran\] start .* command: \\EFI\\L\\Velkoran\.efi -c -d x\.bin")
        self.assertEqual(json.loads(files["r.json"])["outcome"]["name"], "success")

    def test_the_bmc_got_one_update_and_its_image(self):
        report = fs.load_report(self.work / "report.json")
        self.assertEqual(report.get("updates"), 1, report)
        flash = self.work / "flash.bin"
        self.assertEqual(fs.region_mismatches(flash.read_bytes() if flash.exists() else None,
                                              self.image.read_bytes(), self.info["regions"]), [])


if __name__ == "__main__":
    unittest.main()
