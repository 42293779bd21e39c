#!/usr/bin/env python3
"""The main job (`make run`): Velkoran.efi updates a simulated BMC in QEMU.

It builds a sample image with velkoran-image, boots QEMU's UEFI shell with
bmcsim behind the KCS interface, runs `Velkoran.efi -f sample.bin`, shows the
console as the user sees it, and then shows that the flash bmcsim kept holds
each region of the image, byte for byte.
"""

import pathlib
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import flows_support as fs  # noqa: E402
import harness  # noqa: E402

COMMAND = "Velkoran.efi -f sample.bin"


def show(title: str) -> None:
    print(f"\n==== {title}", flush=True)


def main() -> int:
    if fs.missing_tools():
        print(f"main job: build the host tools first: {fs.missing_tools()}", file=sys.stderr)
        return 1
    work = pathlib.Path(tempfile.mkdtemp(prefix="velkoran-main-job-"))
    try:
        image, info = fs.make_image(work, "sample.bin", [(24000, 0), (16000, 0x6000)])
        show("Sample image (velkoran-image inspect)")
        sys.stdout.write(subprocess.run([str(fs.IMAGE_TOOL), "inspect", str(image)],
                                        capture_output=True, text=True).stdout)

        flash_path, report_path = work / "flash.bin", work / "report.json"
        sim = harness.BmcSim(fs.bmcsim_argv(["--fw-flash-out", str(flash_path),
                                             "--fw-report", str(report_path),
                                             "--fw-progress", "25,60,100"]))
        show(f"QEMU: UEFI shell, FS0:\\> {COMMAND}")
        result = harness.run_boot([COMMAND], files={"sample.bin": image}, bmcsim=sim,
                                  timeout=300)
        invocation = result.invocations[0]
        if result.timed_out or invocation.output is None:
            print(result.console[-3000:])
            print("main job: the boot did not finish", file=sys.stderr)
            return 1
        # Printed as it came: carriage returns rewrite the progress lines.
        sys.stdout.write(invocation.output)
        print(f"(shell status {invocation.status})")

        show("Simulated BMC flash")
        flash = flash_path.read_bytes() if flash_path.exists() else None
        wrong = fs.region_mismatches(flash, image.read_bytes(), info["regions"])
        for index, region in enumerate(info["regions"]):
            verdict = "MISMATCH" if any(w.startswith(f"region {index} ") for w in wrong) else "equal"
            print(f"region {index}: offset {region['offset']:#08x}, {region['length']:6d} bytes "
                  f"(block {region['blockLength']:#x}): flash {verdict} to the image")
        report = fs.load_report(report_path)
        print(f"bmcsim: updates {report.get('updates')}, regions received "
              f"{report.get('regionsCompleted')}, cold resets {report.get('coldResets')}, "
              f"protocol violations {len(report.get('violations', ['?']))}")
        ok = not wrong and report.get("updateComplete") and report.get("violations") == []
        print("\nmain job:", "the BMC flash holds the image's regions." if ok else "FAILED")
        return 0 if ok else 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
