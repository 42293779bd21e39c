#!/usr/bin/env python3
"""The shipped program carries no test hook: none of the test host's symbols
(fault injection, virtual clock, port bus, files in memory) and none of the
simulated BMC's. The test build must show them, so that the patterns stay
alive as names change.

Usage: test_hooks_test.py SHIPPED_PROGRAM TEST_PROGRAM
"""
import re
import subprocess
import sys

# Demangled names of the test host and of the simulator.
FORBIDDEN = {
    "test host": re.compile(r"\bhostplatform::"),
    "fault injection": re.compile(r"FaultInjecting|\bFaults\b"),
    "simulator": re.compile(r"\bsim::"),
}


def symbols(program):
    result = subprocess.run(["nm", "-C", program], capture_output=True, text=True, check=True)
    return result.stdout.splitlines()


def matches(lines, pattern):
    return [line for line in lines if pattern.search(line)]


def main():
    shipped, test_build = sys.argv[1], sys.argv[2]
    shipped_symbols = symbols(shipped)
    test_symbols = symbols(test_build)
    failures = 0
    for what, pattern in FORBIDDEN.items():
        found = matches(shipped_symbols, pattern)
        if found:
            failures += 1
            print(f"{shipped} carries {what} symbols:\n  " + "\n  ".join(found[:10]))
        if not matches(test_symbols, pattern):
            failures += 1
            print(f"{test_build} shows no {what} symbol: the pattern {pattern.pattern} is stale")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
