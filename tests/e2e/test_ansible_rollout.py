"""The Ansible role contrib/ansible (rollout.yml) against five hosts on this
machine (ansible_connection: local), each with its own bmcsim behind
VELKORAN_BMC: two hosts update, one already runs the target revision and is
left alone, one BMC rejects the image and ends the rollout, and the host
after it is never touched; --check before it reads identities only. No
QEMU. Needs ansible-core from Debian (apt-get install ansible-core)."""

import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import flows_support as fs  # noqa: E402
import harness  # noqa: E402
import linux_guest  # noqa: E402

# The ansible-core release this test was written and run with (Debian 12).
ANSIBLE_CORE = (2, 14)
PLAYBOOK = harness.REPO / "contrib" / "ansible" / "rollout.yml"
TARGET = "7.13"
# host: bmcsim options. Batches 1, 2, 1, 1: h1 | h2 h3 | h4 | h5.
HOSTS = {
    "h1": ["--fw-revision", "7.12"],
    "h2": ["--fw-revision", TARGET],
    "h3": ["--fw-revision", "7.11", "--fw-revision-after", TARGET],
    "h4": ["--fw-revision", "7.12", "--fw-reject", "1:1"],
    "h5": ["--fw-revision", "7.12"],
}
COMMON = ["--firmware", "--reboot-seconds", "1"]


def ansible_version() -> tuple[int, int] | None:
    if shutil.which("ansible-playbook") is None:
        return None
    out = subprocess.run(["ansible-playbook", "--version"], capture_output=True, text=True).stdout
    found = re.search(r"core (\d+)\.(\d+)", out)
    return (int(found[1]), int(found[2])) if found else None


def recap(output: str) -> dict[str, dict[str, int]]:
    """PLAY RECAP lines: host -> counts."""
    hosts = {}
    for host, counts in re.findall(r"^(h\d)\s+:\s+(.*)$", output, re.M):
        hosts[host] = {k: int(v) for k, v in re.findall(r"(\w+)=(\d+)", counts)}
    return hosts


def requests(journal: pathlib.Path) -> list[str]:
    """Network function/LUN and command of every request bmcsim journaled."""
    if not journal.exists():
        return []
    return [" ".join(line.split()[2:4]) for line in journal.read_text().splitlines()
            if line.startswith("REQ")]


class Rollout(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        version = ansible_version()
        if version is None:
            self.fail("ansible-playbook not found: apt-get install ansible-core (make deps)")
        if version != ANSIBLE_CORE:
            self.skipTest(f"ansible-core {version[0]}.{version[1]} found; this test is pinned "
                          f"to {ANSIBLE_CORE[0]}.{ANSIBLE_CORE[1]} (Debian 12's)")
        missing = fs.missing_tools() + [str(p) for p in [linux_guest.VELKORAN] if not p.exists()]
        if missing:
            self.fail(f"host tools not built: {missing}")
        self.work = pathlib.Path(tempfile.mkdtemp(prefix="velkoran-ansible-"))
        self.addCleanup(shutil.rmtree, self.work, True)
        self.sims = []
        self.addCleanup(lambda: [harness._stop(sim, grace=2) for sim in self.sims])

    def start_bmcs(self) -> None:
        inventory = {"all": {"hosts": {}, "vars": {
            "ansible_connection": "local", "ansible_python_interpreter": sys.executable}}}
        for host, options in HOSTS.items():
            socket = self.work / f"{host}.sock"
            journal = self.work / f"{host}.journal"
            self.sims.append(linux_guest.start_bmcsim(
                socket, COMMON + options + ["--journal", str(journal)], self.work))
            inventory["all"]["hosts"][host] = {
                "velkoran_environment": {"VELKORAN_BMC": f"unix:{socket}"}}
        (self.work / "inventory.json").write_text(json.dumps(inventory))

    def playbook(self, *extra: str) -> subprocess.CompletedProcess:
        env = dict(os.environ, ANSIBLE_NOCOLOR="1", ANSIBLE_RETRY_FILES_ENABLED="0",
                   ANSIBLE_LOCAL_TEMP=str(self.work / "atmp"),
                   ANSIBLE_REMOTE_TEMP=str(self.work / "atmp"),
                   ANSIBLE_LOCALHOST_WARNING="0", ANSIBLE_PIPELINING="1", ANSIBLE_INVENTORY_UNPARSED_WARNING="0",
                   TMPDIR=str(self.work / "hosttmp"))
        (self.work / "hosttmp").mkdir(exist_ok=True)
        return subprocess.run(
            ["ansible-playbook", "-i", str(self.work / "inventory.json"), str(PLAYBOOK),
             "-e", json.dumps({
                 "velkoran_binary": str(linux_guest.VELKORAN),
                 "velkoran_image": str(self.image), "velkoran_image_sha256": self.sha256,
                 "velkoran_target_revision": TARGET, "velkoran_batches": [1, 2, 1],
                 "velkoran_reports_dir": str(self.work / "reports"), "velkoran_become": False,
             })] + list(extra),
            capture_output=True, text=True, timeout=300, env=env)

    def test_check_then_rollout(self):
        self.image, _ = fs.make_image(self.work, "firmware.bin", [(9000, 0), (3000, 0x4000)])
        import hashlib
        self.sha256 = hashlib.sha256(self.image.read_bytes()).hexdigest()
        self.start_bmcs()

        check = self.playbook("--check")
        out = check.stdout
        self.assertEqual(check.returncode, 0, out + check.stderr)
        for host in HOSTS:
            word = "already at the target" if host == "h2" else "would update"
            self.assertRegex(out, rf"ok: \[{host}\] => {{\n\s+\"msg\": \"BMC firmware [\d.]+, "
                                  rf"target {TARGET}: {word}")
            self.assertEqual(set(requests(self.work / f"{host}.journal")), {"18 01"}, host)
        self.assertFalse((self.work / "reports").exists())
        self.assertEqual(list((self.work / "hosttmp").iterdir()), [])

        run = self.playbook()
        out = run.stdout
        self.assertEqual(run.returncode, 2, out + run.stderr)
        counts = recap(out)
        self.assertEqual(sorted(counts), ["h1", "h2", "h3", "h4"], out)
        self.assertEqual((counts["h2"]["changed"], counts["h2"]["failed"]), (0, 0))
        self.assertEqual(counts["h4"]["failed"], 1)
        self.assertIn("update failed: outcome 4 refused: Error! | "
                      "Update package verification failed!", out)
        reports = {host: json.loads((self.work / "reports" / f"{host}.json").read_text())
                   for host in ("h1", "h3", "h4")}
        self.assertEqual(sorted(p.name for p in (self.work / "reports").iterdir()),
                         ["h1.json", "h1.log", "h3.json", "h3.log", "h4.json", "h4.log"])
        for host, before, outcome in (("h1", "7.12", 0), ("h3", "7.11", 0), ("h4", "7.12", 4)):
            report = reports[host]
            self.assertEqual((report["job"], report["outcome"]["class"], report["firmware_before"]),
                             ("update", outcome, before), host)
            self.assertEqual(report["file"]["size"], self.image.stat().st_size)
        self.assertEqual(reports["h1"]["firmware_after"], TARGET)
        self.assertEqual(reports["h3"]["firmware_after"], TARGET)
        self.assertEqual(reports["h4"]["errors"],
                         ["Error!", "Update package verification failed!"])
        # h2 and h5 answered only the identity questions of the two runs.
        self.assertEqual(requests(self.work / "h2.journal"), ["18 01"] * 2)
        self.assertEqual(requests(self.work / "h5.journal"), ["18 01"])
        self.assertEqual(list((self.work / "hosttmp").iterdir()), [])


if __name__ == "__main__":
    unittest.main()
