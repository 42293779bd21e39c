#!/usr/bin/env python3
"""The shipped programs as a user gets them.

  package_test.py deb PACKAGE.deb
      lintian reports no error; dpkg -i installs the package; velkoran
      --version, man velkoran, man velkoran-image and velkoran-image --help
      work; dpkg -r removes every file it brought. Needs root (CI is root).
  package_test.py tree PREFIX [--uefi]
      what `make install` put under PREFIX works the same way.
"""
import gzip
import os
import re
import shutil
import subprocess
import sys

VERSION_LINE = re.compile(r"velkoran (\S+) \(build [A-Za-z0-9._+-]+\)\n")

# (path under the prefix, what its first bytes must be); man pages may be
# compressed.
SHIPPED = [
    ("sbin/velkoran", b"\x7fELF"),
    ("bin/velkoran-image", b"\x7fELF"),
    ("share/man/man8/velkoran.8", b".TH VELKORAN 8"),
    ("share/man/man1/velkoran-image.1", b".TH VELKORAN-IMAGE 1"),
    ("share/velkoran/ansible/rollout.yml", b"#"),
    ("share/velkoran/ansible/roles/velkoran/tasks/main.yml", b""),
]
EFI = ("lib/velkoran/Velkoran.efi", b"MZ")


def run(command, **settings):
    return subprocess.run(command, capture_output=True, text=True, timeout=120, **settings)


def head_of(path):
    opener = gzip.open if path.endswith(".gz") else open
    with opener(path, "rb") as file:
        return file.read(32)


def check_files(prefix, expected, failures):
    for relative, start in expected:
        path = os.path.join(prefix, relative)
        if not os.path.exists(path) and os.path.exists(path + ".gz"):
            path += ".gz"
        if not os.path.isfile(path):
            failures.append(f"{relative} is not installed under {prefix}")
        elif not head_of(path).startswith(start):
            failures.append(f"{path} does not begin with {start!r}")


def check_programs(velkoran, image_tool, expected_version, failures):
    shown = run([velkoran, "--version"])
    match = VERSION_LINE.fullmatch(shown.stdout)
    if shown.returncode != 0 or not match or match.group(1) != expected_version:
        failures.append(f"{velkoran} --version: status {shown.returncode}, {shown.stdout!r}, "
                        f"expected version {expected_version}")
    helped = run([image_tool, "--help"])
    if helped.returncode != 0 or not helped.stdout.startswith("Usage:"):
        failures.append(f"{image_tool} --help: status {helped.returncode}, {helped.stdout[:80]!r}")


def check_manual(arguments, title, failures, environment=None):
    """man ARGUMENTS renders TITLE's page with its sections and no warning."""
    env = dict(os.environ, MANWIDTH="80", MANPAGER="cat", PAGER="cat", LC_ALL="C.UTF-8",
               **(environment or {}))
    shown = run(["man", "--warnings"] + arguments, env=env)
    if shown.returncode != 0 or shown.stderr or not shown.stdout.startswith(title) \
            or "EXIT STATUS" not in shown.stdout:
        failures.append(f"man {' '.join(arguments)}: status {shown.returncode}, "
                        f"{shown.stderr.strip()!r}, begins {shown.stdout[:40]!r}")


def program_version():
    header = os.path.join(os.path.dirname(__file__), "..", "..", "src", "app", "run.h")
    with open(header, encoding="utf-8") as file:
        return re.search(r'kProgramVersion = "([^"]+)"', file.read()).group(1)


def test_tree(prefix, with_uefi):
    failures = []
    check_files(prefix, SHIPPED + ([EFI] if with_uefi else []), failures)
    if failures:
        return failures
    check_programs(os.path.join(prefix, "sbin/velkoran"), os.path.join(prefix, "bin/velkoran-image"),
                   program_version(), failures)
    manuals = os.path.join(prefix, "share/man")
    check_manual(["-M", manuals, "8", "velkoran"], "VELKORAN(8)", failures)
    check_manual(["-M", manuals, "1", "velkoran-image"], "VELKORAN-IMAGE(1)", failures)
    return failures


def lintian_errors(package):
    linted = run(["lintian", "--allow-root", package])
    print(linted.stdout, end="")
    errors = [line for line in linted.stdout.splitlines() if line.startswith("E:")]
    if linted.returncode not in (0, 2) or linted.stderr.strip():
        errors.append(f"lintian status {linted.returncode}: {linted.stderr.strip()}")
    return errors


def installed_paths():
    listed = run(["dpkg-query", "-L", "velkoran"])
    return [path for path in listed.stdout.splitlines() if path.startswith("/")]


def test_package(package):
    if os.geteuid() != 0:
        return ["dpkg -i needs root"]
    if run(["dpkg-query", "-W", "-f=${Status}", "velkoran"]).stdout.endswith("installed"):
        # Someone's own installation: not this test's to replace and remove.
        return ["velkoran is already installed here; remove it first (dpkg -r velkoran)"]
    failures = lintian_errors(package)
    version = run(["dpkg-deb", "-f", package, "Version"]).stdout.strip()
    if version != program_version():
        failures.append(f"the package is version {version}, the program {program_version()}")
    brought = []
    installing = run(["dpkg", "-i", package])
    if installing.returncode != 0:
        return failures + [f"dpkg -i: {installing.stdout}{installing.stderr}"]
    try:
        check_files("/usr", SHIPPED + [EFI], failures)
        velkoran, image_tool = shutil.which("velkoran"), shutil.which("velkoran-image")
        if velkoran != "/usr/sbin/velkoran" or image_tool != "/usr/bin/velkoran-image":
            failures.append(f"on the PATH: {velkoran}, {image_tool}")
        else:
            check_programs(velkoran, image_tool, version, failures)
        check_manual(["velkoran"], "VELKORAN(8)", failures)
        check_manual(["velkoran-image"], "VELKORAN-IMAGE(1)", failures)
        brought = [path for path in installed_paths() if os.path.isfile(path)]
    finally:
        removing = run(["dpkg", "-r", "velkoran"])
    if removing.returncode != 0:
        failures.append(f"dpkg -r: {removing.stdout}{removing.stderr}")
    left = [path for path in brought if os.path.exists(path)]
    if left or not brought:
        failures.append(f"after dpkg -r: {len(brought)} files were installed, left: {left}")
    return failures


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "deb":
        failures = test_package(sys.argv[2])
    elif len(sys.argv) >= 3 and sys.argv[1] == "tree":
        failures = test_tree(sys.argv[2], "--uefi" in sys.argv[3:])
    else:
        print(__doc__)
        return 2
    for failure in failures:
        print("FAIL:", failure)
    print("package test:", "failed" if failures else "passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
