"""velkoran, the static Linux build, in a Linux guest through the kernel's
IPMI driver (/dev/ipmi0) against bmcsim, in one boot: an update, a dump, a
configuration backup and a restore. Each console must be the text the host
build prints for the same runs; the flash and configuration bmcsim keeps and
the files the guest wrote must be the bytes that went through."""

import json
import pathlib
import random
import sys
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import flows_support as fs  # noqa: E402
import harness  # noqa: E402
import linux_guest  # noqa: E402

RUNS = [
    ("update", ["-f", "image.bin"]),
    ("dump", ["-d", "dump.bin"]),            # waits 50 s for the BMC, as it must
    ("backup", ["-c", "-d", "backup.bin"]),
    ("restore", ["-c", "-f", "restore.bin"]),
    ("rejected", ["-f", "image.bin"]),      # the BMC refuses region 0: cold reset
]

STEPS = "load_driver\n" + "".join(f"run {name} {' '.join(args)}\n" for name, args in RUNS) + \
    "cp dump.bin backup.bin /out/\n"
FIRST_FLASH = "flash-1.bin"  # the update's; the rejected one is update 2


def bmcsim_options(directory: pathlib.Path, served_config: pathlib.Path) -> list[str]:
    return ["--fw-flash-out", str(directory / "flash-{update}.bin"),
            "--fw-report", str(directory / "report-{update}.json"),
            "--fw-progress", "40,100", "--fw-reject", "0:2@2",
            "--config-store", str(served_config),
            "--config-store-out", str(directory / "kept-config.bin"),
            "--config-report", str(directory / "config-report.json")]


class LinuxBuildThroughTheKernelDriver(linux_guest.GuestTest):
    @classmethod
    def setUpClass(cls):
        cls.start("velkoran-linux-guest-")
        cls.image, cls.info = fs.make_image(cls.work, "image.bin", [(24000, 0), (16000, 0x6000)])
        rng = random.Random(5)
        cls.served_config = cls.work / "served-config.bin"
        cls.served_config.write_bytes(bytes(rng.randrange(256) for _ in range(3000)))
        cls.restore = bytes(rng.randrange(256) for _ in range(2000))
        inputs = {"image.bin": cls.image, "restore.bin": cls.restore}
        reference = cls.work / "reference"
        reference.mkdir()
        cls.expected = linux_guest.host_reference(
            [args for _, args in RUNS], inputs, bmcsim_options(reference, cls.served_config))
        cls.guest = linux_guest.boot(
            cls.work, STEPS, inputs,
            harness.BmcSim(fs.bmcsim_argv(bmcsim_options(cls.work, cls.served_config))),
            timeout=240)

    def test_the_kernel_driver_gave_the_device(self):
        self.assertEqual(self.guest_file("driver.status"), b"yes\n")

    def test_each_run_prints_what_the_host_build_prints(self):
        for (name, args), expected in zip(RUNS, self.expected):
            with self.subTest(name, args=args):
                self.assertEqual(self.guest_file(f"{name}.console").decode(errors="replace"),
                                 expected)
                self.assertEqual(self.guest_file(f"{name}.err"), b"")
                if name != "rejected":  # a failure's status is the outcome's business
                    self.assertEqual(self.guest_file(f"{name}.status"), b"0\n")

    def test_the_update_left_the_image_in_the_flash(self):
        self.assertEqual(self.flash_mismatches(FIRST_FLASH, self.image, self.info), [])
        report = fs.load_report(self.work / "report-1.json")
        self.assertTrue(report.get("updateComplete"), report)
        self.assertEqual(report.get("violations"), [])

    def test_the_rejected_update_ends_with_the_cold_reset(self):
        self.assertTrue(self.guest_file("rejected.console").decode().endswith(
            "Error!\nCan't downgrade to this update package version!\n"
            "Execute Cold Reset Success\n"))
        self.assertEqual(fs.load_report(self.work / "report-2.json").get("coldResets"), 1)

    def test_the_dump_is_the_flash(self):
        self.assertEqual(self.guest_file("dump.bin"), (self.work / FIRST_FLASH).read_bytes())

    def test_backup_and_restore_carry_the_configuration_exactly(self):
        self.assertEqual(self.guest_file("backup.bin"), self.served_config.read_bytes())
        kept = self.work / "kept-config.bin"
        self.assertEqual(kept.read_bytes() if kept.exists() else None, self.restore)
        report = json.loads((self.work / "config-report.json").read_text())
        self.assertEqual(report.get("violations"), [])


if __name__ == "__main__":
    unittest.main()
