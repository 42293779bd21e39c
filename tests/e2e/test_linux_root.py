"""velkoran, the Linux build, run as root from scripts, over SSH and under
nohup, against bmcsim on the host (no QEMU): signals it did not expect,
links and FIFOs planted where it writes, inputs that are no files, closed
standard descriptors. None of them may cost a BMC (left in update mode) or
a file of someone else's."""

import os
import pathlib
import random
import resource
import signal
import stat
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import flows_support as fs  # noqa: E402
import linux_guest  # noqa: E402

RECEIVE_FAILED = 'ERROR:SEND "ReceiveFWData" COMMAND TO BMC FAILED\n'
COLD_RESET = "Execute Cold Reset Success\n"


SHARED = tempfile.TemporaryDirectory(prefix="velkoran-root-image-")
IMAGE = pathlib.Path(SHARED.name) / "big.bin"


class Bmc:
    """bmcsim on a UNIX socket in `work`, with a journal of every frame."""

    def __init__(self, work: pathlib.Path, options: list[str]):
        self.socket, self.journal = work / "bmc.sock", work / "journal.txt"
        self.report = work / "report.json"
        self.process = linux_guest.start_bmcsim(
            self.socket, ["--journal", str(self.journal), "--fw-report", str(self.report)] + options,
            work)

    def stop(self) -> dict:
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=20)
        return fs.load_report(self.report)

    def requests(self) -> int:
        text = self.journal.read_text() if self.journal.exists() else ""
        return text.count("REQ ")

    def env(self) -> dict:
        return dict(os.environ, VELKORAN_BMC=f"unix:{self.socket}")


def start(args: list[str], work: pathlib.Path, env: dict, setup=None, **streams):
    def prepare():
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
        if setup:
            setup()
    return subprocess.Popen([str(linux_guest.VELKORAN)] + args, cwd=work, env=env,
                            preexec_fn=prepare, **streams)


def read_until(program: subprocess.Popen, text: str) -> str:
    seen = b""
    deadline = time.monotonic() + 60
    while text.encode() not in seen and time.monotonic() < deadline:
        chunk = os.read(program.stdout.fileno(), 4096)
        if not chunk:
            break
        seen += chunk
    return seen.decode()


class RootTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        for tool in (fs.BMCSIM, fs.IMAGE_TOOL, linux_guest.VELKORAN):
            if not tool.exists():
                self.fail(f"{tool} is not built")
        self.scratch = tempfile.TemporaryDirectory(prefix="velkoran-root-")
        self.work = pathlib.Path(self.scratch.name)

    def tearDown(self):
        self.scratch.cleanup()

    def fresh(self, name: str) -> pathlib.Path:
        work = self.work / name.replace(" ", "-").replace("/", "")
        work.mkdir()
        return work

    def image(self, work: pathlib.Path) -> pathlib.Path:
        """A 2 MiB image, made once for all tests."""
        if not IMAGE.exists():
            fs.make_image(IMAGE.parent, IMAGE.name, [(2 << 20, 0)])
        return IMAGE


class Signals(RootTest):
    def interrupted(self, work, sig, extra=(), setup=None):
        bmc = Bmc(work, ["--fw-progress", "100"])
        try:
            program = start(["-f", str(self.image(work))] + list(extra), work, bmc.env(), setup,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            seen = read_until(program, "Load part 0")
            program.send_signal(sig)
            rest, errors = program.communicate(timeout=60)
        finally:
            report = bmc.stop()
        return program.returncode, seen + rest.decode(), errors.decode(), report

    def test_each_stopping_signal_ends_the_update_with_the_cold_reset(self):
        cases = [(signal.SIGINT, ()), (signal.SIGTERM, ()), (signal.SIGHUP, ()),
                 (signal.SIGQUIT, ()), (signal.SIGUSR1, ()), (signal.SIGALRM, ()),
                 # No waiting for the BMC after an interrupted update.
                 (signal.SIGINT, ("--wait-bmc",)), (signal.SIGTERM, ("--wait-bmc=900",))]
        for sig, extra in cases:
            with self.subTest(signal=sig.name, extra=extra):
                status, out, errors, report = self.interrupted(
                    self.fresh(f"{sig.name}{''.join(extra)}"), sig, extra)
                self.assertEqual(status, -sig)
                self.assertTrue(out.endswith(RECEIVE_FAILED + COLD_RESET), out[-300:])
                self.assertIn("interrupted: the update stops here", errors)
                self.assertEqual(report.get("coldResets"), 1, report)

    def test_a_signal_ignored_at_start_stays_ignored(self):
        for sig in (signal.SIGHUP, signal.SIGINT):
            with self.subTest(sig.name):
                status, out, errors, report = self.interrupted(
                    self.fresh(f"nohup-{sig.name}"), sig,
                    setup=lambda sig=sig: signal.signal(sig, signal.SIG_IGN))
                self.assertEqual(status, 0, out[-300:] + errors)
                self.assertTrue(report.get("updateComplete"), report)
                self.assertEqual(errors, "")

    def test_a_closed_pipe_or_a_full_log_does_not_stop_the_update(self):
        def fsize_limit():
            resource.setrlimit(resource.RLIMIT_FSIZE, (300, resource.RLIM_INFINITY))

        for name, setup, extra in [("pipe", None, []), ("log past ulimit -f", fsize_limit,
                                                        ["--log", "run.log"])]:
            with self.subTest(name):
                work = self.fresh(name)
                bmc = Bmc(work, ["--fw-progress", "100"])
                try:
                    program = start(["-f", str(self.image(work))] + extra, work, bmc.env(), setup,
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
                    read_until(program, "Load part 0")
                    if name == "pipe":
                        program.stdout.close()  # as `| head -2` does
                    else:
                        program.stdout.read()
                    program.wait(timeout=120)
                    program.stdout.close()
                finally:
                    report = bmc.stop()
                self.assertEqual(program.returncode, 0)
                self.assertTrue(report.get("updateComplete"), report)

    def test_console_text_before_a_signal_reaches_stdout_and_the_log(self):
        work = self.fresh("console")
        bmc = Bmc(work, ["--firmware"])
        out = work / "out.txt"
        try:
            with open(out, "wb") as console:
                program = start(["-d", "dump.bin", "--log", "run.log"], work, bmc.env(),
                                stdout=console, stderr=subprocess.DEVNULL)
                deadline = time.monotonic() + 30
                # The dump's wait for the BMC follows its first requests.
                while bmc.requests() < 2 and time.monotonic() < deadline:
                    time.sleep(0.1)
                time.sleep(0.5)
                program.send_signal(signal.SIGTERM)
                program.wait(timeout=30)
        finally:
            bmc.stop()
        self.assertEqual(program.returncode, -signal.SIGTERM)
        text = out.read_text()
        self.assertIn("velkoran -d dump.bin --log run.log \n", text)
        self.assertTrue(text.endswith("Phase1:Wait for BMC !!\n"), text[-200:])
        self.assertIn("Phase1:Wait for BMC !!\n", (work / "run.log").read_text())


class Files(RootTest):
    def backup(self, work, args=(), env=None, setup=None, served=b""):
        bmc = Bmc(work, ["--config-store", str(work / "served.bin")])
        try:
            run = start(["-c", "-d", "cfg.bin"] + list(args), work, env or bmc.env(), setup,
                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            out, errors = run.communicate(timeout=60)
        finally:
            bmc.stop()
        return run.returncode, out.decode(), errors.decode()

    def served(self, work) -> bytes:
        data = bytes(random.Random(5).randrange(256) for _ in range(3000))
        (work / "served.bin").write_bytes(data)
        return data

    def test_planted_links_at_the_temporary_name_are_not_followed(self):
        plants = {"symlink": lambda at, victim: at.symlink_to(victim),
                  "hard link": lambda at, victim: os.link(victim, at),
                  "fifo": lambda at, victim: os.mkfifo(at)}
        for name, plant in plants.items():
            for reachable in (True, False):
                with self.subTest(name, reachable=reachable):
                    work = self.fresh(f"{name}-{reachable}")
                    data = self.served(work)
                    victim = work / "victim"
                    victim.write_bytes(b"precious")
                    plant(work / "cfg.bin.partial", victim)
                    env = None if reachable else dict(os.environ,
                                                      VELKORAN_BMC=f"unix:{work}/none.sock")
                    status, out, _ = self.backup(work, env=env, setup=lambda: os.umask(0o022))
                    self.assertEqual(victim.read_bytes(), b"precious")
                    cfg = work / "cfg.bin"
                    if reachable:
                        self.assertEqual(status, 0, out)
                        self.assertTrue(stat.S_ISREG(cfg.lstat().st_mode))
                        self.assertEqual(stat.S_IMODE(cfg.lstat().st_mode), 0o644)
                        self.assertEqual(cfg.read_bytes(), data)
                    else:
                        self.assertFalse(cfg.exists())

    def test_the_log_never_follows_a_link(self):
        work = self.fresh("log")
        data = self.served(work)
        (work / "victim").write_bytes(b"precious")
        (work / "run.log").symlink_to(work / "victim")
        status, out, _ = self.backup(work, ["--log", "run.log"])
        self.assertEqual((work / "victim").read_bytes(), b"precious")
        self.assertIn("WARNING: THE LOG FILE run.log CANNOT BE WRITTEN", out)
        self.assertEqual((work / "cfg.bin").read_bytes(), data)

    def test_closed_standard_descriptors_keep_console_text_out_of_the_data(self):
        for fd in (0, 1, 2):
            with self.subTest(fd=fd):
                work = self.fresh(f"closed-{fd}")
                data = self.served(work)
                self.backup(work, setup=lambda fd=fd: os.close(fd))
                self.assertEqual((work / "cfg.bin").read_bytes(), data)

    def test_no_usable_transport_in_configuration_mode(self):
        work = self.fresh("garbage")
        run = subprocess.run([str(linux_guest.VELKORAN), "-c", "-d", "cfg.bin"], cwd=work,
                             capture_output=True, timeout=30,
                             env=dict(os.environ, VELKORAN_BMC="garbage"))
        self.assertEqual(run.returncode, 3)
        self.assertTrue(run.stdout.decode().endswith("Operation Failed.\n"))
        self.assertEqual(os.listdir(work), [])

    def test_inputs_that_are_no_files_are_refused_before_the_bmc_hears_of_them(self):
        cases = [(["-f", "fifo"], "ERROR: OPEN BINARY FILE FAILED\n\n"),
                 (["-f", "/dev/zero"], "ERROR: OPEN BINARY FILE FAILED\n\n"),
                 (["-c", "-f", "fifo"], "ERROR: OPEN FILE FAILED\n\n"),
                 (["-c", "-f", "/dev/zero"], "ERROR: OPEN FILE FAILED\n\n"),
                 (["-c", "-f", "/dev/urandom"], "ERROR: OPEN FILE FAILED\n\n"),
                 (["-c", "-f", "/proc/cpuinfo"], "ERROR: OPEN FILE FAILED\n\n")]
        for args, error in cases:
            with self.subTest(args):
                work = self.fresh("-".join(args))
                os.mkfifo(work / "fifo")
                bmc = Bmc(work, ["--firmware"])
                try:
                    run = start(args, work, bmc.env(), stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL)
                    out, _ = run.communicate(timeout=30)
                finally:
                    bmc.stop()
                self.assertIn(error, out.decode())
                self.assertEqual(run.returncode, 2)
                self.assertEqual(bmc.requests(), 0)

    def test_compare_refuses_a_fifo(self):
        work = self.fresh("compare")
        image = self.image(work)
        os.mkfifo(work / "fifo")
        for args in (["fifo", str(image)], [str(image), "fifo"]):
            with self.subTest(args):
                run = subprocess.run([str(fs.IMAGE_TOOL), "compare"] + args, cwd=work,
                                     capture_output=True, timeout=30)
                self.assertGreater(run.returncode, 1)


if __name__ == "__main__":
    unittest.main()
