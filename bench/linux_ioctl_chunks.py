#!/usr/bin/env python3
"""Time per ReceiveFWData exchange of velkoran (the Linux build) updating
bmcsim through the kernel's IPMI driver (/dev/ipmi0) in a Linux guest in
QEMU, against the same exchanges made by bench/ipmi_chunk_bench.cpp in the
same boot: a bare ioctl loop alternating chunk by chunk with velkoran's own
device transfer, each timed in the guest.

bmcsim times the gap between consecutive ReceiveFWData requests: one whole
chunk exchange as the sender drives it (for velkoran: reading 49 bytes from
the buffered file, the progress test and the transfer through the device).
Each sender runs three times, interleaved. Needs build/host (velkoran,
bmcsim, velkoran-image, bench/ipmi_chunk_bench).
"""

import json
import re
import pathlib
import shutil
import statistics
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
import flows_support as fs  # noqa: E402
import harness  # noqa: E402
import linux_guest  # noqa: E402

BENCH = fs.HOST_DIR / "bench" / "ipmi_chunk_bench"
ROUNDS = 3


def bmcsim_medians(work: pathlib.Path) -> dict[str, list[float]] | None:
    """bmcsim's median gap between chunks for each update, by sender (the
    senders alternate, the bench program first)."""
    medians = {"ipmi_chunk_bench": [], "velkoran -f": []}
    for update in range(1, 2 * ROUNDS + 1):
        who = "ipmi_chunk_bench" if update % 2 == 1 else "velkoran -f"
        path = work / f"report-{update}.json"
        summary = json.loads(path.read_text()) if path.exists() else {}
        timing = summary.get("chunkIntervalMicros")
        if not summary.get("updateComplete") or not timing:
            print(f"{who}: no complete upload (update {update})", file=sys.stderr)
            return None
        medians[who].append(timing["median"])
        print(f"{who:17s} ReceiveFWData exchange: median {timing['median']:7.1f} us, "
              f"mean {timing['mean']:7.1f} us over {timing['count']} back-to-back pairs")
    return medians


def print_summary(medians: dict[str, list[float]], bench_output: str) -> None:
    in_guest = [tuple(map(float, found)) for found in re.findall(
        r"bare ioctl loop median ([0-9.]+) us, ipmiDeviceTransfer median ([0-9.]+) us",
        bench_output)]
    print("ipmiDeviceTransfer / bare ioctl loop, chunk by chunk in one process: " +
          ", ".join(f"{(t / b - 1) * 100:+.1f} %" for b, t in in_guest))
    for name, values in medians.items():
        print(f"{name:17s} medians {', '.join(f'{v:.1f}' for v in values)} us: "
              f"middle {statistics.median(values):.1f}, spread {max(values) - min(values):.1f}")
    bare, velkoran = medians["ipmi_chunk_bench"], medians["velkoran -f"]
    middle = statistics.median(velkoran) / statistics.median(bare) - 1
    print("velkoran -f / ipmi_chunk_bench, round by round: " +
          ", ".join(f"{(v / b - 1) * 100:+.1f} %" for v, b in zip(velkoran, bare)) +
          f"; of the middle medians: {middle * 100:+.1f} %")


def main() -> int:
    if fs.missing_tools() or not BENCH.exists() or not linux_guest.VELKORAN.exists():
        print("build the host tools first (cmake --build build/host)", file=sys.stderr)
        return 1
    work = pathlib.Path(tempfile.mkdtemp(prefix="velkoran-linux-bench-"))
    try:
        # The table page's 256 KiB region lies inside the file, so that every
        # chunk is read from the file.
        image, _ = fs.make_image(work, "bench.bin", [(40000, 0), (24000, 0xA000)], size=0x50000)
        steps = "load_driver\nchmod +x /work/ipmi_chunk_bench\n" + ROUNDS * (
            "/work/ipmi_chunk_bench >> /out/bench.txt\nvelkoran -f bench.bin > /dev/null\n")
        sim = harness.BmcSim(fs.bmcsim_argv(["--fw-report", str(work / "report-{update}.json")]))
        guest = linux_guest.boot(work, steps, {"bench.bin": image, "ipmi_chunk_bench": BENCH},
                                 sim, timeout=600)
        bench_output = guest.files.get("bench.txt", b"").decode()
        sys.stdout.write(bench_output)
        medians = bmcsim_medians(work)
        if medians is None:
            print(guest.console[-2000:], file=sys.stderr)
            return 1
        print_summary(medians, bench_output)
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
