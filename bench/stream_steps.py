"""Streamed reads of packets that arrive in many small steps: the readers
(load on a BytesIO or a pipe, recv, a Receiver) measure the packet as bytes arrive and
may read no further than it, so they take one step per field the walker
needs. The cost must grow linearly with the packet: a compressed packet of
K one-byte LZ4 blocks (one step per block) and a bundle of B bundles of B
small arrays (one step per entry), each at two sizes, with the time per
KiB of packet for both.

    .venv/bin/python bench/stream_steps.py

Run it with each build's interpreter to compare two versions of vakra; the
numbers are only comparable within one machine state.
"""

from __future__ import annotations

import io
import os
import socket
import struct
import threading
import time

import numpy as np

import vakra


def one_byte_blocks(k: int) -> bytes:
    frame = struct.pack("<I", 0x184D2204) + bytes([0x60, 0x40, 0x82])  # FLG, BD (64 KiB blocks), header checksum
    frame += (struct.pack("<I", 0x80000001) + b"\x07") * k + bytes(4)  # k stored blocks of one byte, end mark
    return b"VKRA\x04\x04\x00\x05\x01\x00" + struct.pack("<I", k) + frame  # compressed uint8 [k]


def bundle_of_bundles(b: int) -> bytes:
    inner = {f"k{j}": np.arange(4, dtype=np.int32) for j in range(b)}
    return vakra.dumps({f"e{i}": inner for i in range(b)})


def through_pipe(packet: bytes):
    read, write = os.pipe()

    def feed() -> None:
        for start in range(0, len(packet), 1 << 16):
            os.write(write, packet[start:start + (1 << 16)])
        os.close(write)

    threading.Thread(target=feed, daemon=True).start()
    with os.fdopen(read, "rb") as stream:
        return vakra.load(stream)


def through_socket(packet: bytes):
    sender, receiver = socket.socketpair()
    with sender, receiver:
        threading.Thread(target=sender.sendall, args=(packet,), daemon=True).start()
        return vakra.recv(receiver)


def through_receiver(packet: bytes):
    sender, receiver = socket.socketpair()
    with sender, receiver:
        threading.Thread(target=sender.sendall, args=(packet,), daemon=True).start()
        return vakra.Receiver(receiver).recv()


READERS = {
    "load(BytesIO)": lambda packet: vakra.load(io.BytesIO(packet)),
    "load(pipe)": through_pipe,
    "recv(socketpair)": through_socket,
    "Receiver(socketpair)": through_receiver,
}


def best_seconds(read, packet: bytes, rounds: int = 3) -> float:
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        read(packet)
        best = min(best, time.perf_counter() - start)
    return best


def main() -> None:
    print("| packet | reader | small | large | µs per KiB, small / large |\n|---|---|---|---|---|")
    for label, make, sizes in [("K one-byte LZ4 blocks", one_byte_blocks, (16_000, 64_000)),
                               ("B x B bundle", bundle_of_bundles, (64, 255))]:
        small, large = make(sizes[0]), make(sizes[1])
        for name, read in READERS.items():
            times = [best_seconds(read, packet) for packet in (small, large)]
            per_kib = [t * 1e6 / (len(p) / 1024) for t, p in zip(times, (small, large))]
            print(f"| {label} ({sizes[0]:,} / {sizes[1]:,}) | {name} | {times[0] * 1e3:.1f} ms | {times[1] * 1e3:.1f} ms "
                  f"| {per_kib[0]:.1f} / {per_kib[1]:.1f} |", flush=True)


if __name__ == "__main__":
    main()
