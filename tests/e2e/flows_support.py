"""Shared pieces of the firmware-flow end-to-end runs: sample images made
with velkoran-image, bmcsim command lines, the host build as a reference
and the check that a flash holds an image's regions."""

from __future__ import annotations

import json
import os
import pathlib
import random
import subprocess
import tempfile
import time

import harness

HOST_DIR = pathlib.Path(os.environ.get("VELKORAN_HOST_DIR", harness.REPO / "build" / "host"))
BMCSIM = HOST_DIR / "bmcsim"
IMAGE_TOOL = HOST_DIR / "velkoran-image"
# The program on the test platform: its virtual clock makes the waits free.
HOST_VELKORAN = HOST_DIR / "velkoran-sim"


def missing_tools() -> list[str]:
    return [str(p) for p in (BMCSIM, IMAGE_TOOL, HOST_VELKORAN) if not p.exists()]


def make_image(directory: pathlib.Path, name: str, part_sizes: list[tuple[int, int]],
               encipher: bool = False, seed: int = 1,
               size: int | None = None) -> tuple[pathlib.Path, dict]:
    """Builds an image from random parts (size, offset), `size` bytes long if
    given, and returns its path and the update's own reading of it
    (velkoran-image inspect --json)."""
    rng = random.Random(seed)
    parts = []
    for index, (part_size, offset) in enumerate(part_sizes):
        part = directory / f"{name}.part{index}.bin"
        part.write_bytes(bytes(rng.randrange(256) for _ in range(part_size)))
        parts.append(f"{part}@{offset:#x}:part{index}.bin")
    image = directory / name
    subprocess.run([str(IMAGE_TOOL), "build", "-o", str(image)] + parts +
                   (["--encipher"] if encipher else []) +
                   (["--size", str(size)] if size else []), check=True, capture_output=True)
    inspected = subprocess.run([str(IMAGE_TOOL), "inspect", "--json", str(image)],
                               check=True, capture_output=True, text=True)
    return image, json.loads(inspected.stdout)


def region_mismatches(flash: bytes | None, image: bytes, regions: list[dict]) -> list[str]:
    """The regions whose bytes the flash does not hold (0xff past the image's end)."""
    if flash is None:
        return ["no flash file"]
    wrong = []
    for index, region in enumerate(regions):
        offset, length = region["offset"], region["length"]
        expected = (image[offset:offset + length] + b"\xff" * length)[:length]
        if flash[offset:offset + length] != expected:
            wrong.append(f"region {index} at {offset:#x}, {length} bytes")
    return wrong


def bmcsim_argv(options: list[str]) -> list[str]:
    return [str(BMCSIM), "--listen", "unix:{socket}"] + options


def host_console(args: list[str], bmcsim_options: list[str], cwd: pathlib.Path) -> str:
    """What build/host/velkoran-sim prints for `Velkoran.efi ARGS` against a bmcsim
    with these options: the reference for the text QEMU shows."""
    with tempfile.TemporaryDirectory(prefix="velkoran-host-") as scratch:
        socket = pathlib.Path(scratch) / "bmc.sock"
        sim = subprocess.Popen([str(BMCSIM), "--listen", f"unix:{socket}"] + bmcsim_options,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=scratch)
        try:
            deadline = time.monotonic() + 10
            while not socket.exists() and time.monotonic() < deadline:
                time.sleep(0.05)
            # The shell passes argument 0 as the full path it found.
            run = subprocess.run(["FS0:\\Velkoran.efi"] + args, executable=str(HOST_VELKORAN),
                                 capture_output=True, timeout=120, cwd=cwd,
                                 env=dict(os.environ, VELKORAN_BMC=f"unix:{socket}"))
        finally:
            sim.kill()
            sim.wait()
    return run.stdout.decode("utf-8", errors="replace")


def load_report(path: pathlib.Path) -> dict:
    return json.loads(path.read_text()) if path.exists() else {}
