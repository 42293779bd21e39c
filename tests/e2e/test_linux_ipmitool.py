"""bmcsim checked by a client nobody here wrote: Debian's ipmitool in the
Linux guest, through the kernel's driver (/dev/ipmi0), in one boot. The
standard commands a BMC must have answer as ipmitool expects, and malformed
requests get 0xC7 (wrong length) or 0xCC (bad field), never 0x00."""

import pathlib
import re
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import flows_support as fs  # noqa: E402
import harness  # noqa: E402
import linux_guest  # noqa: E402

IPMITOOL = shutil.which("ipmitool")
LOADER = "ld-linux-x86-64.so.2"

# (name, ipmitool arguments, completion code of the raw request): ipmitool
# prints "rsp=0xNN" for a refused raw request.
RAW_CASES = [
    ("progress before any upload", "0x3e 0x17", 0xD5),
    ("update info without its flag", "0x3e 0x16", 0xC7),
    ("update info with two bytes", "0x3e 0x16 0x01 0x00", 0xC7),
    ("update info with preserve flag 5", "0x3e 0x16 0x05", 0xCC),
    ("progress with data", "0x3e 0x17 0x00", 0xC7),
    ("prepare dump with data", "0x3e 0x1d 0x00", 0xC7),
    ("check dump with data", "0x3e 0x1e 0x00", 0xC7),
    ("dump data with data", "0x3e 0x1f 0x00", 0xC7),
    ("USB update info without its flag", "0x3e 0x0d", 0xC7),
    ("configuration task with bad content", "0x3e 0x20 0x07", 0xCC),
    ("device GUID with data", "0x06 0x08 0x00", 0xC7),
    ("message flags with data", "0x06 0x31 0x00", 0xC7),
    ("global enables with data", "0x06 0x2f 0x00", 0xC7),
    ("update info as velkoran sends it", "0x3e 0x16 0x01", 0x00),
]

ENV = f"/work/{LOADER} --library-path /work /work/ipmitool -I open"


def shared_libraries() -> dict[str, pathlib.Path]:
    """ipmitool's shared libraries and its loader, by file name."""
    listing = subprocess.run(["ldd", IPMITOOL], check=True, capture_output=True, text=True).stdout
    paths = re.findall(r"(/\S+\.so[.\d]*) \(0x", listing)
    return {pathlib.Path(path).name: pathlib.Path(path).resolve() for path in paths}


def steps() -> str:
    lines = ["load_driver", f"chmod +x /work/{LOADER}",
             "tool() { name=$1; shift; " + ENV + ' "$@" > /out/$name.out 2>&1; '
             "echo $? > /out/$name.status; }"]
    for name, args in (("info", "mc info"), ("selftest", "mc selftest"),
                       ("watchdog", "mc watchdog get"), ("reset", "mc reset cold")):
        lines.append(f"tool {name} {args}")
    # The BMC answers nothing while it reboots after the cold reset.
    lines.append("sleep 3")
    lines.append("tool after-reset mc info")
    for n, (_, request, _) in enumerate(RAW_CASES):
        lines.append(f"tool raw{n} raw {request}")
    return "\n".join(lines) + "\n"


class IpmitoolAgainstBmcsim(linux_guest.GuestTest):
    @classmethod
    def setUpClass(cls):
        cls.start("velkoran-ipmitool-")
        if IPMITOOL is None:
            raise RuntimeError("not available: ipmitool (apt-get install ipmitool)")
        files = {"ipmitool": pathlib.Path(IPMITOOL), **shared_libraries()}
        bmcsim = harness.BmcSim([str(fs.BMCSIM), "--listen", "unix:{socket}", "--firmware",
                                 "--config-task-id", "3", "--fw-revision", "2.07",
                                 "--reboot-seconds", "2"])
        cls.guest = linux_guest.boot(cls.work, steps(), files, bmcsim, timeout=240)

    def output(self, name: str) -> str:
        return self.guest_file(f"{name}.out").decode(errors="replace")

    def test_the_kernel_driver_gave_the_device(self):
        self.assertEqual(self.guest_file("driver.status"), b"yes\n")

    def test_mc_info_shows_the_revision_and_the_devices(self):
        info = self.output("info")
        self.assertEqual(self.guest_file("info.status"), b"0\n", info)
        self.assertRegex(info, r"Firmware Revision\s*:\s*2\.07")
        self.assertRegex(info, r"Device Available\s*:\s*yes")
        for device in ("SDR Repository Device", "SEL Device", "FRU Inventory Device",
                       "Chassis Device"):
            self.assertIn(device, info)
        self.assertNotIn("Sensor Device", info)

    def test_selftest_and_watchdog(self):
        self.assertEqual(self.guest_file("selftest.status"), b"0\n", self.output("selftest"))
        self.assertIn("Selftest: passed", self.output("selftest"))
        watchdog = self.output("watchdog")
        self.assertEqual(self.guest_file("watchdog.status"), b"0\n", watchdog)
        self.assertRegex(watchdog, r"Watchdog Timer Is:\s*Stopped")

    def test_cold_reset_is_taken_and_the_bmc_comes_back(self):
        self.assertEqual(self.guest_file("reset.status"), b"0\n", self.output("reset"))
        self.assertEqual(self.guest_file("after-reset.status"), b"0\n", self.output("after-reset"))

    def test_raw_requests_get_their_completion_codes(self):
        for n, (name, _, code) in enumerate(RAW_CASES):
            with self.subTest(name):
                output = self.output(f"raw{n}")
                if code == 0:
                    self.assertEqual(self.guest_file(f"raw{n}.status"), b"0\n", output)
                else:
                    self.assertIn(f"rsp=0x{code:02x}", output)


if __name__ == "__main__":
    unittest.main()
