"""The harness's console handling, without QEMU."""

import pathlib
import sys
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import harness  # noqa: E402


class CleanConsole(unittest.TestCase):
    def test_cases(self):
        cases = [
            ("crlf", b"a\r\nb\r\n", "a\nb\n"),
            ("lone carriage return stays", b" 5%\r 10%\r\r\n", " 5%\r 10%\r\n"),
            ("colour and cursor", b"\x1b[0m\x1b[37;40mX\x1b[2J\x1b[01;01HY", "XY"),
            ("private mode", b"\x1b[?25lZ\x1b[?25h", "Z"),
            ("charset", b"\x1b(BQ", "Q"),
            ("utf-8", b"\xe2\x80\x9cW\xe2\x80\x9d", "\u201cW\u201d"),
        ]
        for name, raw, cleaned in cases:
            with self.subTest(name):
                self.assertEqual(harness.clean_console(raw), cleaned)


class SplitConsole(unittest.TestCase):
    COMMANDS = ["Velkoran.efi", "Velkoran.efi -c"]

    def split(self, console):
        return [(i.output, i.status) for i in harness.split_console(console, self.COMMANDS)]

    def test_cases(self):
        cases = [
            ("both", "noise\nVKMARK-BEGIN-0\nA\n\nVKMARK-END-0 0x0\n"
                     "VKMARK-BEGIN-1\nB\nVKMARK-END-1 0x0\nReset",
             [("A\n\n", "0x0"), ("B\n", "0x0")]),
            ("output ends without a newline", "VKMARK-BEGIN-0\n 5%\rVKMARK-END-0 0x0\n"
                                              "VKMARK-BEGIN-1\nVKMARK-END-1 0x2\n",
             [(" 5%\r", "0x0"), ("", "0x2")]),
            ("boot cut off", "VKMARK-BEGIN-0\nA\nVKMARK-END-0 0x0\nVKMARK-BEGIN-1\nB",
             [("A\n", "0x0"), (None, None)]),
            ("nothing ran", "Shell>", [(None, None), (None, None)]),
        ]
        for name, console, expected in cases:
            with self.subTest(name):
                self.assertEqual(self.split(console), expected)


class StartupScript(unittest.TestCase):
    def test_marks_each_command_and_powers_off(self):
        script = harness.startup_script(["Velkoran.efi -c"], utf8_console=False)
        self.assertEqual(script.split(b"\r\n"), [
            b"@echo -off", b"fs0:", b"echo VKMARK-BEGIN-0", b"Velkoran.efi -c",
            b"echo VKMARK-END-0 %lasterror%", b"reset -s", b""])
        self.assertNotIn(b"\n", script.replace(b"\r\n", b""))


if __name__ == "__main__":
    unittest.main()
