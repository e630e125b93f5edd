"""Any number of named tensors in one model file, read back lazily.

    python examples/python/model_file.py      (writes model.vkr in the current directory)
"""

import numpy as np

import vakra

weights = {f"layers.{i}.weight": np.full((64, 64), i, np.float32) for i in range(300)}  # a dict packet holds 255
weights["embed"] = np.ones((1000, 32), np.float16)
vakra.save(weights, "model.vkr", metadata={"step": "1200"})

with vakra.open("model.vkr") as model:  # reads the file's index, nothing else
    print(len(model), "entries, metadata", model.metadata)
    layer = model["layers.7.weight"]  # decodes this entry alone: a view of the mapped file
    print("layers.7.weight", layer.shape, layer[0, 0])

everything = vakra.load_file("model.vkr")  # the whole file as a dict, in saved order
assert list(everything) == list(weights)
