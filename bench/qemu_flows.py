#!/usr/bin/env python3
"""Time per ReceiveFWData exchange of Velkoran.efi updating bmcsim in QEMU,
against the same exchanges made by a bare, timer-free KCS port loop and by a
loop over kcsTransfer (tests/uefi/chunk_exchange_bench.cpp), in the same boot.

bmcsim times the gap between consecutive ReceiveFWData requests: one whole
chunk exchange as the sender drives it (for Velkoran: reading 49 bytes from
the buffered file, the progress test and the KCS transfer of 50 bytes with a
3-byte reply); each run's figure is the median gap.

Noise: under software emulation, on a shared machine, a run's speed drifts
within a boot and between boots by more than the differences measured. So
each boot holds several rounds of one run per sender, the order rotated from
round to round, and a sender is compared only with the bare loop of its own
round; a boot's figure is the median of its rounds' ratios, and the boots
(one at a time) give the median and spread. Besides each run's median
exchange, its 10th and 1st percentiles are compared: exchanges that waited
for a host CPU taken by other work (bmcsim and QEMU's I/O thread must run for
every reply) fall above them. Needs build/uefi and build/host
(bmcsim, velkoran-image).

  python3 bench/qemu_flows.py [--boots N] [--rounds N] [--compare NAME=EFI] [--drained]
"""

import argparse
import json
import os
import pathlib
import shutil
import statistics
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
import flows_support as fs  # noqa: E402
import harness  # noqa: E402

SENDERS = {
    "bare": "chunk_exchange_bench.efi bare",
    "kcsTransfer": "chunk_exchange_bench.efi transfer",
    "Velkoran": "Velkoran.efi -f bench.bin",
}
# --compare NAME=PATH: another build of Velkoran.efi as one more sender.
EXTRA_FILES: dict[str, pathlib.Path] = {}


# Per run: the median exchange, and the 10th and 1st percentiles, which pass
# over exchanges that waited for a host CPU taken by other work.
FIGURES = ("median", "p10", "p1")


def round_order(round_index: int) -> list[str]:
    names = list(SENDERS)
    shift = round_index % len(names)
    return names[shift:] + names[:shift]


def one_boot(work: pathlib.Path, image: pathlib.Path, rounds: int) -> list[dict[str, dict]]:
    """Every sender's exchange times (bmcsim's chunkIntervalMicros) in each round."""
    for old in work.glob("report-*.json"):
        old.unlink()
    order = [name for r in range(rounds) for name in round_order(r)]
    bare_app = pathlib.Path(harness.DEFAULT_EFI).parent / "chunk_exchange_bench.efi"
    sim = harness.BmcSim(fs.bmcsim_argv(["--fw-report", str(work / "report-{update}.json")]))
    files = {"bench.bin": image, "chunk_exchange_bench.efi": bare_app}
    files.update(EXTRA_FILES)
    result = harness.run_boot([SENDERS[name] for name in order], files=files, bmcsim=sim,
                              timeout=900)
    medians = []
    for update, name in enumerate(order, start=1):
        summary = fs.load_report(work / f"report-{update}.json")
        timing = summary.get("chunkIntervalMicros")
        if not summary.get("updateComplete") or not timing:
            raise RuntimeError(f"{name} (update {update}): no complete upload\n"
                               + result.console[-2000:])
        if (update - 1) % len(SENDERS) == 0:
            medians.append({})
        medians[-1][name] = timing
    return medians


def ratio_of(rounds: list[dict[str, dict]], name: str, figure: str) -> float:
    return statistics.median(r[name][figure] / r["bare"][figure] for r in rounds)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--boots", type=int, default=5)
    parser.add_argument("--rounds", type=int, default=6)
    parser.add_argument("--compare", action="append", default=[], metavar="NAME=EFI",
                        help="also time this build of Velkoran.efi, e.g. before=old/Velkoran.efi")
    parser.add_argument("--drained", action="store_true",
                        help="also time the bare loop with the transport's two reads before "
                             "each request")
    args = parser.parse_args()
    if args.drained:
        SENDERS["drained"] = "chunk_exchange_bench.efi drained"
    for index, entry in enumerate(args.compare):
        name, path = entry.split("=", 1)
        EXTRA_FILES[f"other{index}.efi"] = pathlib.Path(path)
        SENDERS[name] = f"other{index}.efi -f bench.bin"
    if fs.missing_tools():
        print(f"build the host tools first: {fs.missing_tools()}", file=sys.stderr)
        return 1
    work = pathlib.Path(tempfile.mkdtemp(prefix="velkoran-bench-"))
    try:
        # The table page's 256 KiB region lies inside the file, as in a real
        # image, so that every chunk is read from the file.
        image, _ = fs.make_image(work, "bench.bin", [(40000, 0), (24000, 0xA000)], size=0x50000)
        per_boot = []
        for boot in range(1, args.boots + 1):
            load = os.getloadavg()[0]
            rounds = one_boot(work, image, args.rounds)
            ratios = {(name, figure): ratio_of(rounds, name, figure)
                      for name in SENDERS if name != "bare" for figure in FIGURES}
            per_boot.append(ratios)
            print(f"boot {boot} (load {load:.1f}):", flush=True)
            for figure in FIGURES:
                times = {name: statistics.median(r[name][figure] for r in rounds)
                         for name in SENDERS}
                print(f"  {figure:6s} " + ", ".join(f"{n} {t:.1f} us" for n, t in times.items())
                      + "; " + ", ".join(f"{name}/bare {(ratios[name, figure] - 1) * 100:+.1f} %"
                                         for name in SENDERS if name != "bare"), flush=True)
        for key in per_boot[0]:
            values = sorted((b[key] - 1) * 100 for b in per_boot)
            print(f"{key[0]} / bare ({key[1]}) over {len(values)} boots: median "
                  f"{statistics.median(values):+.1f} %, spread {values[0]:+.1f} % to {values[-1]:+.1f} %")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
