"""velkoran, the static Linux build, in a Linux guest without the kernel's
IPMI driver: it drives the KCS ports itself (ioperm) as root, and refuses
with a clear message as another user, and once the kernel's driver has
taken the interface without giving a device. The update's console must be
the text the host build prints, and the flash bmcsim keeps must hold the
image."""

import pathlib
import sys
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import flows_support as fs  # noqa: E402
import harness  # noqa: E402
import linux_guest  # noqa: E402

ARGS = ["-f", "image.bin", "-r", "n"]

STEPS = f"""
mkdir -p /etc
printf 'root:x:0:0::/:/bin/sh\\nnobody:x:65534:65534::/:/bin/sh\\n' > /etc/passwd
printf 'root:x:0:\\nnogroup:x:65534:\\n' > /etc/group
chmod 777 /out
su -s /bin/sh -c 'velkoran {' '.join(ARGS)} > /out/user.console 2> /out/user.err' nobody
[ -e /dev/ipmi0 ] && echo yes > /out/device.status || echo no > /out/device.status
printf 'CMD 0CA3\nDATA 0CA2\n' > kcs.cfg
chmod 666 kcs.cfg
run shared-config {' '.join(ARGS)}
rm kcs.cfg
run update {' '.join(ARGS)}
insmod /modules/ipmi_msghandler.ko
insmod /modules/ipmi_si.ko
sleep 2
ls /sys/bus/platform/drivers/ipmi_si > /out/driver.list
run kernel {' '.join(ARGS)}
"""

REFUSAL = ("velkoran: no IPMI device (/dev/ipmi0) and no access to the KCS port 0xca3\n"
           "velkoran: port access needs root; load the kernel's driver instead: "
           "modprobe ipmi_si ipmi_devintf\n")
KERNEL_HAS_THE_PORTS = (
    "velkoran: the kernel's ipmi_si drives the KCS interface, but there is no IPMI device "
    "(/dev/ipmi0): load its device interface: modprobe ipmi_devintf\n")


class LinuxBuildOnTheKcsPorts(linux_guest.GuestTest):
    @classmethod
    def setUpClass(cls):
        cls.start("velkoran-linux-ports-")
        cls.image, cls.info = fs.make_image(cls.work, "image.bin", [(20000, 0), (9000, 0x5000)],
                                            encipher=True, seed=7)
        options = ["--fw-flash-out", str(cls.work / "flash.bin"),
                   "--fw-report", str(cls.work / "report.json")]
        inputs = {"image.bin": cls.image}
        cls.expected = linux_guest.host_reference([ARGS], inputs, ["--firmware"])[0]
        cls.guest = linux_guest.boot(cls.work, STEPS, inputs,
                                     harness.BmcSim(fs.bmcsim_argv(options)), timeout=180)

    def test_without_the_driver_there_is_no_device(self):
        self.assertEqual(self.guest_file("device.status"), b"no\n")

    def test_root_updates_through_the_ports(self):
        self.assertEqual(self.guest_file("update.console").decode(errors="replace"), self.expected)
        self.assertEqual(self.guest_file("update.err"), b"")
        self.assertEqual(self.flash_mismatches("flash.bin", self.image, self.info), [])
        self.assertEqual(fs.load_report(self.work / "report.json").get("violations"), [])

    def test_another_user_is_refused_and_told_how_to_get_on(self):
        console = self.guest_file("user.console").decode(errors="replace")
        self.assertTrue(console.endswith("velkoran -f image.bin -r n \n"), console[-200:])
        self.assertEqual(self.guest_file("user.err").decode(), REFUSAL)


    def test_a_kcs_cfg_others_may_change_names_no_ports(self):
        self.assertEqual(self.guest_file("shared-config.err").decode(),
                         "velkoran: kcs.cfg is owned by another user or writable by others: "
                         "its ports are not used\n")
        self.assertEqual(self.guest_file("shared-config.status"), b"3\n")

    def test_the_ports_stay_the_kernels_once_its_driver_has_them(self):
        self.assertTrue(self.guest_file("kernel.console").decode().endswith(
            "velkoran -f image.bin -r n \n"))
        self.assertEqual(self.guest_file("kernel.err").decode(), KERNEL_HAS_THE_PORTS,
                         self.guest_file("driver.list"))
        self.assertEqual(fs.load_report(self.work / "report.json").get("updates"), 1)


if __name__ == "__main__":
    unittest.main()
