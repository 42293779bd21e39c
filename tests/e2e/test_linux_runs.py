"""velkoran for Linux when runs meet: two runs on one BMC, two runs on one
file, names that lead elsewhere, a kcs.cfg swapped under a run as root, and
a signal in each wait (against bmcsim on the host, no QEMU)."""

import fcntl
import json
import os
import pathlib
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import linux_guest  # noqa: E402
from test_linux_root import Bmc, RootTest, read_until, start  # noqa: E402

BUSY = "ERROR:ANOTHER RUN OF THIS PROGRAM IS USING THIS BMC\n"
OPEN_FAILED = "ERROR: OPEN FILE FAILED\n"
OWN_FILE = "ERROR:PLEASE GIVE --report A FILE OF ITS OWN\n"
# Root's kcs.cfg and another user's trade places over and over, each swap
# atomic (renameat2 RENAME_EXCHANGE), so that each lookup may find either.
SWAP = """
import ctypes, os, sys
os.chdir(sys.argv[1])
for name, text, owner in [("kcs.cfg", "CMD 0CA3\\nDATA 0CA2\\n", 0),
                          ("other", "CMD 0080\\nDATA 0081\\n", 65534)]:
    with open(name, "w") as f:
        f.write(text)
    os.chown(name, owner, owner)
    os.chmod(name, 0o644)
renameat2 = ctypes.CDLL(None, use_errno=True).renameat2
AT_FDCWD, RENAME_EXCHANGE = -100, 2
print("ready", flush=True)
while True:
    renameat2(AT_FDCWD, b"kcs.cfg", AT_FDCWD, b"other", RENAME_EXCHANGE)
"""


def run(args, work, env, timeout=60):
    program = start(args, work, env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, errors = program.communicate(timeout=timeout)
    return program.returncode, out.decode(), errors.decode()


def held(path: pathlib.Path, data: bytes):
    """A file that a live run is writing: made and locked as a run does."""
    path.write_bytes(data)
    handle = open(path, "rb")
    fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
    return handle


class OneRunPerBmc(RootTest):
    def test_a_second_update_on_the_same_bmc_ends_at_once(self):
        work = self.fresh("two-updates")
        bmc = Bmc(work, ["--fw-progress", "100"])
        try:
            first = start(["-f", str(self.image(work)), "--report", "a.json"], work, bmc.env(),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            read_until(first, "Load part 0")
            status, out, errors = run(["-f", str(self.image(work)), "--report", "b.json"],
                                      work, bmc.env())
            rest, _ = first.communicate(timeout=120)
        finally:
            report = bmc.stop()
        self.assertEqual(status, 4, out + errors)
        self.assertTrue(out.endswith(BUSY + "\n"), out[-200:])
        second = json.loads((work / "b.json").read_text())
        self.assertEqual(second["outcome"], {"class": 4, "name": "refused"})
        self.assertEqual(second["bytes_sent"], 0)
        self.assertEqual(first.returncode, 0, rest.decode()[-300:])
        self.assertEqual((report.get("updates"), report.get("coldResets")), (1, 0), report)
        self.assertTrue(report.get("updateComplete"), report)

    def test_a_lock_left_by_a_dead_run_is_free(self):
        work = self.fresh("dead-run")
        bmc = Bmc(work, ["--fw-progress", "100"])
        try:
            first = start(["-f", str(self.image(work))], work, bmc.env(),
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            read_until(first, "Load part 0")
            first.kill()
            first.communicate(timeout=30)
            status, out, errors = run(["--bmc-info"], work, bmc.env())
        finally:
            bmc.stop()
        self.assertEqual(status, 0, out + errors)
        self.assertNotIn(BUSY, out)


class OwnFiles(RootTest):
    def backup(self, work, args, env):
        return run(["-c", "-d", "cfg.bin"] + list(args), work, env)

    def test_a_temporary_file_that_a_live_run_writes_is_left_alone(self):
        # Either order: the later run finds the earlier one's file held.
        for earlier in ("held partial, new target", "held partial, old target"):
            with self.subTest(earlier):
                work = self.fresh(earlier.replace(",", ""))
                (work / "served.bin").write_bytes(os.urandom(3000))
                if "old" in earlier:
                    (work / "cfg.bin").write_bytes(b"complete backup of the other run")
                bmc = Bmc(work, ["--config-store", str(work / "served.bin")])
                try:
                    with held(work / "cfg.bin.partial", b"half of another run's backup"):
                        status, out, errors = self.backup(work, [], bmc.env())
                        self.assertEqual((work / "cfg.bin.partial").read_bytes(),
                                         b"half of another run's backup")
                finally:
                    bmc.stop()
                self.assertEqual(status, 2, out + errors)
                self.assertIn(OPEN_FAILED, out)
                if "old" in earlier:
                    self.assertEqual((work / "cfg.bin").read_bytes(),
                                     b"complete backup of the other run")
                else:
                    self.assertFalse((work / "cfg.bin").exists())

    def test_a_temporary_file_of_a_dead_run_is_replaced(self):
        work = self.fresh("dead-partial")
        served = os.urandom(3000)
        (work / "served.bin").write_bytes(served)
        (work / "cfg.bin.partial").write_bytes(b"left by a run that died")
        bmc = Bmc(work, ["--config-store", str(work / "served.bin")])
        try:
            status, out, errors = self.backup(work, [], bmc.env())
        finally:
            bmc.stop()
        self.assertEqual(status, 0, out + errors)
        self.assertFalse((work / "cfg.bin.partial").exists())
        self.assertTrue((work / "cfg.bin").exists())

    def test_the_reports_temporary_name_is_no_other_file_of_the_run(self):
        cases = [(["--bmc-info", "--log", "keep.log.partial", "--report", "keep.log"],
                  "keep.log.partial"),
                 (["-f", "keep.bin.partial", "--report", "keep.bin"], "keep.bin.partial")]
        for args, kept in cases:
            with self.subTest(args=args):
                work = self.fresh(kept)
                (work / kept).write_bytes(b"earlier runs")
                bmc = Bmc(work, [])
                try:
                    status, out, errors = run(args, work, bmc.env())
                    requests = bmc.requests()
                finally:
                    bmc.stop()
                self.assertEqual(status, 1, out + errors)
                self.assertIn(OWN_FILE, out)
                self.assertEqual(requests, 0)
                self.assertTrue((work / kept).read_bytes().startswith(b"earlier runs"))

    def test_no_output_through_a_link_to_a_non_file(self):
        work = self.fresh("stdout-link")
        (work / "served.bin").write_bytes(os.urandom(3000))
        for name, target, option in [("out.bin", "/proc/self/fd/1", "-d"),
                                     ("null.bin", "/dev/null", "-d"),
                                     ("r.json", "/proc/self/fd/2", "--report")]:
            with self.subTest(name):
                (work / name).symlink_to(target)
                bmc = Bmc(work, ["--config-store", str(work / "served.bin")])
                try:
                    args = ["-c", "-d", name] if option == "-d" else \
                        ["-c", "-d", "cfg.bin", "--report", name]
                    status, out, errors = run(args, work, bmc.env())
                finally:
                    bmc.stop()
                self.assertTrue((work / name).is_symlink())
                self.assertEqual(os.readlink(work / name), target)
                self.assertFalse((work / (name + ".partial")).exists())
                if option == "-d":
                    self.assertEqual(status, 2, out + errors)
                    self.assertIn(OPEN_FAILED, out)
                else:
                    self.assertIn(f"WARNING: THE REPORT FILE {name} CANNOT BE WRITTEN", out)

    def test_a_link_to_a_regular_file_is_replaced(self):
        work = self.fresh("file-link")
        (work / "served.bin").write_bytes(os.urandom(3000))
        (work / "victim").write_bytes(b"precious")
        (work / "cfg.bin").symlink_to(work / "victim")
        bmc = Bmc(work, ["--config-store", str(work / "served.bin")])
        try:
            status, out, errors = run(["-c", "-d", "cfg.bin"], work, bmc.env())
        finally:
            bmc.stop()
        self.assertEqual(status, 0, out + errors)
        self.assertFalse((work / "cfg.bin").is_symlink())
        self.assertEqual((work / "victim").read_bytes(), b"precious")


class KcsConfigRace(RootTest):
    def test_a_kcs_cfg_swapped_meanwhile_never_gives_its_ports(self):
        # No IPMI device and no BMC link: the ports transport reads kcs.cfg.
        # Another user's file takes the place of root's own between runs and
        # within them; the ports it names (0x80) must never be the ones tried.
        work = self.fresh("kcs-race")
        os.chmod(work, 0o1777)
        env = {k: v for k, v in os.environ.items() if k != "VELKORAN_BMC"}
        env["VELKORAN_IPMI_DEVICE"] = ""
        swapper = subprocess.Popen([sys.executable, "-c", SWAP, str(work)],
                                   stdout=subprocess.PIPE)
        swapper.stdout.readline()
        seen = []
        try:
            for _ in range(400):
                status, out, errors = run(["--bmc-info"], work, env, timeout=30)
                seen.append(errors)
        finally:
            swapper.kill()
            swapper.wait()
        planted = [e for e in seen if "0x80" in e or "0x81" in e]
        self.assertEqual(planted, [])


class DeviceHint(RootTest):
    def test_a_device_variable_naming_no_ipmi_device_says_what_it_names(self):
        work = self.fresh("device")
        os.mkfifo(work / "fifo")
        (work / "file").write_bytes(b"")
        env = {k: v for k, v in os.environ.items() if k != "VELKORAN_BMC"}
        for path, what in [("/dev/null", "a device, but not the IPMI driver's"),
                           (str(work / "fifo"), "a FIFO"), (str(work / "file"), "a regular file")]:
            with self.subTest(path):
                env["VELKORAN_IPMI_DEVICE"] = path
                status, out, errors = run(["--bmc-info", "--report", "r.json"], work, env)
                self.assertEqual(status, 3, out + errors)
                self.assertEqual(errors, f"velkoran: {path} is {what}: no BMC answers there "
                                 "(VELKORAN_IPMI_DEVICE names the kernel's IPMI device, such "
                                 "as /dev/ipmi0)\n")
                # The cause is in the report too (an entry may be cut short),
                # not on stderr alone.
                kept = json.loads((work / "r.json").read_text())["errors"][0]
                self.assertTrue(errors.startswith(kept), kept)
                self.assertTrue(kept.startswith(f"velkoran: {path} is {what}"), kept)


class SignalInEachWait(RootTest):
    def stopped(self, work, args, bmc_options, ready, sig=signal.SIGTERM, delay=1.5):
        bmc = Bmc(work, bmc_options)
        try:
            program = start(args + ["--report", "r.json", "--log", "run.log"], work, bmc.env(),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            seen = read_until(program, ready)
            time.sleep(delay)  # well into the wait
            sent = time.monotonic()
            program.send_signal(sig)
            rest, errors = program.communicate(timeout=60)
            took = time.monotonic() - sent
        finally:
            bmc.stop()
        report = json.loads((work / "r.json").read_text())
        last = (work / "run.log").read_text().splitlines()[-1]
        return program.returncode, seen + rest.decode(), errors.decode(), report, last, took

    def test_a_signal_ends_each_wait_with_the_log_and_report(self):
        image = str(self.image(self.work))
        cases = [
            ("wait-bmc after a failed update",
             ["-f", image, "--wait-bmc=300"],
             ["--fw-reject", "0:1", "--reboot-seconds", "300"],
             "Execute Cold Reset Success", True),
            ("wait-bmc after a completed update",
             ["-f", image, "--wait-bmc=300"], ["--fw-progress", "100", "--reboot-seconds", "300"],
             "Update Complete", False),
            ("dump readiness", ["-d", "dump.bin"], ["--firmware", "--fw-not-ready", "100000"],
             "Phase1:Wait for BMC", False),
        ]
        for name, args, options, ready, reset in cases:
            for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
                with self.subTest(name, signal=sig.name):
                    work = self.fresh(f"{name}-{sig.name}")
                    status, out, errors, report, last, took = self.stopped(
                        work, args, options, ready, sig)
                    self.assertEqual(status, -sig, out[-300:] + errors)
                    self.assertLess(took, 10)
                    self.assertNotIn("WITHIN", out)
                    self.assertNotIn("writes its new firmware", errors)
                    self.assertEqual(report["outcome"],
                                     {"class": 128 + sig, "name": "interrupted"})
                    self.assertEqual(report["signal"], {"name": sig.name, "number": int(sig),
                                                        "cold_reset_sent": reset})
                    self.assertIn(f" outcome {128 + sig} interrupted signal {sig.name} "
                                  f"{'cold-reset-sent' if reset else 'no-cold-reset'} ", last)

    def test_a_signal_at_the_key_prompt_sends_nothing(self):
        work = self.fresh("prompt")
        bmc = Bmc(work, [])
        try:
            program = start(["-i", "usb", "-f", str(self.image(self.work)), "--report", "r.json"],
                            work, bmc.env(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
            read_until(program, "Press any to continue")
            time.sleep(0.5)
            program.send_signal(signal.SIGINT)
            program.wait(timeout=30)
            requests = bmc.requests()
        finally:
            bmc.stop()
        self.assertEqual(program.returncode, -signal.SIGINT)
        self.assertEqual(requests, 0)
        report = json.loads((work / "r.json").read_text())
        self.assertEqual(report["outcome"], {"class": 130, "name": "interrupted"})

    def test_a_signal_in_the_progress_poll_leaves_the_bmc_writing(self):
        work = self.fresh("progress")
        status, out, errors, report, last, took = self.stopped(
            work, ["-f", str(self.image(self.work))], ["--fw-progress", "10"],
            "new firmware is updating")
        self.assertEqual(status, -signal.SIGTERM)
        self.assertLess(took, 10)
        self.assertIn("interrupted while the BMC writes its new firmware", errors)
        self.assertEqual(report["outcome"], {"class": 8, "name": "unsettled"})
        self.assertEqual(report["signal"]["name"], "SIGTERM")
        self.assertIn(" outcome 8 unsettled signal SIGTERM no-cold-reset ", last)

    def test_the_report_of_a_run_stopped_in_the_upload(self):
        work = self.fresh("upload")
        status, out, errors, report, last, took = self.stopped(
            work, ["-f", str(self.image(self.work))], ["--fw-progress", "100"], "Load part 0",
            delay=0)
        self.assertEqual(status, -signal.SIGTERM)
        self.assertEqual(report["outcome"], {"class": 143, "name": "interrupted"})
        self.assertEqual(report["signal"], {"name": "SIGTERM", "number": 15,
                                            "cold_reset_sent": True})
        self.assertIn(" outcome 143 interrupted signal SIGTERM cold-reset-sent ", last)


if __name__ == "__main__":
    if not linux_guest.VELKORAN.exists():
        sys.exit(f"{linux_guest.VELKORAN} is not built")
    unittest.main()
