"""vakra: a compact binary wire format for NumPy arrays, SciPy sparse
matrices, string tensors and quantized tensors.

    >>> import numpy as np, vakra
    >>> packet = vakra.dumps({"weights": np.ones((2, 3), np.float32)})
    >>> vakra.loads(packet)["weights"].shape
    (2, 3)

``dumps``/``loads`` work on bytes, ``dump``/``load`` on paths and binary
files, one packet per call (files memory-mapped when reading), ``iter_load``
gives every packet of a file or stream, ``send``/``recv`` work on sockets and
a ``Receiver`` keeps a socket's (or stream's) bytes between packets
(``vakra.aio`` does the same for asyncio streams), ``dump_into`` writes into
a caller's buffer, ``info`` describes a packet (or a file's first) without
decoding it and ``packet_length`` measures one;
``dumps_frames``/``loads_frames`` carry a packet as a list of buffers.
``save`` writes any number of named values to a model file, ``open`` reads
one lazily (a ``File``, decoding each entry when asked) and ``load_file``
reads it whole. ``convert`` turns .npy, .npz, safetensors and torch.save files
into vakra files and back.
Uncompressed arrays are decoded as read-only views of the packet's memory.
``set_num_threads``/``get_num_threads`` bound the threads one large body
may use (``VAKRA_NUM_THREADS`` sets the count at import; 1 means none).
"""

from importlib.metadata import version as _distribution_version

from . import vakra_rs  # noqa: F401  (reached as vakra.vakra_rs, not exported)
from ._convert.converter import convert
from ._io.frames import dumps_frames, loads_frames
from ._io.packets import dump, dump_into, dumps, loads
from ._io.receiver import Receiver
from ._io.streams import info, iter_load, load, packet_length, recv, send
from ._model.model_file import File, load_file, open
from ._model.model_save import save
from ._native import get_num_threads, set_num_threads
from .quantize import QuantizedTensor
from .ragged import StringTensor

__version__ = _distribution_version("vakra")

__all__ = ["dumps", "loads", "dump", "load", "iter_load", "dump_into", "info", "packet_length", "send", "recv",
           "Receiver", "dumps_frames", "loads_frames", "StringTensor", "QuantizedTensor", "set_num_threads",
           "get_num_threads", "save", "File", "load_file", "convert"]
# vakra.open stays out of __all__: `from vakra import *` must not replace the builtin open.


def __getattr__(name: str):
    # vakra.aio imports asyncio, which programs without an event loop need not pay for.
    if name == "aio":
        import importlib

        return importlib.import_module(".aio", __name__)
    raise AttributeError(f"module 'vakra' has no attribute {name!r}")
