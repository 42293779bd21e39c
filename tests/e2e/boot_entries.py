"""Boot entries for end-to-end runs without the shell: EFI_LOAD_OPTION bytes
and a startup.nsh that writes them (and BootOrder) with the shell's setvar on
the machine's first start, then restarts into them."""

from __future__ import annotations

import struct


def load_option(program: str, description: str, optional: bytes) -> bytes:
    """An active EFI_LOAD_OPTION whose device path is the file alone."""
    path = (program + "\0").encode("utf-16-le")
    device_path = (bytes([4, 4]) + struct.pack("<H", 4 + len(path)) + path
                   + bytes([0x7F, 0xFF, 4, 0]))
    return (struct.pack("<IH", 1, len(device_path)) + (description + "\0").encode("utf-16-le")
            + device_path + optional)


def options_text(command: str, terminated: bool = True) -> bytes:
    """Load options as efibootmgr --unicode writes them (UCS-2)."""
    return (command + ("\0" if terminated else "")).encode("utf-16-le")


def setup_script(entries: dict[int, bytes], order: list[int], marker: str,
                 then: str = "reset") -> bytes:
    """Writes the entries and BootOrder once, then restarts (or runs `then`,
    e.g. "reset -s" to power off); a later start
    that reaches the shell again (a broken chain) powers off instead of
    looping. The marker file on fs0: tells the two apart."""
    lines = ["@echo -off", "fs0:",
             f"if exist {marker} then", "  echo VKSETUP-AGAIN", "  reset -s", "endif",
             f"echo done > {marker}", "echo VKSETUP"]
    for number, option in entries.items():
        lines.append(f"setvar Boot{number:04X} -bs -rt -nv ={option.hex()}")
    order_bytes = b"".join(struct.pack("<H", number) for number in order)
    lines += [f"setvar BootOrder -bs -rt -nv ={order_bytes.hex()}", then]
    return ("\r\n".join(lines) + "\r\n").encode("ascii")
