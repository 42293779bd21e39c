#!/usr/bin/env python3
"""Every manual page renders without a warning (groff and man, warnings as
errors), lists every long option its program's --help lists, and
velkoran(8)'s EXIT STATUS gives each outcome class as --help does.

Usage: man_pages_test.py PAGE PROGRAM [PAGE PROGRAM...]
"""
import os
import re
import shlex
import subprocess
import sys

# A --help line that introduces an option: "  --name", "  -o, --name" or
# "  --name VALUE", followed by two blanks or the end of the line.
HELP_OPTION = re.compile(r"^  (?:-\w, )?(--[a-z][a-z-]*)(?: [A-Z0-9][^ ]*)?(?:  |$)", re.MULTILINE)
HELP_CLASS = re.compile(r"^  (\d) (\S+) +(.+)$", re.MULTILINE)
ALTERNATING_MACROS = {".BR", ".BI", ".IR", ".IB", ".RB", ".RI"}


def run(command, **settings):
    return subprocess.run(command, capture_output=True, text=True, timeout=60, **settings)


def render_warnings(page):
    problems = []
    groff = run(["groff", "-man", "-ww", "-z", page])
    if groff.returncode != 0 or groff.stderr:
        problems.append(f"groff -man -ww -z {page}: {groff.returncode} {groff.stderr.strip()}")
    env = dict(os.environ, LC_ALL="C.UTF-8", MANROFFSEQ="", MANWIDTH="80")
    man = run(["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", page], env=env)
    if man.returncode != 0 or man.stderr:
        problems.append(f"man --warnings -l {page}: {man.returncode} {man.stderr.strip()}")
    return problems


def plain_line(line):
    """The text a roff source line shows, roughly: fonts and macros gone."""
    line = line.replace("\\-", "-").replace("\\e", "\\").replace("\\(em", "-")
    line = re.sub(r"\\f[BIRP]|\\c$", "", line)
    if not line.startswith("."):
        return line
    words = shlex.split(line)
    if words and words[0] in ALTERNATING_MACROS:
        return "".join(words[1:])
    if words and words[0] in (".B", ".I"):
        return " ".join(words[1:])
    return ""


def section_text(page_text, title):
    lines = page_text.splitlines()
    start = lines.index(f".SH {title}") + 1
    end = next((i for i in range(start, len(lines)) if lines[i].startswith(".SH ")), len(lines))
    return " ".join(" ".join(plain_line(line) for line in lines[start:end]).split())


def option_items(page_text):
    """Long options that head an item (.TP or .TQ, then the option's line)."""
    lines = page_text.splitlines()
    items = set()
    for before, line in zip(lines, lines[1:]):
        if before.split(" ")[0] in (".TP", ".TQ"):
            items.update(re.findall(r"--[a-z][a-z-]*", plain_line(line)))
    return items


def exit_status_problems(page_text, help_text):
    classes = HELP_CLASS.findall(help_text.split("OUTCOME CLASSES", 1)[-1])
    if len(classes) < 2:
        return [f"--help lists no outcome classes: {classes}"]
    documented = section_text(page_text, "EXIT STATUS")
    problems = []
    for number, name, description in classes:
        if f"{number} {name}: {description}" not in documented:
            problems.append(f"EXIT STATUS lacks '{number} {name}: {description}'")
    listed = set(re.findall(r"(?<![\w.])(\d) [a-z][a-z-]*:", documented))
    if listed != {number for number, _, _ in classes}:
        problems.append(f"EXIT STATUS gives classes {sorted(listed)}, --help {len(classes)}")
    return problems


def page_problems(page, program):
    problems = render_warnings(page)
    shown = run([program, "--help"])
    if shown.returncode != 0:
        return problems + [f"{program} --help ended with status {shown.returncode}"]
    options = HELP_OPTION.findall(shown.stdout)
    with open(page, encoding="utf-8") as file:
        text = file.read()
    items = option_items(text)
    if len(options) < 2:
        problems.append(f"{program} --help lists no usable options: {options}")
    for option in options:
        if option not in items:
            problems.append(f"{option} of {os.path.basename(program)} --help is no item of {page}")
    if "OUTCOME CLASSES" in shown.stdout:
        problems += exit_status_problems(text, shown.stdout)
    return problems


def main():
    pairs = list(zip(sys.argv[1::2], sys.argv[2::2]))
    if not pairs or len(sys.argv) % 2 == 0:
        print(__doc__)
        return 2
    failures = [problem for page, program in pairs for problem in page_problems(page, program)]
    for failure in failures:
        print("FAIL:", failure)
    print(f"{len(pairs)} manual pages checked, {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
