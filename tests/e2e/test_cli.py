"""Velkoran.efi's command-line outcomes in QEMU's UEFI shell, in one boot."""

import os
import pathlib
import shlex
import subprocess
import sys
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import harness  # noqa: E402

BANNER_FORMAT = (
    "*****************************************************************************\n"
    "*****************************************************************************\n"
    "* FUNCTION   :  IPMI FIRMWARE UPDATE UTILITY                                *\n"
    "* VERSION    :  %s                                                        *\n"
    "* BUILD DATE :  Mar 15 2019                                                 *\n"
    "* USAGE      :                                                              *\n"
    "*             (1)Update FIRMWARE : %s -f filename.bin [OPTION]     *\n"
    "*             (2)Dump FIRMWARE   : %s -d filename                  *\n"
    "*             (3)Restore CONFIG  : %s -c -f filename.bin           *\n"
    "*             (4)Backup CONFIG   : %s -c -d filename.bin           *\n"
    "*****************************************************************************\n"
    "* OPTION                                                                    *\n"
    "*   -r Preserve Configuration(default is Preserve)                          *\n"
    "*      n:No Preserve, reset to factory default settings                     *\n"
    "*      y:Preserve, keep all of the settings                                 *\n"
    "*   -c IPMI configuration backup/restore                                    *\n"
    "*      -f [restore.bin] Restore configurations                              *\n"
    "*      -d [backup.bin] Backup configurations                                *\n"
    "*****************************************************************************\n"
    "\n"
)
BANNER = BANNER_FORMAT % (("2.08",) + ("Velkoran.exe",) * 4)

CASES = [
    ("no arguments", "Velkoran.efi", BANNER),
    ("unknown option", "Velkoran.efi -x",
     BANNER + "ERROR:PLEASE CHECK THE INPUT OPTIONS, THERE ARE NO SUCH OPTIONS:-x\n\n"),
    ("unknown option after valid ones", "Velkoran.efi -f x -r n extra",
     BANNER + "ERROR:PLEASE CHECK THE INPUT OPTIONS, THERE ARE NO SUCH OPTIONS:extra\n\n"),
    ("interface in upper case", "Velkoran.efi -i LAN -f x",
     BANNER + "ERROR:PLEASE SELECT THE INTERFACE:KCS,LAN or USB\n\n"),
    ("preserve answer in upper case", "Velkoran.efi -r Y -f x",
     BANNER + "ERROR:PLEASE CORRECT THE PRESERVE CONFIGURATION:y or n\n\n"),
    ("LAN without a password", "Velkoran.efi -i lan -f x -h 10.0.0.1 -u admin",
     "ERROR:PLEASE ENTER THE PASSWORD\n\n" + BANNER),
    ("configuration mode without a file", "Velkoran.efi -c", BANNER),
]
# Velkoran.efi reaches the BMC over KCS only: complete LAN settings are
# refused before anything is sent (velkoran for Linux would use them).
SHELL_ONLY_CASES = [
    ("LAN with complete settings", "Velkoran.efi -i lan -h 10.0.0.1 -u admin -p pw -f x",
     "ERROR:THIS PROGRAM REACHES THE BMC OVER KCS ONLY, USE velkoran FOR LINUX FOR -i lan\n\n"
     + BANNER),
]


class CommandLineInTheShell(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        commands = ([command for _, command, _ in CASES + SHELL_ONLY_CASES]
                    + ["Velkoran.efi --help", "Velkoran.efi --version"])
        cls.result = harness.run_boot(commands, timeout=240)

    def test_boot_ends_by_itself(self):
        self.assertFalse(self.result.timed_out, self.result.console[-2000:])

    def test_each_run_prints_exactly_its_text_and_exits_with_0(self):
        for (name, command, expected), invocation in zip(CASES + SHELL_ONLY_CASES,
                                                         self.result.invocations):
            with self.subTest(name, command=command):
                self.assertEqual(invocation.output, expected)
                self.assertEqual(invocation.status, "0x0")


    def test_help_and_version_as_the_linux_build_prints_them(self):
        help_run, version_run = self.result.invocations[len(CASES) + len(SHELL_ONLY_CASES):]
        host_help = subprocess.run([str(host_program()), "--help"], capture_output=True, timeout=30)
        self.assertEqual(help_run.output, host_help.stdout.decode())
        self.assertRegex(version_run.output, r"^Velkoran\.efi 2\.08 \(build [^)\s]+\)\n$")
        for run in (help_run, version_run):
            self.assertEqual(run.status, "0x0")


def host_program() -> pathlib.Path:
    return pathlib.Path(os.environ.get("VELKORAN_HOST", harness.REPO / "build" / "host" / "velkoran"))


class SameTextFromTheHostBuild(unittest.TestCase):
    """build/host/velkoran, the Linux build, given the same arguments prints the
    same text (none of these runs reaches the BMC); its exit status is the outcome."""

    def test_each_case(self):
        host = host_program()
        if not host.exists():
            self.fail(f"{host} is not built")
        for name, command, expected in CASES:
            with self.subTest(name, command=command):
                args = shlex.split(command)[1:]
                run = subprocess.run([str(host)] + args, capture_output=True, timeout=30)
                self.assertEqual(run.stdout.decode(), expected)
                # The Linux build reports the outcome: each of these is a bad command line.
                self.assertEqual(run.returncode, 1)

    def test_linux_leaves_restarts_to_the_system(self):
        host = host_program()
        for option in ("--reboot", "--poweroff"):
            with self.subTest(option):
                run = subprocess.run([str(host), "-f", "x", option], capture_output=True, timeout=30)
                self.assertEqual(run.stdout.decode(), BANNER + "ERROR:THIS PROGRAM DOES NOT RESTART "
                                 f"OR POWER OFF THE MACHINE:{option}\n\n")
                self.assertEqual(run.returncode, 1)


if __name__ == "__main__":
    unittest.main()
