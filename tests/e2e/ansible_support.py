"""Shared pieces of the Ansible rollout tests: the pinned ansible-core, the
playbook's environment, the PLAY RECAP and bmcsim's journal, and the
rollout both connections must show (five hosts in batches of 1, 2, 1, 1)."""

from __future__ import annotations

import hashlib
import json
import os
import pathlib
import re
import shutil
import subprocess

import harness

# The ansible-core release these tests were written and run with (Debian 12).
ANSIBLE_CORE = (2, 14)
ANSIBLE_DIR = harness.REPO / "contrib" / "ansible"
PLAYBOOK = ANSIBLE_DIR / "rollout.yml"
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
# Requests that open, raise and close an RMCP+ session rather than ask the BMC
# anything: Get Channel Authentication Capabilities, Get Channel Cipher
# Suites, Set Session Privilege Level, Close Session.
SESSION_REQUESTS = {"18 38", "18 54", "18 3B", "18 3C"}


def ansible_version() -> tuple[int, int] | None:
    if shutil.which("ansible-playbook") is None:
        return None
    out = subprocess.run(["ansible-playbook", "--version"], capture_output=True, text=True).stdout
    found = re.search(r"core (\d+)\.(\d+)", out)
    return (int(found[1]), int(found[2])) if found else None


def require_ansible(test) -> None:
    version = ansible_version()
    if version is None:
        test.fail("ansible-playbook not found: apt-get install ansible-core (make deps)")
    if version != ANSIBLE_CORE:
        test.skipTest(f"ansible-core {version[0]}.{version[1]} found; this test is pinned "
                      f"to {ANSIBLE_CORE[0]}.{ANSIBLE_CORE[1]} (Debian 12's)")


def recap(output: str) -> dict[str, dict[str, int]]:
    """PLAY RECAP lines: host -> counts."""
    hosts = {}
    for host, counts in re.findall(r"^([hm]\d)\s+:\s+(.*)$", output, re.M):
        hosts[host] = {k: int(v) for k, v in re.findall(r"(\w+)=(\d+)", counts)}
    return hosts


def failures(output: str) -> dict[str, str]:
    """The message of each host's failed task."""
    found = re.findall(r"^fatal: \[(\w+)(?: -> localhost)?\]: FAILED! => (\{.*\})$", output, re.M)
    return {host: json.loads(result)["msg"] for host, result in found}


def requests(journal: pathlib.Path) -> list[str]:
    """Network function/LUN and command of every request bmcsim journaled,
    without those of the RMCP+ session itself."""
    if not journal.exists():
        return []
    found = [" ".join(line.split()[2:4]) for line in journal.read_text().splitlines()
             if line.startswith("REQ")]
    return [request for request in found if request not in SESSION_REQUESTS]


def sha256(path: pathlib.Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


def run_playbook(work: pathlib.Path, inventory: pathlib.Path, playbook: pathlib.Path,
                 extra_vars: dict, *options: str) -> subprocess.CompletedProcess:
    """ansible-playbook from the folder `work`, so that relative paths in
    extra_vars are taken from there; TMPDIR is work/hosttmp."""
    env = dict(os.environ, ANSIBLE_NOCOLOR="1", ANSIBLE_RETRY_FILES_ENABLED="0",
               ANSIBLE_LOCAL_TEMP=str(work / "atmp"), ANSIBLE_REMOTE_TEMP=str(work / "atmp"),
               ANSIBLE_LOCALHOST_WARNING="0", ANSIBLE_PIPELINING="1",
               ANSIBLE_INVENTORY_UNPARSED_WARNING="0", ANSIBLE_ROLES_PATH=str(ANSIBLE_DIR / "roles"),
               TMPDIR=str(work / "hosttmp"))
    (work / "hosttmp").mkdir(exist_ok=True)
    return subprocess.run(
        ["ansible-playbook", "-i", str(inventory), str(playbook), "-e", json.dumps(extra_vars)]
        + list(options), capture_output=True, text=True, timeout=300, env=env, cwd=work)


def check_then_rollout(test, work: pathlib.Path, journal, playbook) -> str:
    """--check, then the rollout, through `playbook(*options)`; `journal(host)`
    is the path of that host's bmcsim journal, and the reports must land in
    work/reports. Returns the output of both runs."""
    check = playbook("--check")
    out = check.stdout
    test.assertEqual(check.returncode, 0, out + check.stderr)
    for host in HOSTS:
        word = "already at the target" if host == "h2" else "would update"
        test.assertRegex(out, rf"ok: \[{host}(?: -> localhost)?\] => {{\n\s+\"msg\": \"BMC firmware [\d.]+, "
                              rf"target {TARGET}: {word}")
        test.assertEqual(set(requests(journal(host))), {"18 01"}, host)
    test.assertFalse((work / "reports").exists())
    test.assertEqual(list((work / "hosttmp").iterdir()), [])

    run = playbook()
    out += run.stdout
    test.assertEqual(run.returncode, 2, run.stdout + run.stderr)
    counts = recap(run.stdout)
    test.assertEqual(sorted(counts), ["h1", "h2", "h3", "h4"], run.stdout)
    test.assertEqual((counts["h2"]["changed"], counts["h2"]["failed"]), (0, 0))
    test.assertEqual(counts["h4"]["failed"], 1)
    test.assertIn("update failed: outcome 4 refused: Error! | "
                  "Update package verification failed!", run.stdout)
    reports = {host: json.loads((work / "reports" / f"{host}.json").read_text())
               for host in ("h1", "h3", "h4")}
    test.assertEqual(sorted(p.name for p in (work / "reports").iterdir()),
                     ["h1.json", "h1.log", "h3.json", "h3.log", "h4.json", "h4.log"])
    for host, before, outcome in (("h1", "7.12", 0), ("h3", "7.11", 0), ("h4", "7.12", 4)):
        report = reports[host]
        test.assertEqual((report["job"], report["outcome"]["class"], report["firmware_before"]),
                         ("update", outcome, before), host)
        test.assertEqual(report["file"]["size"], (work / "firmware.bin").stat().st_size)
    test.assertEqual(reports["h1"]["firmware_after"], TARGET)
    test.assertEqual(reports["h3"]["firmware_after"], TARGET)
    test.assertEqual(reports["h4"]["errors"], ["Error!", "Update package verification failed!"])
    # h2 and h5 answered only the identity questions of the two runs.
    test.assertEqual(requests(journal("h2")), ["18 01"] * 2)
    test.assertEqual(requests(journal("h5")), ["18 01"])
    test.assertEqual(list((work / "hosttmp").iterdir()), [])
    return out
