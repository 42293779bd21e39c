#!/usr/bin/env python3
"""The manual page renders without warnings, --help and --version end with
status 0, and every long option --help lists is an item of the manual page's
option list and a row of an option table in the user documentation (README.md
and doc/*.md).

Usage: options_documented_test.py PROGRAM MANUAL_PAGE MARKDOWN_FILE...
"""
import re
import subprocess
import sys


def run(command):
    return subprocess.run(command, capture_output=True, text=True, timeout=60)


def listed_options(help_text):
    return re.findall(r"^  (--[a-z][a-z-]*)", help_text, re.MULTILINE)


def manual_items(page):
    """Options that head an item (.TP/.TQ followed by the option's line)."""
    items = set()
    lines = page.splitlines()
    for before, line in zip(lines, lines[1:]):
        if before.split(" ")[0] in (".TP", ".TQ"):
            plain = re.sub(r"\\f[BIRP]", "", line).replace("\\-", "-")
            items.update(re.findall(r"--[a-z][a-z-]*", plain))
    return items


def readme_rows(readme):
    return set(re.findall(r"^\| `(--[a-z][a-z-]*)", readme, re.MULTILINE))


def main():
    if len(sys.argv) < 4:
        print(__doc__)
        return 2
    program, manual_path = sys.argv[1:3]
    markdown_paths = sys.argv[3:]
    failures = []

    render = run(["groff", "-man", "-ww", "-z", manual_path])
    if render.returncode != 0 or render.stderr:
        failures.append(f"groff -man -ww -z: status {render.returncode}\n{render.stderr}")

    shown = run([program, "--help"])
    if shown.returncode != 0:
        failures.append(f"--help ended with status {shown.returncode}")
    options = listed_options(shown.stdout)
    if len(options) < 2 or "--help" not in options or "--version" not in options:
        failures.append(f"--help lists no usable option block: {options}")

    version = run([program, "--version"])
    if version.returncode != 0 or not re.fullmatch(r"\S+ 2\.08 \(build [A-Za-z0-9._+-]+\)\n",
                                                   version.stdout):
        failures.append(f"--version: status {version.returncode}, text {version.stdout!r}")

    with open(manual_path, encoding="utf-8") as page:
        in_manual = manual_items(page.read())
    in_readme = set()
    for path in markdown_paths:
        with open(path, encoding="utf-8") as markdown:
            in_readme |= readme_rows(markdown.read())
    for option in options:
        if option not in in_manual:
            failures.append(f"{option} is listed by --help but is no item of the manual page")
        if option not in in_readme:
            failures.append(f"{option} is listed by --help but has no row in the documentation's option table")

    for failure in failures:
        print("FAIL:", failure)
    print(f"{len(options)} options checked, {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
