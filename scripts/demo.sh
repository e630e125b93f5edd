#!/usr/bin/env bash
# The main job: builds a realistic bundle, writes it, loads it back and compares with peers.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/bootstrap.sh"
exec "$root/.venv/bin/python" -m vakra demo "$@"
