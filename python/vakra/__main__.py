"""Command line entry point: ``python -m vakra``."""

import sys

import numpy as np

from . import vakra_rs


def main(argv=None) -> int:
    packet = vakra_rs.dumps_rs(np.arange(6, dtype=np.float32).reshape(2, 3)) if False else None
    header = bytes(b"VKRA\x04\x01\x00\x01\x02\x00" + (2).to_bytes(4, "little") + (3).to_bytes(4, "little"))
    print(vakra_rs.get_packet_info_rs(packet or header))
    return 0


if __name__ == "__main__":
    sys.exit(main())
