#!/usr/bin/env bash
# make sdist: the source distribution in dist/, checked to hold what a build
# needs and nothing a build or a benchmark produced.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
source scripts/lib/wheel_tools.sh
fail() { echo "make sdist: $*" >&2; exit 1; }

work=$root/build/sdist
rm -rf "$work"
mkdir -p "$work"
python -m build --sdist --outdir "$work/out" . > "$work/build.log" 2>&1 || { cat "$work/build.log" >&2; fail "the build failed"; }
sdist=$(echo "$work"/out/*.tar.gz)
members=$(tar tzf "$sdist" | cut -d/ -f2-)
for needed in pyproject.toml CMakeLists.txt README.md CHANGELOG.md codec/CMakeLists.txt codec/cmake/version.cmake \
              ext/CMakeLists.txt python/vakra/__init__.py; do
  grep -qxF "$needed" <<< "$members" || fail "${sdist##*/} lacks $needed"
done
unwanted=$(grep -E '(^|/)(build|dist|\.venv|__pycache__|results)/|\.(whl|so|a|o|pyc|png|svg|jpg)$' <<< "$members" || true)
[ -z "$unwanted" ] || fail "${sdist##*/} holds build products or results: $unwanted"

mkdir -p dist
rm -f dist/*.tar.gz
cp "$sdist" dist/
echo "make sdist: dist/${sdist##*/} ($(stat -c %s "$sdist") bytes, $(wc -l <<< "$members") files)"
