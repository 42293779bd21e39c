"""A small Linux guest in QEMU for the Linux build of velkoran: the
distribution's kernel and IPMI modules (downloaded with apt-get, unpacked
without installing them), busybox-static and the static velkoran in an
initramfs, QEMU's KCS interface wired to bmcsim. The guest runs a shell
script and sends the files it names back over its second serial port.

Downloads and the unpacked kernel are cached under build/host/linux-guest.
Python 3 standard library only.
"""

from __future__ import annotations

import dataclasses
import fcntl
import gzip
import io
import lzma
import os
import pathlib
import re
import shutil
import subprocess
import tempfile
import time
import unittest

import flows_support as fs
import harness

CACHE = fs.HOST_DIR / "linux-guest"
VELKORAN = fs.HOST_DIR / "velkoran"
MODULES = ("ipmi_msghandler", "ipmi_si", "ipmi_devintf")  # in load order
XZ_MAGIC = b"\xfd7zXZ\x00"
END_OF_FILES = b"VKFILES-END\n"


@dataclasses.dataclass
class Kernel:
    vmlinux: pathlib.Path
    modules: dict[str, pathlib.Path]
    busybox: pathlib.Path


def _download(package: str, into: pathlib.Path) -> pathlib.Path:
    """The .deb of `package` in `into`, downloaded unless already there."""
    found = sorted(into.glob(f"{package}_*.deb"))
    if not found:
        fetched = subprocess.run(["apt-get", "download", package], cwd=into, capture_output=True)
        if fetched.returncode != 0 and os.geteuid() == 0:
            # Package lists older than the mirror name versions it dropped.
            subprocess.run(["apt-get", "update"], check=True, capture_output=True)
            fetched = subprocess.run(["apt-get", "download", package], cwd=into,
                                     capture_output=True)
        if fetched.returncode != 0:
            raise harness.HarnessError(f"apt-get download {package}: {fetched.stderr.decode()}")
        found = sorted(into.glob(f"{package}_*.deb"))
    if not found:
        raise harness.HarnessError(f"apt-get download {package} gave no package")
    return found[-1]


def _extract(deb: pathlib.Path, into: pathlib.Path, patterns: list[str]) -> None:
    tar = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", str(deb)], stdout=subprocess.PIPE)
    subprocess.run(["tar", "-x", "--wildcards", "-C", str(into)] + patterns,
                   stdin=tar.stdout, check=True)
    tar.stdout.close()
    if tar.wait() != 0:
        raise harness.HarnessError(f"dpkg-deb could not read {deb}")


def _decompress_kernel(vmlinuz: pathlib.Path, vmlinux: pathlib.Path) -> None:
    """The ELF kernel inside the compressed image: booting it directly saves
    seconds of decompression under emulation."""
    data = vmlinuz.read_bytes()
    start = data.find(XZ_MAGIC)
    if start < 0:
        raise harness.HarnessError(f"{vmlinuz}: no XZ stream")
    elf = lzma.LZMADecompressor(format=lzma.FORMAT_XZ).decompress(data[start:])
    if not elf.startswith(b"\x7fELF"):
        raise harness.HarnessError(f"{vmlinuz}: the XZ stream is not an ELF kernel")
    vmlinux.with_suffix(".part").write_bytes(elf)
    vmlinux.with_suffix(".part").rename(vmlinux)


def fetch_kernel() -> Kernel:
    """The kernel, its three IPMI modules and busybox, from the cache or from
    the distribution (one test at a time does the fetching)."""
    CACHE.mkdir(parents=True, exist_ok=True)
    with open(CACHE / "fetch.lock", "a+") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        debs = CACHE / "debs"
        tree = CACHE / "tree"
        debs.mkdir(exist_ok=True)
        tree.mkdir(exist_ok=True)
        meta = _download("linux-image-amd64", debs)
        depends = subprocess.run(["dpkg-deb", "-f", str(meta), "Depends"], check=True,
                                 capture_output=True, text=True).stdout
        match = re.search(r"(linux-image-[0-9][^\s,(]*)", depends)
        if not match:
            raise harness.HarnessError(f"{meta.name}: no versioned kernel in {depends!r}")
        package = match.group(1)
        release = package[len("linux-image-"):]
        vmlinux = CACHE / f"vmlinux-{release}"
        module_dir = tree / "lib" / "modules" / release / "kernel" / "drivers" / "char" / "ipmi"
        modules = {name: module_dir / f"{name}.ko" for name in MODULES}
        busybox = tree / "bin" / "busybox"
        if not busybox.exists():
            _extract(_download("busybox-static", debs), tree, ["./bin/busybox"])
        if not vmlinux.exists() or not all(path.exists() for path in modules.values()):
            kernel_deb = _download(package, debs)
            _extract(kernel_deb, tree, [f"./boot/vmlinuz-{release}"] +
                     [f"./lib/modules/{release}/kernel/drivers/char/ipmi/{name}.ko"
                      for name in MODULES])
            _decompress_kernel(tree / "boot" / f"vmlinuz-{release}", vmlinux)
            kernel_deb.unlink()  # 70 MB; what it gave is kept
        return Kernel(vmlinux, modules, busybox)


# ---- The initramfs ----------------------------------------------------------------

def _cpio_entry(out: io.BytesIO, name: str, mode: int, data: bytes = b"", ino: int = 0) -> None:
    encoded = name.encode() + b"\0"
    fields = [ino, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(encoded), 0]
    out.write(b"070701" + b"".join(b"%08X" % field for field in fields) + encoded)
    out.write(b"\0" * (-out.tell() % 4))
    out.write(data)
    out.write(b"\0" * (-out.tell() % 4))


def make_initramfs(path: pathlib.Path, kernel: Kernel, init_script: str,
                   files: dict[str, bytes | os.PathLike]) -> None:
    """A gzipped newc archive: busybox, the modules in /modules, velkoran in
    /bin, `files` in /work and `init_script` as /init."""
    entries: list[tuple[str, int, bytes]] = [
        (directory, 0o040755, b"") for directory in ("bin", "dev", "proc", "sys", "modules",
                                                      "work", "out", "tmp")]
    entries.append(("bin/busybox", 0o100755, kernel.busybox.read_bytes()))
    entries.append(("bin/velkoran", 0o100755, VELKORAN.read_bytes()))
    for name, module in kernel.modules.items():
        entries.append((f"modules/{name}.ko", 0o100644, module.read_bytes()))
    for name, content in files.items():
        data = content if isinstance(content, bytes) else pathlib.Path(content).read_bytes()
        entries.append((f"work/{name}", 0o100644, data))
    entries.append(("init", 0o100755, init_script.encode()))
    archive = io.BytesIO()
    for ino, (name, mode, data) in enumerate(entries, start=1):
        _cpio_entry(archive, name, mode, data, ino)
    _cpio_entry(archive, "TRAILER!!!", 0)
    path.write_bytes(gzip.compress(archive.getvalue(), compresslevel=1))


INIT_HEAD = """#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
stty -F /dev/ttyS1 raw -echo -onlcr -opost
cd /work
# Runs velkoran with the arguments after the name: console, errors, status.
run() {
  name=$1; shift
  velkoran "$@" > /out/$name.console 2> /out/$name.err
  echo $? > /out/$name.status
}
# Loads the IPMI modules; the arguments go to ipmi_si as its parameters.
load_driver() {
  insmod /modules/ipmi_msghandler.ko
  insmod /modules/ipmi_si.ko "$@"
  insmod /modules/ipmi_devintf.ko
  n=0
  while [ ! -e /dev/ipmi0 ] && [ $n -lt 300 ]; do sleep 0.1; n=$((n + 1)); done
  [ -e /dev/ipmi0 ] && echo yes > /out/driver.status || echo no > /out/driver.status
}
"""

INIT_TAIL = """
for file in /out/*; do
  echo "VKFILE $(basename $file) $(wc -c < $file)"
  cat $file
done > /dev/ttyS1
printf 'VKFILES-END\\n' > /dev/ttyS1
sleep 1
poweroff -f
"""


def parse_files(raw: bytes) -> dict[str, bytes]:
    """The files the guest sent: "VKFILE name size" lines, each followed by
    the file's bytes, until the end mark."""
    files = {}
    position = 0
    while True:
        end = raw.find(b"\n", position)
        if end < 0:
            raise harness.HarnessError("the guest's files broke off")
        line = raw[position:end + 1]
        if line == END_OF_FILES:
            return files
        match = re.fullmatch(rb"VKFILE (\S+) +(\d+)\n", line)
        if not match:
            raise harness.HarnessError(f"unexpected line from the guest: {line[:80]!r}")
        size = int(match.group(2))
        files[match.group(1).decode()] = raw[end + 1:end + 1 + size]
        position = end + 1 + size


@dataclasses.dataclass
class GuestRun:
    files: dict[str, bytes]
    console: str  # the guest's first serial port
    seconds: float


def boot(work: pathlib.Path, steps: str, files: dict[str, bytes | os.PathLike],
         bmcsim: harness.BmcSim | None, timeout: float) -> GuestRun:
    """Boots the guest once with a BMC simulator behind its KCS interface
    (polled: no interrupt) and runs `steps` (shell) in /work; returns /out's
    files. The simulator listens on a UNIX socket, or on a TCP port when its
    command line asks for "{port}"; without one, QEMU's built-in BMC
    (ipmi-bmc-sim) answers."""
    kernel = fetch_kernel()
    initrd = work / "initrd.gz"
    make_initramfs(initrd, kernel, INIT_HEAD + steps + INIT_TAIL, files)
    endpoint = harness._sim_endpoint(bmcsim, work)
    serial_out = work / "ttyS1.bin"
    argv = ["qemu-system-x86_64", "-machine", "q35", "-m", "256", "-display", "none",
            "-monitor", "none", "-no-reboot", "-net", "none",
            "-kernel", str(kernel.vmlinux), "-initrd", str(initrd),
            "-append", "console=ttyS0 quiet loglevel=1 panic=-1",
            "-serial", "stdio", "-serial", f"file:{serial_out}"]
    if endpoint is None:
        argv += ["-device", "ipmi-bmc-sim,id=bmc0"]
    else:
        argv += ["-chardev", endpoint.chardev(), "-device", "ipmi-bmc-extern,id=bmc0,chardev=ipmi0"]
    argv += ["-device", "isa-ipmi-kcs,bmc=bmc0,irq=0"]
    with harness.QemuSlot(wait=900), open(work / "bmcsim.log", "wb") as log:
        sim = harness._start_bmcsim(bmcsim, endpoint, log) if bmcsim else None
        qemu = None
        try:
            started = time.monotonic()
            qemu = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT, start_new_session=True)
            try:
                console, _ = qemu.communicate(timeout=timeout)
            except subprocess.TimeoutExpired:
                harness._stop(qemu)
                raise harness.HarnessError(f"the guest did not end within {timeout} s")
            seconds = time.monotonic() - started
        finally:
            harness._stop(qemu)
            harness._stop(sim, grace=10)
    raw = serial_out.read_bytes() if serial_out.exists() else b""
    return GuestRun(parse_files(raw), console.decode(errors="replace"), seconds)


def start_bmcsim(socket: pathlib.Path, options: list[str], cwd: pathlib.Path) -> subprocess.Popen:
    """bmcsim listening on the UNIX socket (an old one is replaced)."""
    socket.unlink(missing_ok=True)
    sim = subprocess.Popen([str(fs.BMCSIM), "--listen", f"unix:{socket}"] + options, cwd=cwd,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           start_new_session=True)
    deadline = time.monotonic() + 10
    while not socket.exists() and time.monotonic() < deadline:
        time.sleep(0.05)
    return sim


def host_reference(runs: list[list[str]], files: dict[str, bytes | os.PathLike],
                   bmcsim_options: list[str]) -> list[str]:
    """What velkoran-sim prints for each run, in order, against one bmcsim with
    these options: the console the Linux build must show."""
    outputs = []
    with tempfile.TemporaryDirectory(prefix="velkoran-linux-host-") as scratch:
        directory = pathlib.Path(scratch)
        for name, content in files.items():
            data = content if isinstance(content, bytes) else pathlib.Path(content).read_bytes()
            (directory / name).write_bytes(data)
        socket = directory / "bmc.sock"
        sim = start_bmcsim(socket, bmcsim_options, directory)
        try:
            for args in runs:
                run = subprocess.run(["velkoran"] + args, executable=str(fs.HOST_VELKORAN),
                                     capture_output=True, timeout=120, cwd=scratch,
                                     env=dict(os.environ, VELKORAN_BMC=f"unix:{socket}"))
                outputs.append(run.stdout.decode("utf-8", errors="replace"))
        finally:
            harness._stop(sim)
    return outputs


class GuestTest(unittest.TestCase):
    """A test class whose setUpClass calls start() and then boots the guest
    into cls.guest; the work directory goes when the class is done."""

    maxDiff = None
    guest: GuestRun

    @classmethod
    def start(cls, prefix: str) -> None:
        missing = fs.missing_tools() + [str(p) for p in [VELKORAN] if not p.exists()]
        if missing:
            raise RuntimeError(f"host tools not built: {missing}")
        cls.work = pathlib.Path(tempfile.mkdtemp(prefix=prefix))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def guest_file(self, name: str) -> bytes:
        if name not in self.guest.files:
            self.fail(f"the guest sent no {name}; its console:\n{self.guest.console[-3000:]}")
        return self.guest.files[name]

    def flash_mismatches(self, flash_name: str, image: pathlib.Path, info: dict) -> list[str]:
        path = self.work / flash_name
        return fs.region_mismatches(path.read_bytes() if path.exists() else None,
                                    image.read_bytes(), info["regions"])
