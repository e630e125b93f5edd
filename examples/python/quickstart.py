"""Arrays and dicts of arrays to bytes and files, and back.

    python examples/python/quickstart.py      (writes quickstart.vkr in the current directory)
"""

import numpy as np

import vakra

batch = {"x": np.random.default_rng(0).standard_normal((4, 3), dtype=np.float32), "labels": ["cat", "dog"]}

packet = vakra.dumps(batch, check_integrity=True)  # one packet: bytes
back = vakra.loads(packet)  # arrays are read-only views of `packet`
assert np.array_equal(back["x"], batch["x"]) and back["labels"].tolist() == ["cat", "dog"]

vakra.dump(batch, "quickstart.vkr", compress=True)  # replaced atomically
print(vakra.info("quickstart.vkr")["entries"]["x"]["shape"])  # from the headers: (4, 3)
print(vakra.load("quickstart.vkr")["x"].sum())  # mapped or read, then decoded
