#!/usr/bin/env python3
"""Writes the hand-made seeds of the line_split and transport_core fuzzers.

Both fuzzers decode their input with libFuzzer's FuzzedDataProvider: numbers
are taken from the end of the input (the first number from the last bytes,
most significant byte first), byte strings from the front. Seed lists the
values in the order the fuzzer takes them and lays out the bytes.
"""
import os
import sys


class Seed:
    def __init__(self):
        self.front = bytearray()
        self.back = []  # bytes in the order they are taken from the end

    def number(self, low, high, value):
        """A value for ConsumeIntegralInRange(low, high)."""
        assert low <= value <= high
        span, offset, count = high - low, 0, 0
        while offset < 64 and (span >> offset) > 0:
            offset += 8
            count += 1
        digits = (value - low).to_bytes(count, "big") if count else b""
        self.back.extend(digits)  # most significant taken first
        return self

    def text(self, data):
        """Bytes for ConsumeBytes / ConsumeBytesAsString."""
        self.front += data
        return self

    def data(self):
        return bytes(self.front) + bytes(reversed(self.back))


# --- line_split: reads made of pieces.
LITERAL, RUN, COMMAND, LINE_END, NUL = 0, 2, 3, 4, 5
ENDS = {b"\r": 0, b"\n": 1, b"\r\n": 2, b"\n\r": 3}


def reads(*script):
    """Each read is a list of pieces: bytes (literal), ("run", byte, n),
    "exit", ("end", b"\\r\\n") or "nul"."""
    s = Seed()
    for pieces in script:
        s.number(0, 4, len(pieces))
        for piece in pieces:
            if isinstance(piece, bytes):
                s.number(0, 5, LITERAL).number(1, 64, len(piece)).text(piece)
            elif piece == "exit":
                s.number(0, 5, COMMAND)
            elif piece == "nul":
                s.number(0, 5, NUL)
            elif piece[0] == "run":
                s.number(0, 5, RUN).number(-128, 127, piece[1]).number(1, 1024, piece[2])
            else:
                s.number(0, 5, LINE_END).number(0, 3, ENDS[piece[1]])
    return s.data()


LINE_SPLIT = {
    "exit_after_log": reads([b"log line", ("end", b"\r\n")], ["exit", ("end", b"\r\n")],
                            [b"never read\n"]),
    "long_line_then_split_exit": reads([("run", ord("A"), 1024)], [("run", ord("B"), 5), ("end", b"\n")],
                                       [b"$EX"], [b"IT$", ("end", b"\n")]),
    "exit_nul_tail": reads(["exit", "nul", b"tail", ("end", b"\n")]),
    "empty_reads_then_exit": reads([], [], ["exit", ("end", b"\r")]),
    "line_of_1023": reads([("run", ord("x"), 1023), ("end", b"\n\r")], [b" $EXIT$\n"]),
}

# --- transport_core: a machine, then calls.
INIT, SELECT, CLOSE, READ, WRITE, RESET, ERASE, STATUS, CHANGE = range(9)
COMMAND_KIND, DATA_KIND, KEYBOARD_KIND = 5, 2, 0


def machine(s, devices, shuffle=None, device_info=0):
    s.number(0, 255, 0)  # overlapped I/O pending, not at once
    s.number(0, 31, 1).number(0, 5, len(devices))
    for d in devices:
        s.number(0, 7, 1)  # sample identifiers
        s.number(1, 4, len(d["kinds"]))
        for kind in d["kinds"]:
            s.number(0, 7, kind)
        if d.get("thermometer", True):
            s.number(0, 3, 1).number(0, 2, 0)
            for byte in (0, 0, 0, 1):
                s.number(0, 255, byte)
        else:
            s.number(0, 3, 0)
        s.number(0, 9, 0 if d.get("silent") else 1)
        s.number(0, 11, d.get("io_fault", 4))
        s.number(0, 7, 2)  # always present
        for _ in d["kinds"]:
            s.number(0, 7, 3).number(0, 7, 3).number(0, 5, 1)  # 65-byte reports, no faults
    if shuffle is None:
        s.number(0, 3, 1)
    else:
        s.number(0, 3, 0)
        for i, pick in shuffle:
            s.number(0, i - 1, pick)
    s.number(0, 7, 1).number(0, 5, device_info)
    s.number(0, 3, 1)  # no port faults


def select(s, number_pick=2, timeout_pick=3):
    s.number(0, 9, SELECT).number(0, 5, timeout_pick).number(0, 5, number_pick)


def transfer(s, op):
    s.number(0, 9, op)
    if op in (READ, WRITE):
        s.number(0, 9, 4)  # 64 bytes


def poll_cycles():
    s = Seed()
    machine(s, [{"kinds": [COMMAND_KIND, DATA_KIND]}])
    s.number(0, 9, INIT)
    select(s)
    for op in (READ, STATUS, RESET, ERASE, WRITE):
        transfer(s, op)
    s.number(0, 9, INIT)
    s.number(0, 9, SELECT).number(0, 5, 0).number(-10, 0, 0)  # blocking
    s.number(0, 5, 2)
    transfer(s, READ)
    s.number(0, 9, CLOSE)
    return s.data()


def two_thermometers_and_unplug():
    s = Seed()
    machine(s, [{"kinds": [KEYBOARD_KIND]}, {"kinds": [DATA_KIND, COMMAND_KIND]},
                {"kinds": [COMMAND_KIND, DATA_KIND, DATA_KIND]}],
            shuffle=[(6, 0), (5, 4), (4, 3), (3, 0), (2, 1)])
    s.number(0, 9, INIT)
    select(s, number_pick=1)  # device 2
    transfer(s, READ)
    s.number(0, 9, CHANGE).number(0, 5, 0).number(0, 2, 2)  # unplug the third device
    transfer(s, READ)
    s.number(0, 9, INIT)
    select(s)
    transfer(s, STATUS)
    return s.data()


def silent_device_times_out():
    s = Seed()
    machine(s, [{"kinds": [COMMAND_KIND, DATA_KIND], "silent": True}])
    s.number(0, 9, INIT)
    select(s)
    transfer(s, READ)
    transfer(s, READ)  # closed by the time-out: fails at once
    select(s)
    transfer(s, STATUS)
    return s.data()


def crowd_beyond_the_table():
    """140 devices, thermometers first and 131st: the latter finds no slot."""
    s = Seed()
    s.number(0, 255, 0)
    s.number(0, 31, 0).number(120, 140, 140)
    for i in range(140):
        s.number(0, 15, 0 if i in (0, 130) else 1)
    s.number(0, 3, 1).number(0, 7, 1).number(0, 5, 0).number(0, 3, 1)
    s.number(0, 9, INIT)
    select(s)
    transfer(s, READ)
    return s.data()


TRANSPORT_CORE = {
    "crowd_beyond_the_table": crowd_beyond_the_table(),
    "poll_cycles": poll_cycles(),
    "two_thermometers_and_unplug": two_thermometers_and_unplug(),
    "silent_device_times_out": silent_device_times_out(),
}


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    for target, seeds in (("line_split", LINE_SPLIT), ("transport_core", TRANSPORT_CORE)):
        os.makedirs(os.path.join(root, target), exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(root, target, name), "wb") as f:
                f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
