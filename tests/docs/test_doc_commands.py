#!/usr/bin/env python3
"""Every command block the documentation prints works as printed.

A block of commands is fenced as ```sh and marked by the HTML comment on the
line before it:

  <!-- runnable -->     run with bash -e in a fresh temporary folder, with
                        the built programs first on PATH and build/host
                        leading to them, against bmcsim; it must create what
                        it uses and end with status 0
  <!-- real-server -->  needs a real server, root, QEMU or a long build: its
                        syntax is checked with bash -n

A ```sh block without a marker fails the test, so that no command block is
left unchecked; so does a marker with no block after it. <!-- real-server -->
may also head a block for another shell (the UEFI shell's, fenced as plain
```), which is then not checked.

Usage: test_doc_commands.py BUILD_DIR SOURCE_DIR
Checks SOURCE_DIR/README.md and every SOURCE_DIR/doc/*.md.
"""
import os
import pathlib
import re
import signal
import subprocess
import sys
import tempfile
import time

MARKERS = ("runnable", "real-server")
MARKER_LINE = re.compile(r"^<!--\s*([a-z-]+)\s*-->\s*$")
BLOCK_SECONDS = 20
PROGRAMS = ("velkoran", "velkoran-sim", "bmcsim", "velkoran-image")


def documents(source):
    pages = [source / "README.md"] + sorted((source / "doc").glob("*.md"))
    return [page for page in pages if page.is_file()]


def blocks(page):
    """(line number, marker or None, text) of each ```sh block, and the
    problems of markers that head no such block."""
    lines = page.read_text(encoding="utf-8").splitlines()
    found, problems = [], []
    index = 0
    while index < len(lines):
        line = lines[index]
        marker = MARKER_LINE.match(line)
        if marker and marker.group(1) in MARKERS:
            following = lines[index + 1].strip() if index + 1 < len(lines) else ""
            expected = "```sh" if marker.group(1) == "runnable" else "```"
            if not following.startswith(expected):
                problems.append(f"{page.name}:{index + 1}: <!-- {marker.group(1)} --> "
                                f"is not followed by a {expected} block")
        if line.startswith("```"):
            end = index + 1
            while end < len(lines) and not lines[end].startswith("```"):
                end += 1
            if line.strip() == "```sh":
                before = MARKER_LINE.match(lines[index - 1]) if index > 0 else None
                kind = before.group(1) if before and before.group(1) in MARKERS else None
                found.append((index + 1, kind, "\n".join(lines[index + 1:end]) + "\n"))
            index = end + 1
            continue
        index += 1
    return found, problems


def stop_group(process):
    """Gives the block's background programs a moment to end (bmcsim writes
    its files on SIGTERM), then ends whatever is left."""
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        try:
            os.killpg(process.pid, 0)
        except ProcessLookupError:
            return
        time.sleep(0.05)
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def run_block(text, build):
    with tempfile.TemporaryDirectory(prefix="velkoran-doc-") as folder:
        place = pathlib.Path(folder)
        (place / "build").mkdir()
        (place / "build" / "host").symlink_to(build.resolve())
        environment = dict(os.environ)
        environment["PATH"] = f"{build.resolve()}:{environment.get('PATH', '')}"
        environment.pop("VELKORAN_BMC", None)
        # A file, not a pipe: a program left in the background would hold a
        # pipe open after the block ended.
        with tempfile.TemporaryFile() as output:
            process = subprocess.Popen(["bash", "-e", "-c", text], cwd=folder, env=environment,
                                       stdin=subprocess.DEVNULL, stdout=output,
                                       stderr=subprocess.STDOUT, start_new_session=True)
            try:
                status = process.wait(timeout=BLOCK_SECONDS)
                problem = None if status == 0 else f"ended with status {status}"
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
                problem = f"did not end within {BLOCK_SECONDS} s"
            stop_group(process)
            output.seek(0)
            return problem, output.read()


def check_syntax(text):
    result = subprocess.run(["bash", "-n"], input=text, capture_output=True, text=True)
    return None if result.returncode == 0 else "bash -n: " + result.stderr.strip()


def main():
    build, source = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    missing = [name for name in PROGRAMS if not (build / name).is_file()]
    if missing:
        print("not built in", build, ":", ", ".join(missing))
        return 1
    failures, counts = [], {"runnable": 0, "real-server": 0}
    for page in documents(source):
        found, problems = blocks(page)
        failures += problems
        for line, kind, text in found:
            where = f"{page.name}:{line}"
            if kind is None:
                failures.append(f"{where}: a ```sh block with neither <!-- runnable --> "
                                "nor <!-- real-server --> before it")
                continue
            counts[kind] += 1
            problem = check_syntax(text)
            output = b""
            if problem is None and kind == "runnable":
                problem, output = run_block(text, build)
            if problem is not None:
                shown = output.decode(errors="replace")[-3000:]
                failures.append(f"{where}: {problem}\n--- block ---\n{text}--- output ---\n{shown}")
    for failure in failures:
        print("FAIL", failure)
    print(f"{counts['runnable']} blocks run, {counts['real-server']} checked for syntax, "
          f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
