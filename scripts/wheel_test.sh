#!/usr/bin/env bash
# make wheel-test: the wheel in dist/ installed with its test extras into a
# new virtualenv, and the whole Python suite run against it from a copy of
# the tests outside the source tree, so that nothing of the tree is imported.
# Extra arguments go to pytest.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
fail() { echo "wheel test: $*" >&2; exit 1; }
wheels=("$root"/dist/*.whl)
[ ${#wheels[@]} = 1 ] && [ -f "${wheels[0]}" ] || fail "expected one wheel in dist/ (make wheel)"
wheel=${wheels[0]}
# The extension is a few hundred KiB: a large wheel means a constant grew into the binary.
size=$(stat -c %s "$wheel")
[ "$size" -lt $((8 << 20)) ] || fail "${wheel##*/} is $size bytes, over 8 MiB"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"${PYTHON:-python3}" -m venv "$work/venv"
python=$work/venv/bin/python
# pip's cache serves everything but the wheel; torch is the one the suite is run against.
source "$root/scripts/lib/python_pins.sh"
"$python" -m pip install -qq --no-compile "$wheel[test]" "$VAKRA_TORCH_PIN"

mkdir "$work/suite"
cp -r "$root/tests" "$root/README.md" "$root/docs" "$root/pyproject.toml" "$work/suite/"
cd "$work/suite"
"$python" - "$work/venv" <<'PY'
import sys, vakra
assert vakra.__file__.startswith(sys.argv[1]), f"vakra imported from {vakra.__file__}, not from the wheel"
PY
echo "wheel test: ${wheel##*/} installed in a new virtualenv"
"$python" -m pytest -q -p no:cacheprovider tests "$@"
