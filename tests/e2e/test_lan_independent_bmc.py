"""velkoran (the Linux build) over IPMI v2.0 RMCP+ against OpenIPMI's
ipmi_sim LAN interface on the loopback: a session implementation nobody here
wrote. No QEMU. ipmi_sim offers cipher suites 0 to 3: velkoran settles on 3,
never 0, and refuses 17 when it is pinned."""

import os
import pathlib
import select
import signal
import re
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import flows_support as fs  # noqa: E402
import independent_bmc  # noqa: E402

VELKORAN = fs.HOST_DIR / "velkoran"
USER, PASSWORD = "ipmiusr", "test"
LAN_CONFIGURATION = """name "velkoran-lan"
set_working_mc 0x20
  startlan 1
    addr 127.0.0.1 {port}
    priv_limit admin
    allowed_auths_admin none md2 md5 straight
    guid a123456789abcdefa123456789abcdef
  endlan
  user 2 true "{user}" "{password}" admin 10 none md2 md5 straight
"""
REFUSED_LINE = "ERROR:THE BMC REFUSED THE USER NAME OR PASSWORD\n"
NO_SUITE_LINE = "ERROR:THE BMC OFFERS NO CIPHER SUITE WITH INTEGRITY AND ENCRYPTION (3 OR 17)\n"


def free_udp_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class LanAgainstIpmiSim(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        missing = independent_bmc.missing() + [str(VELKORAN)] * (not VELKORAN.exists())
        if missing:
            raise unittest.SkipTest(f"missing: {missing}")
        cls.scratch = tempfile.TemporaryDirectory(prefix="velkoran-lan-ipmisim-")
        cls.work = pathlib.Path(cls.scratch.name)
        cls.port = free_udp_port()
        (cls.work / "state").mkdir()
        (cls.work / "lan.conf").write_text(
            LAN_CONFIGURATION.format(port=cls.port, user=USER, password=PASSWORD))
        (cls.work / "sim.emu").write_text(independent_bmc.COMMANDS)
        cls.sim = subprocess.Popen(
            ["ipmi_sim", "-c", "lan.conf", "-f", "sim.emu", "-s", "state", "-n"],
            cwd=cls.work, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.5)

    @classmethod
    def tearDownClass(cls):
        cls.sim.terminate()
        cls.sim.wait(timeout=10)
        cls.scratch.cleanup()

    def run_lan(self, args, password_args=("-p", PASSWORD), env=None, timeout=60):
        command = ["velkoran", "-i", "lan", "-h", "127.0.0.1", str(self.port), "-u", USER,
                   *password_args, *args]
        started = time.monotonic()
        run = subprocess.run(command, executable=str(VELKORAN), cwd=self.work, capture_output=True,
                             timeout=timeout, env=dict(os.environ, **(env or {})))
        return run, time.monotonic() - started

    def test_bmc_info_shows_ipmi_sims_identity_over_suite_3(self):
        for name, extra in (("any suite", []), ("3 pinned", ["--cipher", "3"])):
            with self.subTest(name):
                run, _ = self.run_lan(["--bmc-info", *extra])
                out = run.stdout.decode()
                self.assertEqual(run.returncode, 0, out + run.stderr.decode())
                self.assertIn(f"BMC firmware revision: {independent_bmc.REVISION}\n", out)
                self.assertIn("Manufacturer ID: 4753 (0x01291), product ID: 3842 (0x0f02)\n", out)

    def test_refusals_end_at_once_with_their_line(self):
        (self.work / "restore.bin").write_bytes(bytes(700))
        cases = [
            ("wrong password", ("-p", "wrong"), [], REFUSED_LINE),
            ("wrong password, restore", ("-p", "wrong"), ["-c", "-f", "restore.bin"], REFUSED_LINE),
            ("unknown user", ("-p", PASSWORD), ["-u", "nobody"], REFUSED_LINE),
            ("17 pinned, ipmi_sim lacks it", ("-p", PASSWORD), ["--cipher", "17"], NO_SUITE_LINE),
        ]
        for name, password, extra, line in cases:
            with self.subTest(name):
                job = extra if "-c" in extra else ["--bmc-info", *extra]
                run, seconds = self.run_lan(job, password)
                out = run.stdout.decode()
                self.assertEqual(run.returncode, 4, out)
                self.assertIn(line + "\n", out)
                self.assertLess(seconds, 10)

    def test_every_job_is_refused_within_seconds_and_earlier_files_stay(self):
        for name, content in independent_bmc.earlier_files().items():
            (self.work / name).write_bytes(content)
        (self.work / "pw").write_text(PASSWORD + "\n")
        (self.work / "pw").chmod(0o600)
        sources = [("-p", ["-p", PASSWORD], {}), ("environment", [], {"VELKORAN_PASSWORD": PASSWORD}),
                   ("file", ["--password-file", "pw"], {})]
        for (name, args, wanted), (source, password, env) in zip(independent_bmc.RUNS,
                                                                 sources * 2):
            with self.subTest(name, password_from=source):
                run, seconds = self.run_lan([*args, "--log", "run.log", "--report", "report.json"],
                                            password, env)
                out = run.stdout.decode(errors="replace")
                self.assertEqual(run.returncode, 4, out)
                self.assertEqual(independent_bmc.console_faults(out, wanted), [], out)
                self.assertLess(seconds, independent_bmc.SECONDS_BOUND)
                # The password is in neither the console, the log nor the report.
                for text in (out, (self.work / "run.log").read_text(),
                             (self.work / "report.json").read_text()):
                    self.assertNotIn(" test ", text.replace('"test"', " test "))
                self.assertEqual("-p" in password, "-p ********" in out)
                self.assertEqual("-p" in password, b"warning" in run.stderr)
        for name, content in independent_bmc.earlier_files().items():
            self.assertEqual((self.work / name).read_bytes(), content, name)

    def test_unusable_passwords_are_refused_before_anything_is_sent(self):
        (self.work / "open-pw").write_text(PASSWORD + "\n")
        (self.work / "open-pw").chmod(0o644)
        cases = [
            ("21 bytes", ("-p", "x" * 21), {}, "ERROR:THE PASSWORD IS LONGER THAN 20 BYTES\n"),
            ("21 bytes from the environment", (), {"VELKORAN_PASSWORD": "y" * 21},
             "ERROR:THE PASSWORD IS LONGER THAN 20 BYTES\n"),
            ("readable file", ("--password-file", "open-pw"), {},
             "ERROR:THE PASSWORD FILE MAY BE READ BY OTHER USERS, chmod 600 IT:open-pw\n"),
            ("none", (), {}, "ERROR:PLEASE ENTER THE PASSWORD\n"),
        ]
        for name, password, env, line in cases:
            with self.subTest(name):
                environment = {k: v for k, v in os.environ.items() if k != "VELKORAN_PASSWORD"}
                environment.update(env)
                command = ["velkoran", "-i", "lan", "-h", "127.0.0.1", str(self.port), "-u", USER,
                           *password, "--bmc-info"]
                run = subprocess.run(command, executable=str(VELKORAN), cwd=self.work,
                                     capture_output=True, timeout=30, env=environment)
                self.assertEqual(run.returncode, 1)
                self.assertIn(line, run.stdout.decode())

    def test_a_signal_ends_the_session_with_a_close_the_bmc_accepts(self):
        """Through a UDP relay that stops passing ipmi_sim's replies once the
        session carries its first request: SIGTERM while velkoran waits
        sends one more session packet, which ipmi_sim answers (so its
        integrity held), and velkoran ends by the signal."""
        relay = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        relay.bind(("127.0.0.1", 0))
        bmc = ("127.0.0.1", self.port)
        upstream = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        upstream.connect(bmc)
        command = ["velkoran", "-i", "lan", "-h", "127.0.0.1", str(relay.getsockname()[1]),
                   "-u", USER, "-p", PASSWORD, "--bmc-info"]
        program = subprocess.Popen(command, executable=str(VELKORAN), cwd=self.work,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        client, session_packets, replies_after_signal = None, 0, 0
        trigger = signalled = None
        try:
            deadline = time.monotonic() + 15
            while time.monotonic() < deadline and program.poll() is None or \
                    signalled and time.monotonic() < signalled + 1:
                ready, _, _ = select.select([relay, upstream], [], [], 0.1)
                for sock in ready:
                    if sock is relay:
                        data, client = relay.recvfrom(2048)
                        upstream.send(data)
                        # Set Session Privilege Level, then Get Device ID.
                        session_packets += data[4] == 0x06 and data[5] & 0xC0 == 0xC0
                    else:
                        data = upstream.recv(2048)
                        if signalled:
                            replies_after_signal += 1
                        elif session_packets < 2:
                            relay.sendto(data, client)
                if session_packets == 2 and trigger is None:
                    trigger = time.monotonic() + 0.3  # the request's reply withheld by then
                if trigger is not None and signalled is None and time.monotonic() > trigger:
                    program.send_signal(signal.SIGTERM)
                    signalled = time.monotonic()
            program.wait(timeout=10)
        finally:
            if program.poll() is None:
                program.kill()
            relay.close()
            upstream.close()
        self.assertEqual(program.returncode, -signal.SIGTERM)
        self.assertEqual(session_packets, 3)  # the Close Session after the signal
        self.assertEqual(replies_after_signal, 1)

    def test_a_local_bmc_hears_nothing(self):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as local:
            path = self.work / "local-bmc.sock"
            local.bind(str(path))
            local.listen(1)
            run, _ = self.run_lan(["--bmc-info"], env={"VELKORAN_BMC": f"unix:{path}"})
            self.assertEqual(run.returncode, 0, run.stdout.decode())
            local.setblocking(False)
            with self.assertRaises(BlockingIOError):
                local.accept()


if __name__ == "__main__":
    unittest.main()
