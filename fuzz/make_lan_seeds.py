#!/usr/bin/env python3
"""Seeds for fuzz_lan: whole conversations of a BMC that accepts the session
(with the fuzz target's stand-in crypto: codes all zero, the cipher a copy)
and answers some requests.   python3 make_lan_seeds.py DIRECTORY"""

import pathlib
import struct
import sys

RMCP = bytes([0x06, 0x00, 0xFF, 0x07])
CONSOLE_SID = 0x11111111
BMC_SID = 0x0A0B0C0D


def checksum(data: bytes) -> int:
    return (-sum(data)) & 0xFF


def ipmi_reply(netfn_lun: int, rq_seq: int, command: int, body: bytes) -> bytes:
    head = bytes([0x81, ((netfn_lun >> 2) + 1) << 2])
    rest = bytes([0x20, rq_seq << 2 | (netfn_lun & 3), command]) + body
    return head + bytes([checksum(head)]) + rest + bytes([checksum(rest)])


def v20(payload_type: int, payload: bytes, sid=0, seq=0) -> bytes:
    return RMCP + bytes([0x06, payload_type]) + struct.pack("<IIH", sid, seq, len(payload)) + payload


def session_packet(message: bytes, seq: int, mac_length: int) -> bytes:
    pad = (16 - (len(message) + 1) % 16) % 16
    payload = bytes(16) + message + bytes(range(1, pad + 1)) + bytes([pad])
    packet = v20(0xC0, payload, CONSOLE_SID, seq)
    trailer_pad = (4 - (len(packet) - 4 + 2) % 4) % 4
    return packet + b"\xff" * trailer_pad + bytes([trailer_pad, 0x07]) + bytes(mac_length)


def conversation(suite: int, replies: list) -> bytes:
    auth, integrity, mac, code = (3, 4, 16, 32) if suite == 17 else (1, 1, 12, 20)
    caps = ipmi_reply(0x18, 0, 0x38, bytes([0, 1, 0x80, 0x04, 0x02, 0, 0, 0, 0]))
    datagrams = [RMCP + bytes([0]) + bytes(8) + bytes([len(caps)]) + caps]
    algorithms = bytes([0, 0, 0, 8, auth, 0, 0, 0, 1, 0, 0, 8, integrity, 0, 0, 0,
                        2, 0, 0, 8, 1, 0, 0, 0])
    datagrams.append(v20(0x11, bytes([1, 0, 4, 0]) + struct.pack("<II", CONSOLE_SID, BMC_SID)
                         + algorithms))
    datagrams.append(v20(0x13, bytes([1, 0, 0, 0]) + struct.pack("<I", CONSOLE_SID)
                         + bytes(range(16)) + bytes(16) + bytes(code)))
    datagrams.append(v20(0x15, bytes([1, 0, 0, 0]) + struct.pack("<I", CONSOLE_SID) + bytes(mac)))
    messages = [ipmi_reply(0x18, 1, 0x3B, bytes([0, 4]))] + [
        ipmi_reply(netfn, rq_seq, command, body) for netfn, rq_seq, command, body in replies]
    for seq, message in enumerate(messages, 1):
        datagrams.append(session_packet(message, seq, mac))
    return b"".join(struct.pack("<H", len(d)) + d for d in datagrams)


def main() -> None:
    out = pathlib.Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    device_id = bytes([0, 0x20, 0x01, 0x03, 0x25, 0x02, 0x9F, 0x91, 0x12, 0, 0x02, 0x0F])
    answers = [(0x18, 2, 0x01, device_id), (0xF8, 3, 0x15, bytes([0])),
               (0xF8, 4, 0x17, bytes([0, 100])), (0xF8, 5, 0x20, bytes([0, 0x12]))]
    for suite, pick in ((17, 0), (3, 1)):
        (out / f"suite{suite}-open").write_bytes(bytes([pick]) + conversation(suite, []))
        (out / f"suite{suite}-four-requests").write_bytes(
            bytes([pick | 4 << 2]) + conversation(suite, answers))


if __name__ == "__main__":
    main()
