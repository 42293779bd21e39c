#!/usr/bin/env python3
"""velkoran's speed over RMCP+ on the loopback, against bmcsim --lan.

1. bench/lan_chunk_bench: the update's chunk exchange (ReceiveFWData with 50
   data bytes and its reply) through velkoran's session, alternating with a
   bare UDP request/reply of the same datagram sizes to a trivial echo
   process, in one run: microseconds per exchange and the session's overhead.
2. The wall-clock time of a whole 32 MiB update
   (velkoran -i lan ... -f image -r y), checked complete by bmcsim's report.

Both with cipher suites 17 and 3, ROUNDS times, with the load average before
each round (the machine may be shared). Where the processes run matters more
than anything measured here: a wake-up across CPUs costs several times a
whole exchange on one CPU (the more so in a virtual machine), so they are
pinned: --placement same (default) puts the client, the BMC and the echo on
one CPU, apart puts the client on one and the BMC and the echo on another,
free leaves them to the scheduler. Build without sanitizers first:

    cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build build/bench -j2 --target velkoran bmcsim velkoran-image lan_chunk_bench
    bench/lan_speed.py [--build build/bench] [--rounds 3] [--chunks 20000] [--placement same]
"""

import argparse
import json
import os
import pathlib
import random
import re
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
USER, PASSWORD = "admin", "secret"
CIPHERS = (17, 3)
MIB = 1 << 20
# The update sends the table's page as a region of this length.
TABLE_REGION = 0x40000
CHUNK_LINE = re.compile(r"datagrams (\d+) out / (\d+) back: session median ([0-9.]+) us "
                        r"mean ([0-9.]+) us, bare UDP median ([0-9.]+) us mean ([0-9.]+) us.*"
                        r"client CPU per exchange: session ([0-9.]+) us, bare ([0-9.]+) us; "
                        r"echo process CPU per exchange ([0-9.]+) us")


def pinned(cpu: int | None):
    """A preexec_fn that keeps the child on CPU cpu (None: anywhere)."""
    return None if cpu is None else lambda: os.sched_setaffinity(0, {cpu})


def placements(kind: str) -> tuple[int | None, int | None]:
    """The client's CPU and the servers' CPU."""
    cpus = sorted(os.sched_getaffinity(0))
    return {"same": (cpus[-1], cpus[-1]), "apart": (cpus[0], cpus[-1]),
            "free": (None, None)}[kind]


def free_udp_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class LanBmc:
    """One bmcsim serving RMCP+ on a free loopback port, for one measurement."""

    def __init__(self, build: pathlib.Path, work: pathlib.Path, cpu: int | None,
                 options: list[str]):
        self.port = free_udp_port()
        self.process = subprocess.Popen(
            [str(build / "bmcsim"), "--lan", f"127.0.0.1:{self.port}", "--lan-user", USER,
             "--lan-password", PASSWORD, "--lan-ciphers", "3,17", *options],
            cwd=work, stderr=subprocess.PIPE, text=True, preexec_fn=pinned(cpu))
        line = self.process.stderr.readline()
        if "serving RMCP+" not in line:
            raise RuntimeError(f"bmcsim did not start: {line}")

    def __enter__(self):
        return self

    def cpu_micros(self) -> float:
        """CPU time used so far (the scheduler's nanoseconds)."""
        schedstat = pathlib.Path(f"/proc/{self.process.pid}/schedstat").read_text()
        return int(schedstat.split()[0]) / 1000

    def __exit__(self, *_):
        self.process.terminate()
        self.process.wait(timeout=60)


def make_image(build: pathlib.Path, work: pathlib.Path, size: int) -> pathlib.Path:
    """An image of `size` bytes whose regions the update sends cover all of
    it: four random parts, the last shortened by the table's region."""
    rng = random.Random(28)
    quarter = size // 4
    parts = []
    for index in range(4):
        length = quarter - (TABLE_REGION if index == 3 else 0)
        part = work / f"part{index}.bin"
        part.write_bytes(rng.randbytes(length))
        parts.append(f"{part}@{index * quarter:#x}:part{index}.bin")
    image = work / "image.bin"
    subprocess.run([str(build / "velkoran-image"), "build", "-o", str(image), "--size", str(size),
                    "--table-offset", str(size - TABLE_REGION), *parts],
                   check=True, capture_output=True)
    return image


def chunk_exchange(build, work, cipher, chunks, placement) -> dict:
    client_cpu, server_cpu = placement
    with LanBmc(build, work, server_cpu, ["--firmware"]) as bmc:
        before = bmc.cpu_micros()
        echo_cpu = -1 if server_cpu is None else server_cpu
        run = subprocess.run([str(build / "bench" / "lan_chunk_bench"), str(bmc.port), USER,
                              str(cipher), str(chunks), str(echo_cpu)],
                             capture_output=True, text=True, timeout=600,
                             preexec_fn=pinned(client_cpu),
                             env=dict(os.environ, VELKORAN_PASSWORD=PASSWORD))
        bmcsim_cpu = (bmc.cpu_micros() - before) / chunks
    found = CHUNK_LINE.search(run.stdout)
    if run.returncode != 0 or not found:
        raise RuntimeError(f"lan_chunk_bench failed: {run.stdout}{run.stderr}")
    out, back, *figures = map(float, found.groups())
    names = ("lan", "lan_mean", "udp", "udp_mean", "lan_client_cpu", "udp_client_cpu", "echo_cpu")
    return {"sizes": (int(out), int(back)), "bmcsim_cpu": bmcsim_cpu, **dict(zip(names, figures))}


def whole_update(build, work, image, cipher, placement) -> float:
    client_cpu, server_cpu = placement
    report = work / "report.json"
    report.unlink(missing_ok=True)
    with LanBmc(build, work, server_cpu, ["--firmware", "--fw-report", str(report)]) as bmc:
        start = time.monotonic()
        run = subprocess.run(["velkoran", "-i", "lan", "-h", "127.0.0.1", str(bmc.port), "-u", USER,
                              "--cipher", str(cipher), "-f", str(image), "-r", "y"],
                             executable=str(build / "velkoran"), cwd=work, capture_output=True,
                             timeout=3600, preexec_fn=pinned(client_cpu),
                             env=dict(os.environ, VELKORAN_PASSWORD=PASSWORD))
        seconds = time.monotonic() - start
    summary = json.loads(report.read_text()) if report.exists() else {}
    if run.returncode != 0 or not summary.get("updateComplete") or summary.get("violations"):
        raise RuntimeError(f"update failed ({run.returncode}): {run.stdout.decode()[-600:]} "
                           f"{summary.get('violations')}")
    return seconds


def print_table(rows: list[dict], chunks: int, image_mib: int) -> None:
    print(f"\n| round | load avg (1 min) | cipher | datagrams out/back | RMCP+ chunk exchange "
          f"median (mean) | bare UDP median (mean) | overhead (median) | CPU per exchange, "
          f"client + server: RMCP+ / bare UDP | {image_mib} MiB update |")
    print("|---|---|---|---|---|---|---|---|---|")
    for row in rows:
        print(f"| {row['round']} | {row['load']:.2f} | {row['cipher']} | "
              f"{row['sizes'][0]} / {row['sizes'][1]} B | "
              f"{row['lan']:.1f} ({row['lan_mean']:.1f}) µs | "
              f"{row['udp']:.1f} ({row['udp_mean']:.1f}) µs | "
              f"{(row['lan'] / row['udp'] - 1) * 100:+.0f} % | "
              f"{row['lan_client_cpu']:.1f} + {row['bmcsim_cpu']:.1f} / "
              f"{row['udp_client_cpu']:.1f} + {row['echo_cpu']:.1f} µs | {row['update']:.1f} s |")
    print(f"\n{chunks} chunk exchanges of each kind per run, alternating; medians over the rounds:")
    for cipher in CIPHERS:
        mine = [row for row in rows if row["cipher"] == cipher]
        lan = statistics.median(row["lan"] for row in mine)
        udp = statistics.median(row["udp"] for row in mine)
        update = statistics.median(row["update"] for row in mine)
        print(f"  cipher {cipher}: RMCP+ {lan:.1f} µs, bare UDP {udp:.1f} µs "
              f"({(lan / udp - 1) * 100:+.0f} %), {image_mib} MiB update {update:.1f} s")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=pathlib.Path, default=ROOT / "build" / "bench")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--chunks", type=int, default=20000)
    parser.add_argument("--image-mib", type=int, default=32)
    parser.add_argument("--placement", choices=("same", "apart", "free"), default="same")
    args = parser.parse_args()
    build = args.build.resolve()
    needed = [build / "bmcsim", build / "velkoran", build / "velkoran-image",
              build / "bench" / "lan_chunk_bench"]
    if any(not path.exists() for path in needed):
        print(f"build these first: {', '.join(str(p) for p in needed)}", file=sys.stderr)
        return 1
    placement = placements(args.placement)
    print(f"placement {args.placement}: client on CPU {placement[0]}, BMC and echo on CPU "
          f"{placement[1]} (None: unpinned)")
    rows = []
    with tempfile.TemporaryDirectory(prefix="velkoran-lan-speed-") as scratch:
        work = pathlib.Path(scratch)
        image = make_image(build, work, args.image_mib * MIB)
        for round_number in range(1, args.rounds + 1):
            for cipher in CIPHERS:
                load = os.getloadavg()[0]
                row = chunk_exchange(build, work, cipher, args.chunks, placement)
                row.update(round=round_number, cipher=cipher, load=load,
                           update=whole_update(build, work, image, cipher, placement))
                print(f"round {round_number} cipher {cipher:2}: load {load:.2f}, "
                      f"RMCP+ {row['lan']:.1f} µs, "
                      f"bare UDP {row['udp']:.1f} µs, update {row['update']:.1f} s", flush=True)
                rows.append(row)
    print_table(rows, args.chunks, args.image_mib)
    return 0


if __name__ == "__main__":
    sys.exit(main())
