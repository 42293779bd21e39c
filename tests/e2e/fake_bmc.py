#!/usr/bin/env python3
"""A stand-in BMC for harness tests: listens on a UNIX socket, accepts QEMU's
ipmi-bmc-extern connection and prints every byte it receives, in hex."""

import socket
import sys


def main() -> int:
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(sys.argv[1])
    server.listen(1)
    connection, _ = server.accept()
    print("connected", flush=True)
    while data := connection.recv(4096):
        print(data.hex(), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
