#!/usr/bin/env bash
# The main job: builds a realistic bundle, writes it, loads it back and compares with peers.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# The demo needs NumPy and SciPy only: no torch, no Dask, no test tools.
VAKRA_EXTRAS=sparse "$root/scripts/bootstrap.sh"
echo "demo: building a bundle, writing it and loading it back; timing each way against pickle and numpy.savez"
exec "$root/.venv/bin/python" -m vakra demo "$@"
