#!/usr/bin/env python3
"""Writes the hand-made seed inputs of the fuzz targets into corpus/requests and corpus/far_side.

The targets read their inputs with libFuzzer's FuzzedDataProvider: integers from the end of the
input (the first byte taken is the most significant, as many bytes as the range needs, none for a
range of one value), byte runs from the front. Seed mirrors that, so each seed below reads as the
sequence of steps the target plays. Keep the step and choice numbers in step with the targets.
Reproducers of faults found are kept beside these under their own names; this script leaves them.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
SECOND = 10_000_000
ARENA = 16384


class Seed:
    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()  # in the order the provider takes them

    def int(self, value, lo, hi):
        span, count = hi - lo, 0
        while count < 8 and (span >> (8 * count)) > 0:
            count += 1
        value -= lo
        assert 0 <= value <= span
        for i in reversed(range(count)):
            self.back.append((value >> (8 * i)) & 0xFF)

    def raw(self, data):
        self.front += data

    def bytes(self):
        return bytes(self.front) + bytes(reversed(self.back))


def le32(*values):
    return b"".join(struct.pack("<I", v & 0xFFFFFFFF) for v in values)


def report(display_id, modes=1):
    return le32(display_id, modes, 0) + le32(640, 480) * modes + bytes(512)


# ---- fuzz_requests: steps 0 open, 1 adapter control, 2 child control, 3 read, 4 write, 5 close,
# 6 attach a child, 7 settle, 8 remove a child, 9 open a child.
ADAPTER_CODES = [0x222194, 0x2221A4, 0x2224B4, 0x22260C, 0x222610, 0x222A80, 0x222A84, 0x222A88,
                 0x222A8C, 0x222A90, 0x222A94, 0x222A98, 0x222A9C, 0x222AA0, 0x222AA7, 0x222AA8,
                 0x222AAC, 0x222AB0, 0x222AB8, 0x222144, 0x22214C, 0x2221A0, 0x222808]
CHILD_CODES = [0x222B00, 0x222B04, 0x222B08, 0x222B0F, 0x222B10, 0x222B14]


class Requests(Seed):
    def __init__(self):
        super().__init__()
        self.handles = 0

    def step(self, number):
        self.int(number, 0, 9)

    def open(self, pick):  # 0 "", 1-11 \DISP00-\DISP10, 12-15 \DMASET0-3
        self.step(0)
        self.int(pick, 0, 16)
        self.handles += 1

    def handle(self, index):
        self.int(index, 0, self.handles - 1)

    def code(self, code, known):
        self.int(0, 0, 7)
        self.int(known.index(code), 0, len(known) - 1)

    def span(self, offset=None, data=b"", length=None, past=None):
        if offset is None and past is None:  # null, no length
            self.int(0, 0, 3)  # the provider takes the any-length choice before the pick
            self.int(0, 0, 3)
            self.int(0, 0, 0xFFFFFFFF)
            return
        if past is not None:  # `past` bytes before the end, reaching 100 bytes beyond it
            self.int(2, 0, 3)
            self.int(past, 0, 256)
            self.int(100, 1, 8192)
            self.raw(data.ljust(past, b"\0")[:past])
            return
        length = len(data) if length is None else length
        self.int(1, 0, 3)
        self.int(offset, 0, ARENA)
        self.int(length, 0, ARENA - offset)
        self.raw(data.ljust(length, b"\0")[:length])

    def adapter(self, index, code, inp, out):
        self.step(1)
        self.handle(index)
        self.code(code, ADAPTER_CODES)
        inp()
        out()

    def child(self, children, index, code, inp, out):
        self.step(2)
        self.int(index, 0, children - 1)
        self.code(code, CHILD_CODES)
        inp()
        out()

    def attach(self, display_id, modes, tail):
        self.step(6)
        self.int(display_id, 0, 12)
        self.int(modes, 0, 4)
        self.int(len(tail), 0, 8 * modes + 600)
        self.raw(tail)


def requests_seeds():
    seeds = {}
    s = Requests()  # a control handle asks whether a display is connected, and more
    s.open(0)
    s.adapter(0, 0x222194, lambda: s.span(), lambda: s.span(0, length=4))
    s.adapter(0, 0x2221A4, lambda: s.span(), lambda: s.span(0, length=16))
    s.adapter(0, 0x222A90, lambda: s.span(), lambda: s.span(0, length=4))
    s.adapter(0, 0x222AA7, lambda: s.span(), lambda: s.span())
    seeds["control-handle-queries"] = s

    s = Requests()  # a display handle: link mode 1, a display attached and detached by code
    s.open(4)
    s.adapter(0, 0x222A84, lambda: s.span(0, le32(1)), lambda: s.span())
    s.adapter(0, 0x222A88, lambda: s.span(0, report(3)), lambda: s.span())
    s.adapter(0, 0x222A94, lambda: s.span(), lambda: s.span(0, length=4))
    s.adapter(0, 0x222A8C, lambda: s.span(0, le32(255)), lambda: s.span())
    s.adapter(0, 0x222A84, lambda: s.span(0, le32(0)), lambda: s.span())
    seeds["link-mode-attach-detach"] = s

    s = Requests()  # a child: its description, a mode, a present, a stop
    s.attach(2, 1, le32(800, 600) + bytes(512))
    s.child(1, 0, 0x222B00, lambda: s.span(), lambda: s.span(0, length=4))
    s.child(1, 0, 0x222B04, lambda: s.span(), lambda: s.span(0, length=1100))
    s.child(1, 0, 0x222B08, lambda: s.span(0, struct.pack("<4H", 64, 32, 32, 0).ljust(32, b"\0")),
            lambda: s.span())
    descriptor = le32(0, 0, 16, 16, 0, 256, 8192) + bytes([32, 0, 0, 0])
    s.child(1, 0, 0x222B0F, lambda: s.span(0, descriptor),
            lambda: s.span(4096, bytes(range(256)) * 32))
    s.step(7)
    s.int(SECOND, 0, 2 * SECOND)
    s.child(1, 0, 0x222B10, lambda: s.span(0, le32(0)), lambda: s.span())
    seeds["child-mode-present-stop"] = s

    s = Requests()  # a transfer set: a write and a read on data channel 2
    s.open(13)
    s.step(4)
    s.handle(0)
    s.span(0, bytes(range(256)) * 2)
    s.step(3)
    s.handle(0)
    s.int(256, 0, 4096)
    s.raw(bytes(256))
    s.span(0, length=256)
    s.step(5)
    s.handle(0)
    seeds["transfer-set-write-read"] = s

    s = Requests()  # buffers past the end of user memory, and a present through one
    s.open(1)
    s.adapter(0, 0x222A9C, lambda: s.span(past=4), lambda: s.span(past=4))
    s.attach(5, 0, bytes(512))
    s.child(1, 0, 0x222B0F, lambda: s.span(past=16), lambda: s.span(past=8))
    s.step(8)
    s.int(5, 0, 260)
    seeds["buffers-past-the-end"] = s
    return seeds


# ---- fuzz_far_side: steps 0 block, 1 report, 2 raw message, 3 announcement, 4 silence; every
# step is followed by a settle.
class FarSide(Seed):
    def settle(self, hundred_ns):
        self.int(hundred_ns, 0, 12 * SECOND)

    def block(self, command, value, size_shape=0, size=None):
        self.int(0, 0, 4)
        self.int(size_shape, 0, 7)
        if size_shape == 6:
            self.int(size, 0, 1023)
        if size_shape == 7:
            self.int(size, 1025, 3072)
        self.int(1, 0, 7)  # the right magic
        self.int(0, 0, 0xFFFF)  # the any-command choice, taken before the pick
        self.int({16: 0, 17: 2}[command], 0, 3)
        self.int(1, 0, 3)
        self.int(value, 0, 2048)

    def report(self, display_id, modes, tail):
        self.int(display_id, 0, 300)
        self.int(1, 0, 7)
        self.int(modes, 0, 8)
        self.int(len(tail), 0, 8 * 8 + 600)
        self.raw(tail)

    def send_report(self, display_id, modes, tail):
        self.int(1, 0, 4)
        self.report(display_id, modes, tail)


def far_side_seeds():
    seeds = {}
    tail = le32(1024, 768) + bytes(512)
    s = FarSide()  # a display announced, then withdrawn
    s.block(16, 12 + len(tail))
    s.settle(SECOND // 10)
    s.send_report(7, 1, tail)
    s.settle(SECOND)
    s.block(17, 7)
    s.settle(SECOND)
    seeds["announce-and-withdraw"] = s

    s = FarSide()  # a report cut short, then late past the receive's limit
    s.block(16, 600)
    s.settle(SECOND // 10)
    s.send_report(4, 1, tail[:100])
    s.settle(11 * SECOND)
    seeds["report-short-and-late"] = s

    s = FarSide()  # half a block, a long block, raw bytes
    s.block(16, 100, 6, 512)
    s.settle(SECOND)
    s.block(16, 100, 7, 2000)
    s.settle(SECOND)
    s.int(2, 0, 4)
    s.int(5, 0, 2048)
    s.raw(b"KXgt\x10")
    s.settle(SECOND)
    seeds["odd-sized-blocks"] = s

    s = FarSide()  # the far side's own announcements of two displays, one withdrawn
    for display_id in (1, 2):
        s.int(3, 0, 4)
        s.int(1, 0, 1)
        s.report(display_id, 1, tail)
        s.settle(SECOND)
    s.int(3, 0, 4)
    s.int(0, 0, 1)
    s.int(1, 0, 300)
    s.settle(SECOND)
    seeds["two-displays-one-withdrawn"] = s
    return seeds


def write(folder, seeds):
    path = os.path.join(HERE, "corpus", folder)
    os.makedirs(path, exist_ok=True)
    for name, seed in seeds.items():
        with open(os.path.join(path, name), "wb") as f:
            f.write(seed.bytes())


if __name__ == "__main__":
    write("requests", requests_seeds())
    write("far_side", far_side_seeds())
