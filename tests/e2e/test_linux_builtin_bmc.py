"""velkoran, the Linux build, in a Linux guest through the kernel's driver
(/dev/ipmi0) against QEMU's built-in BMC (ipmi-bmc-sim), in one boot: every
job ends within seconds with its error line and class (the identity for
--bmc-info), and earlier files of the same names stay as they were."""

import pathlib
import sys
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import builtin_bmc as bb  # noqa: E402
import independent_bmc as ib  # noqa: E402
import linux_guest  # noqa: E402

# A job that never ends is cut off, so that the others are still seen.
STEPS = """bounded() {
  name=$1; shift
  timeout 60 velkoran "$@" > /out/$name.console 2> /out/$name.err
  echo $? > /out/$name.status
}
load_driver
""" + "".join(f"bounded {name} {' '.join(args)} --log /out/run.log\n"
              for name, args, _, _ in bb.RUNS) + \
    "cp " + " ".join(ib.earlier_files()) + " /out/\n"


class LinuxBuildAgainstQemusBmc(linux_guest.GuestTest):
    @classmethod
    def setUpClass(cls):
        cls.start("velkoran-linux-builtin-bmc-")
        cls.files = ib.earlier_files()
        cls.guest = linux_guest.boot(cls.work, STEPS, cls.files, None, timeout=200)

    def test_the_kernel_driver_gave_the_device(self):
        self.assertEqual(self.guest_file("driver.status"), b"yes\n")

    def test_every_job_ends_with_its_line_and_class(self):
        for name, _, wanted, outcome in bb.RUNS:
            with self.subTest(name):
                output = self.guest_file(f"{name}.console").decode(errors="replace")
                self.assertEqual(ib.console_faults(output, wanted), [], output[-1500:])
                self.assertEqual(self.guest_file(f"{name}.status"), f"{outcome}\n".encode())
                self.assertEqual(self.guest_file(f"{name}.err"), b"")

    def test_each_ends_within_seconds(self):
        bb.assert_each_ended_within_seconds(
            self, self.guest_file("run.log").decode(errors="replace"))

    def test_earlier_files_stay_as_they_were(self):
        for name, content in self.files.items():
            with self.subTest(name):
                self.assertEqual(self.guest_file(name), content)


if __name__ == "__main__":
    unittest.main()
