#!/usr/bin/env python3
# Usage: make_flow_seeds.py fuzz/corpus/fuzz_flows
# Writes seeds for fuzz_flows: whole updates and dumps the way the input
# steers them (FuzzedDataProvider takes integers from the end of the input,
# the most significant byte first, and byte strings from the front).
import os, sys
out = sys.argv[1]

class Seed:
    def __init__(self): self.back = []
    def byte(self, *values): self.back.extend(values)        # in consumption order
    def short(self, value): self.back.extend([value >> 8, value & 0xFF])
    def bytes(self): return bytes(reversed(self.back))

NO_DISK_FAULTS = 0x7F
VOLUME_FULL = 0x73        # the write limit follows as a 16-bit number

def update(reply_choices, disk=NO_DISK_FAULTS):
    s = Seed(); s.byte(0, disk)                 # the update, disk faults
    s.byte(1); s.short(999)                     # one table entry, a 1000-byte image
    s.short(300); s.short(100); s.byte(0x11)    # entry at 300, 100 bytes; pattern seed
    s.byte(1)                                   # keep the configuration
    for choice in reply_choices: s.byte(*choice)
    return s.bytes()

INFO_KIND_2, BLOCK_OK, CHUNK_OK = (6,), (2,), (5,)
TAKE_ALL_CHUNKS = (0, 6000 >> 8, 6000 & 0xFF)   # a streak longer than both regions

def dump(reply_choices, flash=300, disk=NO_DISK_FAULTS, extra=()):
    s = Seed(); s.byte(1, disk, *extra)         # the dump, disk faults
    s.short(flash); s.byte(0x22)                # flash size, pattern seed
    s.byte(1, 1)                                # the true length; no directory
    for choice in reply_choices: s.byte(*choice)
    return s.bytes()

PREPARED, READY, NOT_READY, HONEST_CHUNK = (1,), (4,), (0,), (4,)

seeds = {
    "update-whole": update([INFO_KIND_2, BLOCK_OK, TAKE_ALL_CHUNKS]),
    "update-progress-in-steps": update([INFO_KIND_2, BLOCK_OK, TAKE_ALL_CHUNKS, BLOCK_OK,
                                        (1, 40), (1, 100)]),
    "update-rejected": update([INFO_KIND_2, BLOCK_OK, CHUNK_OK, CHUNK_OK, (2, 1)]),
    "update-another-user": update([(1,)]),
    "dump-whole": dump([PREPARED, READY] + [HONEST_CHUNK] * 6),
    "dump-not-ready-twice": dump([PREPARED, NOT_READY, NOT_READY, READY]),
    "dump-volume-full": dump([PREPARED, READY], disk=VOLUME_FULL, extra=(0, 100)),
}
os.makedirs(out, exist_ok=True)
for name, data in seeds.items():
    open(os.path.join(out, name), "wb").write(data)
