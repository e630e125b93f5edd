"""``python -m vakra``: the command line of :mod:`vakra.cli`."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
