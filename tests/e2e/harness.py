#!/usr/bin/env python3
"""Boots Velkoran.efi in QEMU's UEFI shell and captures what it prints.

One boot runs any number of shell commands from startup.nsh; the console is
split per command with marker lines echoed around each one. A boot always
ends within its time bound: QEMU (and a BMC simulator, if any) is killed then.

Python 3 standard library only. Use as a module (run_boot) or from the
command line (python3 harness.py --help).
"""

from __future__ import annotations

import argparse
import dataclasses
import fcntl
import os
import pathlib
import queue
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

REPO = pathlib.Path(__file__).resolve().parents[2]
DEFAULT_EFI = REPO / "build" / "uefi" / "Velkoran.efi"
OVMF_CODE = pathlib.Path("/usr/share/OVMF/OVMF_CODE_4M.fd")
OVMF_VARS = pathlib.Path("/usr/share/OVMF/OVMF_VARS_4M.fd")
# Secure Boot: the firmware that enforces it, and variables whose PK, KEK and
# db hold the distribution's "snakeoil" test certificate (key password
# "snakeoil").
OVMF_SECBOOT_CODE = pathlib.Path("/usr/share/OVMF/OVMF_CODE_4M.secboot.fd")
OVMF_SNAKEOIL_VARS = pathlib.Path("/usr/share/OVMF/OVMF_VARS_4M.snakeoil.fd")
SNAKEOIL_KEY = pathlib.Path("/usr/share/ovmf/PkKek-1-snakeoil.key")
SNAKEOIL_CERT = pathlib.Path("/usr/share/ovmf/PkKek-1-snakeoil.pem")
LOCK_SLOTS = [pathlib.Path(f"/tmp/velkoran-qemu-{n}.lock") for n in (0, 1)]
MARK = "VKMARK"
# Test-machine setup run before the commands: OVMF's serial terminal shows
# non-ASCII text as "?"; this switches it to VT-UTF8 (tests/uefi/console_utf8.cpp).
UTF8_CONSOLE_APP = "console_utf8.efi"
COUNTDOWN_PROMPT = "Press ESC in"

_ANSI = re.compile(rb"\x1b(\[[0-?]*[ -/]*[@-~]|[()][A-Za-z0-9]|[=>78cDEHMZ])")


class HarnessError(Exception):
    pass


@dataclasses.dataclass
class Key:
    """Types `text` once `prompt` has appeared on the console.

    With `invocation` set, the prompt is looked for only in that
    invocation's output. Keys are typed in the order given.
    """

    prompt: str
    text: str
    invocation: int | None = None


@dataclasses.dataclass
class BmcSim:
    """A BMC simulator for QEMU's ipmi-bmc-extern device.

    `argv` contains "{socket}", replaced by a UNIX socket path, or "{port}",
    replaced by a free TCP port on 127.0.0.1: the simulator listens there and
    QEMU connects to it as a client. Its output is in BootResult.bmcsim_output.
    """

    argv: list[str]
    ready_timeout: float = 10.0


@dataclasses.dataclass
class Invocation:
    command: str
    output: str | None = None  # console text between the markers
    status: str | None = None  # the shell's %lasterror% afterwards, e.g. "0x0"


@dataclasses.dataclass
class BootResult:
    console: str  # the whole console, cleaned
    raw: bytes
    invocations: list[Invocation]
    files: dict[str, bytes | None]
    timed_out: bool
    qemu_returncode: int | None
    qemu_stderr: str
    bmcsim_output: str = ""

    def outputs(self) -> list[str | None]:
        return [inv.output for inv in self.invocations]


def clean_console(raw: bytes) -> str:
    """Drops ANSI escape sequences and turns CRLF into LF ("\\r" alone stays)."""
    text = _ANSI.sub(b"", raw).replace(b"\r\n", b"\n")
    return text.decode("utf-8", errors="replace")


def startup_script(commands: list[str], utf8_console: bool = True) -> bytes:
    lines = ["@echo -off", "fs0:"]
    if utf8_console:
        lines.append(UTF8_CONSOLE_APP)
    for index, command in enumerate(commands):
        lines.append(f"echo {MARK}-BEGIN-{index}")
        lines.append(command)
        lines.append(f"echo {MARK}-END-{index} %lasterror%")
    lines.append("reset -s")
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


def split_console(console: str, commands: list[str]) -> list[Invocation]:
    invocations = []
    position = 0
    end_line = re.compile(rf"{MARK}-END-(\d+) (\S*)\n")
    for index, command in enumerate(commands):
        invocation = Invocation(command)
        begin = console.find(f"{MARK}-BEGIN-{index}\n", position)
        if begin >= 0:
            start = begin + len(f"{MARK}-BEGIN-{index}\n")
            for match in end_line.finditer(console, start):
                if int(match.group(1)) == index:
                    invocation.output = console[start:match.start()]
                    invocation.status = match.group(2)
                    position = match.end()
                    break
        invocations.append(invocation)
    return invocations


# ---- Disk image -------------------------------------------------------------

def _run(argv: list[str], **kwargs) -> subprocess.CompletedProcess:
    result = subprocess.run(argv, capture_output=True, **kwargs)
    if result.returncode != 0:
        raise HarnessError(f"{argv[0]} failed: {result.stderr.decode(errors='replace')}")
    return result


def make_disk(path: pathlib.Path, files: dict[str, bytes | os.PathLike]) -> None:
    """A FAT image holding `files` (name -> bytes or path; "dir/name" makes dir;
    "dir/" alone makes an empty folder)."""
    total = sum(len(v) if isinstance(v, bytes) else os.path.getsize(v) for v in files.values())
    sectors = max(65536, (2 * total) // 512 + 16384)
    _run(["mformat", "-i", str(path), "-C", "-T", str(sectors), "-v", "ESP", "::"])
    staging = path.parent / "staging"
    made = set()
    for name, content in files.items():
        if name.endswith("/"):
            _run(["mmd", "-i", str(path), f"::/{name.rstrip('/')}"])
            continue
        source = staging / name
        source.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, bytes):
            source.write_bytes(content)
        else:
            shutil.copyfile(content, source)
        for parent in reversed(pathlib.PurePosixPath(name).parents[:-1]):
            if parent not in made:
                _run(["mmd", "-i", str(path), f"::/{parent}"])
                made.add(parent)
        _run(["mcopy", "-o", "-i", str(path), str(source), f"::/{name}"])


def fetch_file(disk: pathlib.Path, name: str, workdir: pathlib.Path) -> bytes | None:
    """The file's bytes; for "dir/", the folder's listing (None when no such
    folder)."""
    if name.endswith("/"):
        listing = subprocess.run(["mdir", "-i", str(disk), f"::/{name}"], capture_output=True)
        return listing.stdout if listing.returncode == 0 else None
    target = workdir / "fetched" / name
    target.parent.mkdir(parents=True, exist_ok=True)
    result = subprocess.run(["mcopy", "-o", "-i", str(disk), f"::/{name}", str(target)],
                            capture_output=True)
    return target.read_bytes() if result.returncode == 0 and target.exists() else None


# ---- Machine-wide QEMU slots --------------------------------------------------

class QemuSlot:
    """Holds one of the two machine-wide QEMU slots for the life of a boot."""

    def __init__(self, wait: float):
        self.wait = wait
        self.handle = None

    def __enter__(self):
        deadline = time.monotonic() + self.wait
        slots = LOCK_SLOTS[:]
        while True:
            random.shuffle(slots)
            for slot in slots:
                handle = open(slot, "a+")
                try:
                    fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    self.handle = handle
                    return self
                except BlockingIOError:
                    handle.close()
            if time.monotonic() > deadline:
                raise HarnessError("no free QEMU slot")
            time.sleep(0.5)

    def __exit__(self, *exc):
        fcntl.flock(self.handle, fcntl.LOCK_UN)
        self.handle.close()


# ---- The boot -----------------------------------------------------------------

def _reader(stream, sink: queue.Queue) -> None:
    while True:
        chunk = os.read(stream.fileno(), 4096)
        if not chunk:
            sink.put(None)
            return
        sink.put(chunk)


def _stop(process: subprocess.Popen | None, grace: float = 0.0) -> None:
    """Ends the process group: SIGTERM first when given a grace period (the
    simulator writes its files on SIGTERM), SIGKILL after it."""
    if process is None:
        return
    for sig, wait in ((signal.SIGTERM, grace), (signal.SIGKILL, None)):
        if process.poll() is not None or (sig == signal.SIGTERM and grace <= 0):
            continue
        try:
            os.killpg(process.pid, sig)
        except ProcessLookupError:
            pass
        try:
            process.wait(timeout=wait)
        except subprocess.TimeoutExpired:
            pass
    for stream in (process.stdin, process.stdout):
        if stream is not None:
            stream.close()


def qemu_command(workdir: pathlib.Path, disk: pathlib.Path, memory_mb: int,
                 secure_boot: bool = False, no_reboot: bool = True,
                 vars_file: pathlib.Path | None = None) -> list[str]:
    """QEMU with OVMF; with secure_boot, the Secure Boot build and the
    snakeoil variables. Without no_reboot a guest reset restarts the
    firmware (the variables persist) instead of ending QEMU. With vars_file
    the variables live there (made fresh when it does not exist yet), so
    that several boots share them as one machine's power-ons do."""
    vars_copy = vars_file or workdir / "vars.fd"
    if vars_file is None or not vars_file.exists():
        shutil.copyfile(OVMF_SNAKEOIL_VARS if secure_boot else OVMF_VARS, vars_copy)
    code = OVMF_SECBOOT_CODE if secure_boot else OVMF_CODE
    machine = ["-machine", "q35,smm=on", "-global", "driver=cfi.pflash01,property=secure,value=on",
               "-global", "ICH9-LPC.disable_s3=1"] if secure_boot else ["-machine", "q35"]
    return ["qemu-system-x86_64", *machine, "-m", str(memory_mb),
            "-display", "none", "-serial", "stdio", "-monitor", "none",
            *(["-no-reboot"] if no_reboot else []), "-net", "none",
            "-drive", f"if=pflash,format=raw,unit=0,readonly=on,file={code}",
            "-drive", f"if=pflash,format=raw,unit=1,file={vars_copy}",
            "-drive", f"file={disk},format=raw,media=disk"]


@dataclasses.dataclass
class _SimEndpoint:
    socket_path: pathlib.Path | None = None
    port: int | None = None

    def chardev(self) -> str:
        if self.socket_path is not None:
            return f"socket,id=ipmi0,path={self.socket_path},reconnect=1"
        return f"socket,id=ipmi0,host=127.0.0.1,port={self.port},reconnect=1"

    def substitute(self, arg: str) -> str:
        return arg.replace("{socket}", str(self.socket_path)).replace("{port}", str(self.port))

    def listening(self) -> bool:
        if self.socket_path is not None:
            return self.socket_path.exists()
        # Asking by connecting would take the simulator's one connection.
        wanted = f":{self.port:04X}"
        with open("/proc/net/tcp") as table:
            return any(fields[1].endswith(wanted) and fields[3] == "0A"
                       for fields in (line.split() for line in table) if len(fields) > 3)


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _sim_endpoint(sim: BmcSim | None, workdir: pathlib.Path) -> _SimEndpoint | None:
    if sim is None:
        return None
    if any("{port}" in arg for arg in sim.argv):
        return _SimEndpoint(port=_free_port())
    return _SimEndpoint(socket_path=workdir / "bmc.sock")


def ipmi_args(endpoint: _SimEndpoint | None, builtin: bool) -> list[str]:
    if builtin:
        return ["-device", "ipmi-bmc-sim,id=bmc0", "-device", "isa-ipmi-kcs,bmc=bmc0"]
    if endpoint is None:
        return []
    return ["-chardev", endpoint.chardev(),
            "-device", "ipmi-bmc-extern,id=bmc0,chardev=ipmi0",
            "-device", "isa-ipmi-kcs,bmc=bmc0"]


def _start_bmcsim(sim: BmcSim, endpoint: _SimEndpoint, log) -> subprocess.Popen:
    argv = [endpoint.substitute(arg) for arg in sim.argv]
    process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log,
                               stderr=subprocess.STDOUT, start_new_session=True)
    deadline = time.monotonic() + sim.ready_timeout
    while not endpoint.listening():
        if process.poll() is not None or time.monotonic() > deadline:
            _stop(process)
            raise HarnessError(f"bmcsim did not start listening ({endpoint.chardev()})")
        time.sleep(0.05)
    return process


class _Console:
    """Watches QEMU's serial output and types keys when prompts appear."""

    def __init__(self, qemu: subprocess.Popen, keys: list[Key]):
        self.qemu = qemu
        self.pending = [Key(COUNTDOWN_PROMPT, "\r")] + list(keys)
        self.raw = bytearray()
        self.search_from = 0

    def _type(self, text: str) -> None:
        try:
            self.qemu.stdin.write(text.encode("utf-8"))
            self.qemu.stdin.flush()
        except (BrokenPipeError, OSError):
            pass

    def feed(self, chunk: bytes) -> None:
        self.raw += chunk
        while self.pending:
            console = clean_console(bytes(self.raw))
            key = self.pending[0]
            start = self.search_from
            if key.invocation is not None:
                begin = console.find(f"{MARK}-BEGIN-{key.invocation}\n")
                if begin < 0:
                    return
                start = max(start, begin)
            found = console.find(key.prompt, start)
            if found < 0:
                return
            self.search_from = found + len(key.prompt)
            self.pending.pop(0)
            self._type(key.text)


def run_disk_boot(files: dict[str, bytes | os.PathLike], fetch: list[str] = (),
                  keys: list[Key] = (), bmcsim: BmcSim | None = None, secure_boot: bool = False,
                  stop_on: str | None = None, timeout: float = 180.0,
                  slot_wait: float = 900.0, machine: pathlib.Path | None = None,
                  extra_qemu_args: list[str] = ()) -> BootResult:
    """Boots the firmware from a disk holding exactly `files` (no startup
    script is added): what a machine does with a USB stick or its boot
    entries. Resets restart the firmware; the boot ends when QEMU does, when
    `stop_on` appears on the console, or at the time bound. With `machine`
    (a folder), the disk and the firmware variables are kept there: the
    first boot makes them from `files`, later ones power the same machine on
    again."""
    workdir = pathlib.Path(tempfile.mkdtemp(prefix="velkoran-e2e-"))
    try:
        disk = (machine or workdir) / "esp.img"
        if machine is None or not disk.exists():
            make_disk(disk, dict(files))
        argv = qemu_command(workdir, disk, 256, secure_boot=secure_boot, no_reboot=False,
                            vars_file=machine / "vars.fd" if machine else None)
        endpoint = _sim_endpoint(bmcsim, workdir)
        argv += ipmi_args(endpoint, False) + list(extra_qemu_args)
        with QemuSlot(slot_wait):
            result = _boot(argv, [], keys, bmcsim, endpoint, workdir, timeout, stop_on)
        result.files = {name: fetch_file(disk, name, workdir) for name in fetch}
        return result
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


def run_boot(commands: list[str], files: dict[str, bytes | os.PathLike] | None = None,
             fetch: list[str] = (), keys: list[Key] = (), efi: os.PathLike | None = None,
             extra_qemu_args: list[str] = (), bmcsim: BmcSim | None = None,
             builtin_bmc: bool = False, timeout: float = 180.0, slot_wait: float = 900.0,
             memory_mb: int = 256, utf8_console: bool = True,
             keep: bool = False) -> BootResult:
    """Runs `commands` in one boot of the UEFI shell (current directory FS0:).

    `files` are put in the root of FS0: beside Velkoran.efi (name -> bytes or
    path); `fetch` names files copied back afterwards (None when missing).
    """
    efi_path = pathlib.Path(efi or os.environ.get("VELKORAN_EFI", DEFAULT_EFI))
    if not efi_path.exists():
        raise HarnessError(f"{efi_path} does not exist; build it first")
    workdir = pathlib.Path(tempfile.mkdtemp(prefix="velkoran-e2e-"))
    try:
        disk = workdir / "esp.img"
        content = {"Velkoran.efi": efi_path,
                   "startup.nsh": startup_script(commands, utf8_console)}
        if utf8_console:
            helper = efi_path.parent / UTF8_CONSOLE_APP
            if not helper.exists():
                raise HarnessError(f"{helper} does not exist; build the UEFI targets")
            content[UTF8_CONSOLE_APP] = helper
        content.update(files or {})
        make_disk(disk, content)
        argv = qemu_command(workdir, disk, memory_mb) + list(extra_qemu_args)
        endpoint = _sim_endpoint(bmcsim, workdir)
        argv += ipmi_args(endpoint, builtin_bmc)
        with QemuSlot(slot_wait):
            result = _boot(argv, commands, keys, bmcsim, endpoint, workdir, timeout)
        result.files = {name: fetch_file(disk, name, workdir) for name in fetch}
        return result
    finally:
        if keep:
            print(f"harness: kept {workdir}", file=sys.stderr)
        else:
            shutil.rmtree(workdir, ignore_errors=True)


def _boot(argv, commands, keys, bmcsim, endpoint, workdir, timeout, stop_on=None) -> BootResult:
    sim_log_path = workdir / "bmcsim.log"
    sim = qemu = None
    with open(sim_log_path, "wb") as sim_log, open(workdir / "qemu.err", "w+b") as qemu_err:
        try:
            if bmcsim:
                sim = _start_bmcsim(bmcsim, endpoint, sim_log)
            qemu = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    stderr=qemu_err, start_new_session=True)
            console = _Console(qemu, keys)
            timed_out = _pump(qemu, console, timeout, stop_on)
        finally:
            _stop(qemu)
            _stop(sim, grace=5.0)
        qemu_err.seek(0)
        stderr = qemu_err.read().decode(errors="replace")
    cleaned = clean_console(bytes(console.raw))
    return BootResult(console=cleaned, raw=bytes(console.raw),
                      invocations=split_console(cleaned, commands), files={},
                      timed_out=timed_out, qemu_returncode=qemu.returncode,
                      qemu_stderr=stderr,
                      bmcsim_output=sim_log_path.read_bytes().decode(errors="replace"))


def _pump(qemu: subprocess.Popen, console: _Console, timeout: float,
          stop_on: str | None = None) -> bool:
    """Feeds the console until QEMU ends or `stop_on` appears; True when the
    time bound cut it off."""
    chunks: queue.Queue = queue.Queue()
    threading.Thread(target=_reader, args=(qemu.stdout, chunks), daemon=True).start()
    deadline = time.monotonic() + timeout
    while True:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            return True
        try:
            chunk = chunks.get(timeout=min(remaining, 0.5))
        except queue.Empty:
            continue
        if chunk is None:
            qemu.wait()
            return False
        console.feed(chunk)
        if stop_on is not None and stop_on in clean_console(bytes(console.raw)):
            return False


# ---- Command line ------------------------------------------------------------

def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("commands", nargs="+", help='shell commands, e.g. "Velkoran.efi -c"')
    parser.add_argument("--efi", help="Velkoran.efi to boot (default build/uefi/Velkoran.efi)")
    parser.add_argument("--file", action="append", default=[], metavar="NAME=PATH",
                        help="put PATH on FS0: as NAME")
    parser.add_argument("--fetch", action="append", default=[], metavar="NAME",
                        help="copy NAME back into the current directory afterwards")
    parser.add_argument("--key", action="append", default=[], metavar="PROMPT=TEXT",
                        help="type TEXT when PROMPT appears")
    parser.add_argument("--bmcsim", help='simulator command line with "{socket}" or "{port}"')
    parser.add_argument("--builtin-bmc", action="store_true", help="QEMU's own BMC model")
    parser.add_argument("--timeout", type=float, default=180.0)
    parser.add_argument("--raw", action="store_true", help="print the whole console")
    parser.add_argument("--keep", action="store_true", help="keep the work directory")
    parser.add_argument("--ascii-console", action="store_true",
                        help="leave OVMF's serial terminal as it is (non-ASCII shows as ?)")
    args = parser.parse_args()

    files = dict(item.split("=", 1) for item in args.file)
    keys = [Key(*item.split("=", 1)) for item in args.key]
    sim = BmcSim(args.bmcsim.split()) if args.bmcsim else None
    result = run_boot(args.commands, files=files, fetch=args.fetch, keys=keys, efi=args.efi,
                      bmcsim=sim, builtin_bmc=args.builtin_bmc, timeout=args.timeout,
                      utf8_console=not args.ascii_console, keep=args.keep)
    if args.raw:
        sys.stdout.write(result.console)
    for invocation in result.invocations:
        print(f"=== {invocation.command} (status {invocation.status})")
        sys.stdout.write(invocation.output if invocation.output is not None else "<missing>\n")
    for name, data in result.files.items():
        if data is not None:
            pathlib.Path(name).write_bytes(data)
        print(f"=== {name}: {'missing' if data is None else f'{len(data)} bytes'}")
    if result.timed_out:
        print("=== timed out", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
