"""Packets one after another: several values in a file, and a socket.

    python examples/python/streams.py      (writes steps.vkr in the current directory)
"""

import socket

import numpy as np

import vakra

with open("steps.vkr", "wb") as log:  # successive dumps append packets
    for step in range(3):
        vakra.dump({"step": np.array(step), "loss": np.array(1.0 / (step + 1))}, log)
print([int(record["step"]) for record in vakra.iter_load("steps.vkr")])

left, right = socket.socketpair()
with left, right:
    vakra.send(left, np.arange(6).reshape(2, 3))  # array bodies go out from the array's own memory
    print(vakra.recv(right).tolist())  # exactly one packet's bytes are taken from the socket
