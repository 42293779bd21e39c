"""Velkoran.efi started by the boot manager from Boot#### entries whose load
options hold its command line, in one QEMU run whose resets restart the
firmware. The shell writes two entries and BootNext with setvar, then resets;
the first entry (a hand-written command with the program's name first and a
terminator) backs up the BMC configuration beside the program and restarts
the machine with --reboot; the shell then points BootNext at the second
entry (an unterminated command, as `efibootmgr -u` writes it), whose run
returns: the boot manager goes on to the next boot option (the shell again)
instead of its setup menu. Files land beside the program, or under the
volume's root for a name starting with a backslash; a shell mapping is not
resolved. velkoran.args beside the program is not read."""

import os
import pathlib
import re
import shutil
import struct
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import flows_support as fs  # noqa: E402
import harness  # noqa: E402

FOLDER = "EFI/velkoran"
PROGRAM = "\\EFI\\velkoran\\Velkoran.efi"
FIRST = f"{PROGRAM} -c -d backup.bin --log boot.log --reboot"
# A name starting with "\\" is taken from the volume's root; a shell mapping
# cannot be resolved without the shell.
SECOND = '-c -d "\\EFI\\velkoran\\second.bin" --log fs0:\\boot.log'


def load_option(description: str, optional: bytes) -> bytes:
    """An EFI_LOAD_OPTION: active, a file-only device path, optional data."""
    path = (PROGRAM + "\0").encode("utf-16-le")
    device_path = bytes([4, 4]) + struct.pack("<H", 4 + len(path)) + path + bytes([0x7F, 0xFF, 4, 0])
    return (struct.pack("<IH", 1, len(device_path)) + (description + "\0").encode("utf-16-le")
            + device_path + optional)


def startup_script() -> bytes:
    first = load_option("Velkoran backup", (FIRST + "\0").encode("utf-16-le"))
    second = load_option("Velkoran again", SECOND.encode("utf-16-le"))
    lines = [
        "@echo -off", "fs0:",
        f"if exist \\{FOLDER}\\second.bin then", "  echo VKSTEP-DONE", "  reset -s", "endif",
        f"if exist \\{FOLDER}\\backup.bin then", "  echo VKSTEP-AFTER-RESTART",
        "  setvar BootNext -bs -rt -nv =0x0101", "  reset", "endif",
        "echo VKSTEP-CREATE",
        f"setvar Boot0100 -bs -rt -nv ={first.hex()}",
        f"setvar Boot0101 -bs -rt -nv ={second.hex()}",
        "setvar BootNext -bs -rt -nv =0x0100", "reset"]
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


class BootEntries(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if fs.missing_tools():
            raise RuntimeError(f"host tools not built: {fs.missing_tools()}")
        cls.work = pathlib.Path(tempfile.mkdtemp(prefix="velkoran-bootentry-"))
        cls.served = bytes((7 * i + 3) % 256 for i in range(3000))
        (cls.work / "served.bin").write_bytes(cls.served)
        efi = pathlib.Path(os.environ.get("VELKORAN_EFI", harness.DEFAULT_EFI))
        countdown = harness.Key(harness.COUNTDOWN_PROMPT, "\r")
        cls.result = harness.run_disk_boot(
            {"startup.nsh": startup_script(), f"{FOLDER}/Velkoran.efi": efi,
             f"{FOLDER}/velkoran.args": b"-c -d wrong.bin\n"},
            fetch=[f"{FOLDER}/backup.bin", f"{FOLDER}/second.bin", f"{FOLDER}/wrong.bin",
                   f"{FOLDER}/boot.log", "backup.bin", "boot.log"],
            keys=[countdown, countdown],
            bmcsim=harness.BmcSim(fs.bmcsim_argv(["--config-store", str(cls.work / "served.bin")])),
            timeout=240)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def test_steps_ran_once_each_in_order(self):
        console = self.result.console
        self.assertFalse(self.result.timed_out, console[-3000:])
        self.assertEqual(self.result.qemu_returncode, 0)
        steps = re.findall(r"VKSTEP-[A-Z-]+", console)
        self.assertEqual(steps, ["VKSTEP-CREATE", "VKSTEP-AFTER-RESTART", "VKSTEP-DONE"],
                         console[-3000:])

    def test_first_entry_restarts_the_second_returns_to_the_boot_manager(self):
        console = self.result.console
        self.assertNotRegex(console, r"failed to start Boot0100")
        self.assertRegex(console, r"failed to start Boot0101 .*Aborted")

    def test_backups_land_beside_the_program(self):
        files = self.result.files
        self.assertEqual(files[f"{FOLDER}/backup.bin"], self.served)
        self.assertEqual(files[f"{FOLDER}/second.bin"], self.served)
        self.assertIsNone(files[f"{FOLDER}/wrong.bin"])
        self.assertIsNone(files["backup.bin"])

    def test_log_beside_the_program_names_it(self):
        log = (self.result.files[f"{FOLDER}/boot.log"] or b"").decode("utf-8", errors="replace")
        commands = re.findall(r"^\[velkoran\] start \S+ \S+ version 2\.08 command: (.*)$", log, re.M)
        self.assertEqual(commands, [FIRST])
        self.assertEqual(re.findall(r"^\[velkoran\] end \S+ \S+ outcome (\d)", log, re.M), ["0"])

    def test_shell_mapping_is_not_resolved(self):
        echo = PROGRAM + " " + SECOND.replace('"', "") + " \n"
        self.assertIn("\n" + echo, self.result.console)
        self.assertIn("WARNING: THE LOG FILE fs0:\\boot.log CANNOT BE WRITTEN, THE RUN GOES ON "
                      "WITHOUT IT\n", self.result.console)
        self.assertIsNone(self.result.files["boot.log"])


if __name__ == "__main__":
    unittest.main()
