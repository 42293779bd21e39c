"""OpenIPMI's ipmi_sim (Debian package openipmi) as the BMC behind QEMU's KCS
interface: a BMC simulator written without Velkoran in mind, with the
standard commands only (every OEM request gets 0xC1, and so does Cold Reset).

As a module: bmc(work) is the harness.BmcSim that starts it. As a script
(what that BmcSim runs): writes its configuration for the TCP port QEMU is
to connect to and becomes ipmi_sim.

  python3 independent_bmc.py PORT DIRECTORY
"""

from __future__ import annotations

import os
import pathlib
import random
import re
import shutil
import sys

import harness

# Firmware revision 3.25 (major 3, minor 0x25), manufacturer 0x1291, product 0xf02.
REVISION = "3.25"
COMMANDS = """mc_setbmc 0x20
mc_add 0x20 0 has-device-sdrs 0x23 3 0x25 0x9f 0x1291 0xf02
mc_enable 0x20
"""
# No LAN channel: the KCS link is all it serves, so runs can share the machine.
CONFIGURATION = """name "velkoran"
set_working_mc 0x20
  serial kcs 127.0.0.1 {port} codec VM
"""


# The four jobs, each of which ipmi_sim must end within seconds: (name, the
# program's arguments, what its console must hold). Every one is refused
# (outcome 4): the BMC does not have the commands.
RUNS = [
    ("update", ["-f", "image.bin", "--wait-bmc=60"],
     [f"BMC firmware revision before the update: {REVISION}\n",
      "Please select the correct image file and try again.\n",
      "Execute Cold Reset Fail\n",
      re.compile(rf"BMC answered after \d+ seconds: firmware revision {re.escape(REVISION)}, "
                 rf"before {re.escape(REVISION)}\n")]),
    ("backup", ["-c", "-d", "backup.bin"], ["Error: doIPMICmd failed\nOperation Failed.\n"]),
    ("restore", ["-c", "-f", "restore.bin"], ["Error: doIPMICmd failed\nOperation Failed.\n"]),
    # Last in a boot: without an end on 0xC1 it asks for ever.
    ("dump", ["-d", "dump.bin"], ["ERROR:EXECUTE PREPARE DUMP FLASH FAILED\n"]),
]
REFUSED = 4
SECONDS_BOUND = 20  # the update waits 5 s for the BMC's answer; the rest far less


def earlier_files() -> dict[str, bytes]:
    """Files of the jobs' names as they were before: the update's and the
    restore's input, and an earlier dump and backup that must stay."""
    rng = random.Random(16)
    return {name: bytes(rng.randrange(256) for _ in range(size))
            for name, size in (("image.bin", 4096), ("restore.bin", 700),
                               ("backup.bin", 900), ("dump.bin", 1500))}


def console_faults(console: str, wanted: list) -> list[str]:
    """What the console lacks of `wanted`, and the readiness question asked
    again after the BMC said it lacks the command."""
    faults = [str(item) for item in wanted
              if (item.search(console) is None if isinstance(item, re.Pattern)
                  else item not in console)]
    if console.count("CHECK DUMP FLASH COMPLETE FAILED") > 1:
        faults.append("asked for the dump's readiness again after 0xC1")
    return faults


def elapsed_seconds(log: str) -> list[int]:
    """The elapsed time of every run the log recorded, in order."""
    return [int(s) for s in re.findall(r"^\[velkoran\] end .* elapsed (\d+) s$", log, re.M)]


def assert_each_ended_within_seconds(test, log: str) -> None:
    """Every run the log recorded ended within SECONDS_BOUND."""
    elapsed = elapsed_seconds(log)
    test.assertEqual(len(elapsed), len(RUNS), log[-1500:])
    test.assertLessEqual(max(elapsed), SECONDS_BOUND, elapsed)


def missing() -> list[str]:
    return [] if shutil.which("ipmi_sim") else ["ipmi_sim (apt-get install openipmi)"]


def bmc(work: pathlib.Path) -> harness.BmcSim:
    return harness.BmcSim([sys.executable, str(pathlib.Path(__file__).resolve()), "{port}",
                           str(work / "ipmi_sim")])


def main() -> None:
    port, directory = int(sys.argv[1]), pathlib.Path(sys.argv[2])
    state = directory / "state"
    state.mkdir(parents=True, exist_ok=True)
    (directory / "lan.conf").write_text(CONFIGURATION.format(port=port))
    (directory / "sim.emu").write_text(COMMANDS)
    os.execvp("ipmi_sim", ["ipmi_sim", "-c", str(directory / "lan.conf"),
                           "-f", str(directory / "sim.emu"), "-s", str(state), "-n"])


if __name__ == "__main__":
    main()
