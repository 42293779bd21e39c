"""The Ansible role contrib/ansible (rollout.yml) against five hosts on this
machine (ansible_connection: local), each with its own bmcsim behind
VELKORAN_BMC: two hosts update, one already runs the target revision and is
left alone, one BMC rejects the image and ends the rollout, and the host
after it is never touched; --check before it reads identities only. Then the
role's guards, one host each, in one run. No QEMU. Needs ansible-core from
Debian (apt-get install ansible-core)."""

import json
import os
import pathlib
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import ansible_support as ans  # noqa: E402
import flows_support as fs  # noqa: E402
import harness  # noqa: E402
import linux_guest  # noqa: E402

# The role's guards, one host each (all in one batch, without the rollout's
# stop at the first failure): bmcsim options, host variables, the failure
# message (None: the host succeeds) and the files left in reports/.
GUARD_TARGET = "7.10"
GUARDS = {
    # YAML reads an unquoted 7.10 as 7.1: refused before anything is sent.
    "m1": (["--fw-revision", "7.09"], "velkoran_target_revision: 7.10",
           "velkoran_target_revision was read as the number 7.1: quote it", []),
    # Compared as strings, "7.10" is not "7.1": already at the target.
    "m2": (["--fw-revision", "7.10"], "", None, []),
    # An update that succeeds but leaves the BMC on another revision.
    "m3": (["--fw-revision", "7.09", "--fw-revision-after", "7.11"], "",
           "the BMC came back on firmware 7.11, not the target 7.10", ["m3.json", "m3.log"]),
    # velkoran writes no report: the last rollout's report and log go, and
    # its stderr is shown.
    "m4": (["--fw-revision", "7.09"], "velkoran_binary: {failing}",
           "velkoran wrote no report (exit status 3; stderr: velkoran: cannot open /dev/ipmi0: "
           "Device or resource busy)", []),
    # A velkoran that cannot be executed on the host.
    "m5": (["--fw-revision", "7.09"], "velkoran_binary: {garbage}",
           "velkoran wrote no identity report (exit status 8: [Errno 8] Exec format error", []),
    "m6": (["--fw-revision", "7.09", "--fw-revision-after", GUARD_TARGET], "", None,
           ["m6.json", "m6.log"]),
    # Over LAN, a velkoran without a LAN client is never run with a job: it
    # would reach the controller's own BMC.
    "m7": (["--fw-revision", "7.09"],
           "velkoran_connection: lan\nvelkoran_bmc_host: 127.0.0.1\nvelkoran_bmc_user: admin\n"
           "velkoran_bmc_password: secret\nvelkoran_binary: {kcs_only}",
           "kcs-only-velkoran has no LAN client (-i lan); it would reach the controller's own BMC",
           []),
}
GUARD_PLAYBOOK = """- hosts: all
  gather_facts: false
  become: false
  roles: [velkoran]
"""


class Rollout(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        ans.require_ansible(self)
        missing = fs.missing_tools() + [str(p) for p in [linux_guest.VELKORAN] if not p.exists()]
        if missing:
            self.fail(f"host tools not built: {missing}")
        self.work = pathlib.Path(tempfile.mkdtemp(prefix="velkoran-ansible-"))
        self.addCleanup(shutil.rmtree, self.work, True)
        self.sims = []
        self.addCleanup(lambda: [harness._stop(sim, grace=2) for sim in self.sims])
        self.image, _ = fs.make_image(self.work, "firmware.bin", [(9000, 0), (3000, 0x4000)])

    def start_bmc(self, host: str, options: list[str]) -> str:
        socket = self.work / f"{host}.sock"
        self.sims.append(linux_guest.start_bmcsim(
            socket, ans.COMMON + options + ["--journal", str(self.journal(host))], self.work))
        return f"unix:{socket}"

    def journal(self, host: str) -> pathlib.Path:
        return self.work / f"{host}.journal"

    def test_check_then_rollout(self):
        inventory = {"all": {"hosts": {}, "vars": {
            "ansible_connection": "local", "ansible_python_interpreter": sys.executable}}}
        for host, options in ans.HOSTS.items():
            inventory["all"]["hosts"][host] = {
                "velkoran_environment": {"VELKORAN_BMC": self.start_bmc(host, options)}}
        (self.work / "inventory.json").write_text(json.dumps(inventory))
        # Relative paths, taken from the folder ansible-playbook runs in; the
        # reports go beside the inventory.
        settings = {
            "velkoran_binary": os.path.relpath(linux_guest.VELKORAN, self.work),
            "velkoran_image": "firmware.bin", "velkoran_image_sha256": ans.sha256(self.image),
            "velkoran_target_revision": ans.TARGET, "velkoran_batches": [1, 2, 1],
            "velkoran_become": False}
        ans.check_then_rollout(self, self.work, self.journal, lambda *options: ans.run_playbook(
            self.work, self.work / "inventory.json", ans.PLAYBOOK, settings, *options))

    def test_guards(self):
        failing = self.work / "failing-velkoran"
        failing.write_text(f"#!/bin/sh\ncase \" $* \" in *\" --bmc-info \"*) exec {linux_guest.VELKORAN}"
                           " \"$@\";; esac\necho 'velkoran: cannot open /dev/ipmi0: Device or"
                           " resource busy' >&2\nexit 3\n")
        failing.chmod(0o755)
        garbage = self.work / "garbage-velkoran"
        garbage.write_bytes(b"\x7fELF not really\n")
        kcs_only = self.work / "kcs-only-velkoran"
        kcs_only.write_text(f"#!/bin/sh\n[ \"$1\" = --help ] && echo 'ALSO ACCEPTED: -i kcs|lan|usb' &&"
                            f" exit 0\necho \"$*\" >> {self.work}/kcs-only-ran\n")
        kcs_only.chmod(0o755)
        lines = ["all:", "  vars:", "    ansible_connection: local",
                 f"    ansible_python_interpreter: {sys.executable}",
                 f"    velkoran_binary: {linux_guest.VELKORAN}",
                 f"    velkoran_target_revision: \"{GUARD_TARGET}\"", "  hosts:"]
        for host, (options, variables, _, _) in GUARDS.items():
            lines += [f"    {host}:", f"      velkoran_environment: "
                                      f"{{VELKORAN_BMC: \"{self.start_bmc(host, options)}\"}}"]
            lines += ["      " + line for line in variables.format(
                failing=failing, garbage=garbage, kcs_only=kcs_only).splitlines()]
        (self.work / "inventory").mkdir()
        (self.work / "inventory" / "hosts.yml").write_text("\n".join(lines) + "\n")
        (self.work / "guards.yml").write_text(GUARD_PLAYBOOK)
        # A report and a log of an earlier rollout, beside the inventory.
        reports = self.work / "inventory" / "reports"
        reports.mkdir()
        for name in ("m4.json", "m4.log"):
            (reports / name).write_text("from an earlier rollout\n")

        run = ans.run_playbook(self.work, self.work / "inventory" / "hosts.yml",
                               self.work / "guards.yml", {"velkoran_image": "firmware.bin"})
        out = run.stdout
        self.assertEqual(run.returncode, 2, out + run.stderr)
        counts = ans.recap(out)
        failures = ans.failures(out)
        for host, (_, _, message, files) in GUARDS.items():
            with self.subTest(host=host):
                self.assertEqual(counts[host]["failed"], int(message is not None), out)
                if message:
                    self.assertIn(message, failures[host])
                self.assertEqual(sorted(p.name for p in reports.glob(f"{host}.*")), files)
        self.assertEqual(counts["m2"]["changed"], 0)
        for host in ("m1", "m7"):
            self.assertEqual(ans.requests(self.journal(host)), [], host)
        self.assertFalse((self.work / "kcs-only-ran").exists())
        self.assertEqual(ans.requests(self.journal("m2")), ["18 01"])
        self.assertEqual(json.loads((reports / "m3.json").read_text())["firmware_after"], "7.11")
        self.assertEqual(json.loads((reports / "m6.json").read_text())["outcome"]["class"], 0)
        self.assertEqual(list((self.work / "hosttmp").iterdir()), [])


if __name__ == "__main__":
    unittest.main()
