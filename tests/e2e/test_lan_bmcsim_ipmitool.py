"""bmcsim's RMCP+ LAN against an IPMI client nobody here wrote (ipmitool's
lanplus interface), on the loopback: both sides must agree on every byte of
the session handshake, the integrity and the encryption. No QEMU."""
import os
import pathlib
import re
import shutil
import socket
import subprocess
import tempfile
import unittest

HERE = pathlib.Path(__file__).resolve().parent


def bmcsim_path() -> pathlib.Path:
    if "VELKORAN_HOST" in os.environ:
        return pathlib.Path(os.environ["VELKORAN_HOST"]).parent / "bmcsim"
    return HERE.parent.parent / "build" / "host" / "bmcsim"


def free_udp_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class LanBmc:
    """One bmcsim serving RMCP+ on a loopback port, with a journal."""

    def __init__(self, work: pathlib.Path, *options: str):
        self.port = free_udp_port()
        self.journal = work / f"journal-{self.port}.txt"
        self.process = subprocess.Popen(
            [str(bmcsim_path()), "--lan", f"127.0.0.1:{self.port}", "--lan-user", "admin",
             "--lan-password", "secret", "--journal", str(self.journal), "--firmware", *options],
            stderr=subprocess.PIPE, text=True)
        line = self.process.stderr.readline()
        if "serving RMCP+" not in line:
            self.stop()
            raise RuntimeError(f"bmcsim did not start: {line}")

    def ipmitool(self, cipher: int, *command: str, password: str = "secret",
                 privilege: str = "ADMINISTRATOR", verbose: bool = False
                 ) -> subprocess.CompletedProcess:
        """ipmitool's lanplus session; verbose: with the status of each step."""
        return subprocess.run(
            ["ipmitool", *(["-v"] if verbose else []), "-I", "lanplus", "-H", "127.0.0.1", "-p", str(self.port), "-U", "admin",
             "-P", password, "-C", str(cipher), "-L", privilege, "-N", "1", "-R", "2", *command],
            capture_output=True, text=True, timeout=60)

    def requests(self) -> list[str]:
        """netFn/LUN and command of every IPMI request the BMC received."""
        if not self.journal.exists():
            return []
        return [" ".join(line.split()[2:4]) for line in self.journal.read_text().splitlines()
                if line.startswith("REQ ")]

    def stop(self) -> None:
        self.process.terminate()
        self.process.wait(timeout=10)
        self.process.stderr.close()


@unittest.skipUnless(shutil.which("ipmitool"), "ipmitool is not installed")
class IpmitoolAgainstBmcsimLan(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="velkoran-lan-")
        self.work = pathlib.Path(self.tmp.name)
        self.bmcs = []

    def tearDown(self):
        for bmc in self.bmcs:
            bmc.stop()
        self.tmp.cleanup()

    def start(self, *options: str) -> LanBmc:
        self.bmcs.append(LanBmc(self.work, *options))
        return self.bmcs[-1]

    def test_commands_in_a_session_with_each_cipher_suite(self):
        bmc = self.start()
        for cipher in (3, 17):
            with self.subTest(cipher=cipher):
                info = bmc.ipmitool(cipher, "mc", "info")
                self.assertEqual(info.returncode, 0, info.stderr)
                self.assertRegex(info.stdout, r"Device ID\s+: 32\n")
                self.assertRegex(info.stdout, r"Firmware Revision\s+: 1\.0\d\n")
                self.assertRegex(info.stdout, r"IPMI Version\s+: 2\.0\n")
                selftest = bmc.ipmitool(cipher, "mc", "selftest")
                self.assertEqual(selftest.returncode, 0, selftest.stderr)
                self.assertIn("Selftest: passed", selftest.stdout)
                # No upload in this session: the BMC answers that progress
                # means nothing yet, through the session like any answer.
                raw = bmc.ipmitool(cipher, "raw", "0x3e", "0x17")
                self.assertNotEqual(raw.returncode, 0, raw.stdout)
                self.assertIn("rsp=0xd5", raw.stderr)
        requests = bmc.requests()
        # Six sessions, each raised to Administrator and closed; each request once.
        for request, count in (("18 3B", 6), ("18 3C", 6), ("18 04", 2), ("F8 17", 2)):
            self.assertEqual(requests.count(request), count, (request, requests))

    def test_fault_knobs_on_replies(self):
        # Replies count from the first one (Get Channel Authentication
        # Capabilities): the 4th is dropped and the 6th corrupted, so ipmitool
        # sends those requests again; the duplicated 2nd is a replay it ignores.
        bmc = self.start("--lan-drop", "4", "--lan-fault", "corrupt:6", "--lan-duplicate", "2",
                         "--lan-delay", "3:300")
        info = bmc.ipmitool(17, "mc", "info")
        self.assertEqual(info.returncode, 0, info.stderr)
        self.assertRegex(info.stdout, r"Device ID\s+: 32\n")
        self.assertIn("invalid authcode", info.stderr)
        requests = bmc.requests()
        self.assertEqual(requests[4], requests[3], requests)
        self.assertEqual(requests[6], requests[5], requests)
        self.assertEqual(len(set(requests[:4])), 4, requests)

    def test_refusals(self):
        bmc = self.start("--lan-ciphers", "3")
        cases = [
            ("wrong password", 3, "secre7", "ADMINISTRATOR",
             r"RAKP 2 HMAC is invalid"),
            ("cipher suite 0", 0, "secret", "ADMINISTRATOR", r"no matching cipher suite"),
            ("suite not offered", 17, "secret", "ADMINISTRATOR", r"no matching cipher suite"),
        ]
        for what, cipher, password, privilege, message in cases:
            with self.subTest(what):
                run = bmc.ipmitool(cipher, "mc", "info", password=password, privilege=privilege,
                                   verbose=True)
                self.assertNotEqual(run.returncode, 0, run.stdout)
                self.assertRegex(run.stderr, message)
        self.assertEqual(bmc.requests(), ["18 38"] * len(cases), "no request inside a session")

    def test_a_user_without_administrator(self):
        bmc = self.start("--lan-privilege", "user")
        refused = bmc.ipmitool(3, "mc", "info", verbose=True)
        self.assertNotEqual(refused.returncode, 0, refused.stdout)
        self.assertRegex(refused.stderr, r"RAKP 2 message indicates an error : unauthorized role")
        info = bmc.ipmitool(17, "mc", "info", privilege="USER")
        self.assertEqual(info.returncode, 0, info.stderr)
        raw = bmc.ipmitool(17, "raw", "0x3e", "0x17", privilege="USER")
        self.assertNotEqual(raw.returncode, 0, raw.stdout)
        self.assertRegex(raw.stderr, r"(?i)insufficient privilege")
        # Received and journaled, but refused before it reached the firmware handlers.
        self.assertRegex(bmc.journal.read_text(), r"REQ (..) F8 17\nRSP \1 FC 17 D4\n")


if __name__ == "__main__":
    unittest.main()
