"""The Ansible role contrib/ansible (rollout.yml) with velkoran_connection:
lan: velkoran runs on the controller and reaches five BMCs (bmcsim over RMCP+
on loopback ports) with the password from Ansible Vault. The same batches
and failures as over SSH: two hosts update, one already runs the target, one
BMC rejects the image and ends the rollout, the last is never touched. The
password appears nowhere: not in the output (even with -vvv), the logs or
the reports. No QEMU; needs ansible-core 2.14 and a velkoran with -i lan
(VELKORAN_HOST, else build/host/velkoran)."""

import json
import os
import pathlib
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import ansible_support as ans  # noqa: E402
import flows_support as fs  # noqa: E402

VELKORAN = pathlib.Path(os.environ.get("VELKORAN_HOST", fs.HOST_DIR / "velkoran"))
PASSWORD = "Vk7-rollout-Pw"
VAULT_PASSWORD = "vault-of-the-test"
# Suites each BMC offers (bmcsim --lan-ciphers): both, or only the older 3.
CIPHERS = {"h1": "3,17", "h2": "3", "h3": "3,17", "h4": "17", "h5": "3"}


def velkoran_has_lan() -> bool:
    run = subprocess.run([str(VELKORAN), "--help"], capture_output=True, text=True, timeout=30)
    return "--password-file" in run.stdout + run.stderr


def free_udp_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class LanRollout(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        ans.require_ansible(self)
        missing = fs.missing_tools() + [str(p) for p in [VELKORAN] if not p.exists()]
        if missing:
            self.fail(f"host tools not built: {missing}")
        if not velkoran_has_lan():
            self.skipTest(f"{VELKORAN} has no LAN client (-i lan, --password-file)")
        self.work = pathlib.Path(tempfile.mkdtemp(prefix="velkoran-ansible-lan-"))
        self.addCleanup(shutil.rmtree, self.work, True)
        self.sims = []
        self.addCleanup(self.stop_bmcs)

    def stop_bmcs(self) -> None:
        for sim in self.sims:
            sim.terminate()
            sim.wait(timeout=10)
            sim.stderr.close()

    def start_bmc(self, host: str, options: list[str]) -> int:
        port = free_udp_port()
        sim = subprocess.Popen(
            [str(fs.BMCSIM), "--lan", f"127.0.0.1:{port}", "--lan-user", "admin",
             "--lan-password", PASSWORD, "--lan-ciphers", CIPHERS[host],
             "--journal", str(self.journal(host))] + ans.COMMON + options,
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, cwd=self.work)
        self.sims.append(sim)
        line = sim.stderr.readline()
        self.assertIn("serving RMCP+", line)
        return port

    def journal(self, host: str) -> pathlib.Path:
        return self.work / f"{host}.journal"

    def write_inventory(self) -> None:
        """An inventory of BMCs only (the hosts' names resolve nowhere), and
        the password encrypted in group_vars/all, as a user keeps it."""
        hosts = {host: {"velkoran_bmc_host": "127.0.0.1",
                        "velkoran_bmc_port": self.start_bmc(host, options)}
                 for host, options in ans.HOSTS.items()}
        inventory = {"all": {"hosts": hosts, "vars": {
            "velkoran_connection": "lan", "velkoran_bmc_user": "admin",
            "ansible_python_interpreter": sys.executable}}}
        (self.work / "inventory.json").write_text(json.dumps(inventory))
        vault_password = self.work / "vault-password"
        vault_password.write_text(VAULT_PASSWORD + "\n")
        vault_password.chmod(0o600)
        encrypted = subprocess.run(
            ["ansible-vault", "encrypt_string", "--vault-password-file", str(vault_password),
             "--name", "velkoran_bmc_password", PASSWORD],
            capture_output=True, text=True, timeout=120, check=True).stdout
        self.assertNotIn(PASSWORD, encrypted)
        (self.work / "group_vars" / "all").mkdir(parents=True)
        (self.work / "group_vars" / "all" / "vault.yml").write_text(encrypted)

    def test_check_then_rollout(self):
        image, _ = fs.make_image(self.work, "firmware.bin", [(9000, 0), (3000, 0x4000)])
        self.write_inventory()
        settings = {"velkoran_binary": str(VELKORAN), "velkoran_image": "firmware.bin",
                    "velkoran_image_sha256": ans.sha256(image),
                    "velkoran_target_revision": ans.TARGET, "velkoran_batches": [1, 2, 1]}
        outputs = []

        def playbook(*options: str) -> subprocess.CompletedProcess:
            # The check shows every command line Ansible runs (-vvv).
            verbose = ["-vvv"] if "--check" in options else []
            run = ans.run_playbook(self.work, self.work / "inventory.json", ans.PLAYBOOK,
                                   settings, "--vault-password-file",
                                   str(self.work / "vault-password"), *verbose, *options)
            outputs.append(run.stdout + run.stderr)
            return run

        ans.check_then_rollout(self, self.work, self.journal, playbook)
        self.assertIn("EXEC", outputs[0])
        for text in outputs + [p.read_text() for p in (self.work / "reports").iterdir()]:
            self.assertNotIn(PASSWORD, text)


if __name__ == "__main__":
    unittest.main()
