"""``python -m vakra``: the command line of ``vakra._cli.cli``."""

import sys

from ._cli.cli import main

if __name__ == "__main__":
    sys.exit(main())
