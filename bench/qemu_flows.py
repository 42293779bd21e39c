#!/usr/bin/env python3
"""Time per ReceiveFWData exchange of Velkoran.efi updating bmcsim in QEMU,
against the same exchanges made by a bare, timer-free KCS port loop
(tests/uefi/chunk_exchange_bench.cpp) in the same boot.

bmcsim times the gap between consecutive ReceiveFWData requests: one whole
chunk exchange as the sender drives it (for Velkoran: reading 49 bytes from
the buffered file, the progress test and the KCS transfer of 50 bytes with a
3-byte reply). Needs build/uefi and build/host (bmcsim, velkoran-image).
"""

import json
import pathlib
import shutil
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
import flows_support as fs  # noqa: E402
import harness  # noqa: E402


def main() -> int:
    if fs.missing_tools():
        print(f"build the host tools first: {fs.missing_tools()}", file=sys.stderr)
        return 1
    work = pathlib.Path(tempfile.mkdtemp(prefix="velkoran-bench-"))
    try:
        # The table page's 256 KiB region lies inside the file, as in a real
        # image, so that every chunk is read from the file.
        image, info = fs.make_image(work, "bench.bin", [(40000, 0), (24000, 0xA000)],
                                    size=0x50000)
        bare_app = pathlib.Path(harness.DEFAULT_EFI).parent / "chunk_exchange_bench.efi"
        sim = harness.BmcSim(fs.bmcsim_argv(["--fw-report", str(work / "report-{update}.json")]))
        # Each sender runs twice, interleaved, and its two medians are
        # averaged: under emulation a run's speed depends on its place in the
        # boot by as much as the differences measured.
        result = harness.run_boot(["chunk_exchange_bench.efi", "Velkoran.efi -f bench.bin",
                                   "chunk_exchange_bench.efi", "Velkoran.efi -f bench.bin"],
                                  files={"bench.bin": image, "chunk_exchange_bench.efi": bare_app},
                                  bmcsim=sim, timeout=300)
        timings = []
        runs = ((1, "bare KCS loop"), (2, "kcsTransfer loop"), (3, "Velkoran.efi -f"),
                (4, "bare KCS loop"), (5, "kcsTransfer loop"), (6, "Velkoran.efi -f"))
        for update, who in runs:
            path = work / f"report-{update}.json"
            summary = json.loads(path.read_text()) if path.exists() else {}
            timing = summary.get("chunkIntervalMicros")
            if not summary.get("updateComplete") or not timing:
                print(f"{who}: no complete upload", result.console[-2000:], file=sys.stderr)
                return 1
            timings.append(timing)
            print(f"{who:16s} ReceiveFWData exchange: median {timing['median']:7.1f} us, "
                  f"mean {timing['mean']:7.1f} us over {timing['count']} back-to-back pairs")
        def averaged(first: int) -> float:
            return (timings[first]["median"] + timings[first + 3]["median"]) / 2

        bare = averaged(0)
        for name, median in (("Velkoran.efi -f", averaged(2)), ("kcsTransfer loop", averaged(1))):
            ratio = median / bare
            print(f"{name} / bare KCS loop (medians of two runs each): {ratio:.2f} "
                  f"({(ratio - 1) * 100:+.0f} %)")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
