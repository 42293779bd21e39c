#!/usr/bin/env python3
# Usage: make_config_seeds.py fuzz/corpus/fuzz_config
# Writes whole-conversation seeds for fuzz_config (FuzzedDataProvider takes
# integers from the end of the input and byte strings from the front).
import os, sys
out = sys.argv[1]

class Seed:
    def __init__(self): self.front = bytearray(); self.back = []
    def integral(self, *bs): self.back.extend(bs)   # in consumption order
    def data(self, bs): self.front += bs
    def bytes(self): return bytes(self.front) + bytes(reversed(self.back))

def reply(seed, kind, tail=b"", state_byte=1, flags=0x29, total=None):
    seed.integral(2, flags)                 # plausible reply, flags
    if (flags & 0x60) == 0x60: seed.integral(state_byte)
    elif kind == "block": seed.integral(state_byte)   # 1: state 2, 0: state 4
    if (flags & 0x60) == 0: seed.integral(0, 0, 0, 0)
    if kind == "start" and (flags & 0x80) == 0:
        seed.integral(total >> 8, total & 0xFF)
    seed.integral(len(tail)); seed.data(tail)

def backup(total, chunks, odd=()):
    s = Seed(); s.integral(0)               # backup
    reply(s, "reset"); reply(s, "open"); reply(s, "start", total=total)
    for i, n in enumerate(chunks):
        if i in odd:
            reply(s, "block", flags=0x69, state_byte=3)       # state 3, no data
        reply(s, "block", bytes((i * 31 + k) & 0xFF for k in range(n)),
              state_byte=0 if i == len(chunks) - 1 else 1)
    return s.bytes()

def restore(length, fail_at=None):
    s = Seed(); s.integral(1, length >> 8, length & 0xFF)
    s.data(bytes((k * 7 + 1) & 0xFF for k in range(length)))
    reply(s, "reset"); reply(s, "open"); reply(s, "start", total=0)
    for i in range((length + 44) // 45):
        if i == fail_at:
            reply(s, "block", flags=0x69, state_byte=5); break
        reply(s, "block", state_byte=1)
    return s.bytes()

seeds = {
    "backup-three-blocks": backup(300, [120, 120, 60]),
    "backup-odd-states": backup(200, [100, 100], odd=(1,)),
    "restore-five-blocks": restore(200),
    "restore-fails-half-way": restore(200, fail_at=2),
}
for name, data in seeds.items():
    open(os.path.join(out, name), "wb").write(data)
