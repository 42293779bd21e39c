"""velkoran (the Linux build) over RMCP+ against bmcsim's LAN, whose session
code was written apart from velkoran's: update, dump, backup and restore with
cipher suites 3 and 17 leave the same bytes as over KCS; a dropped reply to a
chunk ends the update with its error line and the cold reset and no byte
twice, a dropped reply to the progress question is asked again. No QEMU."""

import os
import pathlib
import random
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import flows_support as fs  # noqa: E402
from test_lan_bmcsim_ipmitool import free_udp_port  # noqa: E402

VELKORAN = fs.HOST_DIR / "velkoran"


class Bmc:
    def __init__(self, work: pathlib.Path, options: list[str]):
        self.port = free_udp_port()
        self.process = subprocess.Popen(
            [str(fs.BMCSIM), "--lan", f"127.0.0.1:{self.port}", "--lan-user", "admin",
             "--lan-password", "secret", *options], cwd=work,
            stderr=subprocess.PIPE, text=True)
        assert "serving RMCP+" in self.process.stderr.readline()

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


def velkoran(work, bmc, args, cipher):
    return subprocess.run(["velkoran", "-i", "lan", "-h", "127.0.0.1", str(bmc.port), "-u", "admin",
                           "--cipher", str(cipher), *args], executable=str(VELKORAN), cwd=work,
                          capture_output=True, timeout=300,
                          env=dict(os.environ, VELKORAN_PASSWORD="secret"))


class JobsOverLan(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        missing = fs.missing_tools() + [str(VELKORAN)] * (not VELKORAN.exists())
        if missing:
            self.fail(f"host tools not built: {missing}")
        self.scratch = tempfile.TemporaryDirectory(prefix="velkoran-lan-bmcsim-")
        self.work = pathlib.Path(self.scratch.name)
        self.addCleanup(self.scratch.cleanup)

    def job(self, options, args, cipher):
        bmc = Bmc(self.work, options)
        try:
            return velkoran(self.work, bmc, args, cipher)
        finally:
            bmc.stop()

    def test_each_job_leaves_the_right_bytes_with_either_suite(self):
        image, inspected = fs.make_image(self.work, "image.bin", [(9000, 0), (3000, 0x4000)])
        regions = inspected["regions"]
        store = bytes(random.Random(5).randrange(256) for _ in range(700))
        (self.work / "served.bin").write_bytes(store)
        for cipher in (3, 17):
            with self.subTest("update", cipher=cipher):
                run = self.job(["--fw-flash-out", "flash.bin"], ["-f", "image.bin"], cipher)
                self.assertEqual(run.returncode, 0, run.stdout.decode()[-800:])
                self.assertEqual(fs.region_mismatches(
                    (self.work / "flash.bin").read_bytes(), image.read_bytes(), regions), [])
            with self.subTest("dump", cipher=cipher):
                run = self.job(["--fw-flash-in", "flash.bin"], ["-d", "dump.bin"], cipher)
                self.assertEqual(run.returncode, 0, run.stdout.decode()[-800:])
                flash = (self.work / "flash.bin").read_bytes()
                self.assertEqual((self.work / "dump.bin").read_bytes(), flash[:len(
                    (self.work / "dump.bin").read_bytes())])
            with self.subTest("backup", cipher=cipher):
                run = self.job(["--config-store", "served.bin"], ["-c", "-d", "backup.bin"], cipher)
                self.assertEqual(run.returncode, 0, run.stdout.decode()[-800:])
                self.assertEqual((self.work / "backup.bin").read_bytes(), store)
            with self.subTest("restore", cipher=cipher):
                run = self.job(["--config-store", "served.bin", "--config-store-out", "held.bin"],
                               ["-c", "-f", "backup.bin"], cipher)
                self.assertEqual(run.returncode, 0, run.stdout.decode()[-800:])
                self.assertEqual((self.work / "held.bin").read_bytes(), store)

    def requests(self, journal: str) -> list[str]:
        """The requests bmcsim received, as "NF CMD DATA..." without the sequence."""
        text = (self.work / journal).read_text()
        return [line.split(" ", 2)[2] for line in text.splitlines() if line.startswith("REQ ")]

    def test_a_lost_reply_is_asked_again_only_for_a_question(self):
        fs.make_image(self.work, "image.bin", [(3000, 0)])
        run = self.job(["--journal", "clean.txt", "--firmware"], ["-f", "image.bin"], 17)
        self.assertEqual(run.returncode, 0, run.stdout.decode()[-800:])
        clean = self.requests("clean.txt")
        # Replies are counted from 1 over the journal's requests: the
        # capabilities question, the privilege, GetFWUpdateInfo, the block
        # description, then the chunks.
        second_chunk = [i for i, r in enumerate(clean, 1) if r.startswith("F8 15")][1]
        first_progress = next(i for i, r in enumerate(clean, 1) if r.startswith("F8 17"))
        with self.subTest("chunk"):
            run = self.job(["--journal", "chunk.txt", "--firmware", "--lan-drop", str(second_chunk)],
                           ["-f", "image.bin"], 17)
            out = run.stdout.decode()
            self.assertEqual(run.returncode, 3, out[-800:])  # unanswered, as over KCS
            self.assertIn('ERROR:SEND "ReceiveFWData" COMMAND TO BMC FAILED\n', out)
            self.assertIn("Execute Cold Reset Success\n", out)
            sent = self.requests("chunk.txt")
            chunks = [r for r in sent if r.startswith("F8 15")]
            self.assertEqual(chunks, [r for r in clean if r.startswith("F8 15")][:2])  # never again
            self.assertEqual(sent[-1], "18 02")
        with self.subTest("progress"):
            run = self.job(["--journal", "progress.txt", "--firmware", "--lan-drop",
                            str(first_progress)], ["-f", "image.bin"], 3)
            self.assertEqual(run.returncode, 0, run.stdout.decode()[-800:])
            self.assertEqual(self.requests("progress.txt").count("F8 17"),
                             clean.count("F8 17") + 1)


if __name__ == "__main__":
    unittest.main()
