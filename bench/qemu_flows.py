#!/usr/bin/env python3
"""Time per ReceiveFWData exchange of Velkoran.efi updating bmcsim in QEMU.

bmcsim times the gap between consecutive ReceiveFWData requests (one whole
chunk exchange as the program drives it: reading 49 bytes from the buffered
file, the progress test and the KCS transfer of 50 bytes with a 3-byte reply).
Needs build/uefi and build/host (bmcsim, velkoran-image).
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
        image, info = fs.make_image(work, "bench.bin", [(40000, 0), (24000, 0xA000)])
        report = work / "report.json"
        sim = harness.BmcSim(fs.bmcsim_argv(["--fw-report", str(report)]))
        result = harness.run_boot(["Velkoran.efi -f bench.bin"], files={"bench.bin": image},
                                  bmcsim=sim, timeout=300)
        summary = json.loads(report.read_text()) if report.exists() else {}
        timing = summary.get("chunkIntervalMicros")
        if result.timed_out or not summary.get("updateComplete") or not timing:
            print("the update did not complete:", result.console[-2000:], file=sys.stderr)
            return 1
        chunks = sum((r["length"] + 48) // 49 for r in info["regions"])
        print(f"update of {sum(r['length'] for r in info['regions'])} bytes in "
              f"{len(info['regions'])} regions (about {chunks} ReceiveFWData requests)")
        print(f"ReceiveFWData exchange in QEMU: median {timing['median']:.1f} us, "
              f"mean {timing['mean']:.1f} us over {timing['count']} back-to-back pairs")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
