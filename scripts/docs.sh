#!/usr/bin/env bash
# make docs: the site in build/docs/html, built with warnings as errors and
# every cross-reference checked, then every example in it (the API
# reference's docstring examples included) run by Sphinx's doctest builder.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
# The reference imports vakra.torch, vakra.dask and vakra.ray, and its examples use them.
VAKRA_EXTRAS=${VAKRA_EXTRAS:-test,docs} "$root/scripts/bootstrap.sh"
sphinx=("$root/.venv/bin/python" -m sphinx -W --keep-going -n -q -d build/docs/doctrees)
echo "docs: building the site into build/docs/html"
"${sphinx[@]}" -b html docs build/docs/html
echo "docs: running the examples of the site and of every docstring in it"
"${sphinx[@]}" -b doctest docs build/docs/doctest
