#!/usr/bin/env bash
# Prepares a Debian machine for vakra and installs the package into .venv in
# editable mode, with the extras in VAKRA_EXTRAS (default: test and docs,
# everything the test suite and the documentation build need; `make demo` asks
# for sparse alone). Safe to run again: each
# step is skipped when already done, and each step that runs says so first
# (building the extension takes minutes the first time).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
source scripts/lib/debian_packages.sh
source scripts/lib/python_pins.sh

extras=${VAKRA_EXTRAS:-test,docs}
debian_packages=("${VAKRA_BUILD_PACKAGES[@]}")
[[ ",$extras," == *,test,* ]] && debian_packages+=("${VAKRA_TEST_PACKAGES[@]}")
[[ ",$extras," == *,docs,* ]] && debian_packages+=("${VAKRA_DOCS_PACKAGES[@]}")
ensure_debian_packages "${debian_packages[@]}"

python=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  "$python" -c 'import sys; sys.exit(sys.version_info < (3, 11))' || { echo "bootstrap: Python >= 3.11 required" >&2; exit 1; }
  echo "bootstrap: creating .venv"
  "$python" -m venv .venv
fi
venv_python=$root/.venv/bin/python

# Reinstall only when the build inputs changed or an extra is asked for that
# is not installed yet (the extras installed before are kept); the build
# directory persists, so a rebuild is incremental.
stamp=.venv/.vakra-install-stamp
fingerprint=$(find pyproject.toml CMakeLists.txt codec/CMakeLists.txt codec/cmake codec/include codec/src ext \
  -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.txt' -o -name '*.toml' -o -name '*.cmake' \) -print0 |
  sort -z | xargs -0 sha1sum | sha1sum)
installed_extras=$(sed -n 2p "$stamp" 2>/dev/null || true)
wanted_extras=$(tr ', ' '\n\n' <<< "$installed_extras,$extras" | sed '/^$/d' | sort -u | paste -sd, -)
if [ "$(sed -n 1p "$stamp" 2>/dev/null)" != "$fingerprint" ] || [ "$installed_extras" != "$wanted_extras" ]; then
  echo "bootstrap: installing vakra[$wanted_extras] into .venv: downloading what is missing and compiling" \
    "the C++ extension (a few minutes the first time, less after a change)"
  build_tools=("scikit-build-core>=0.10")
  # CMake and Ninja from PyPI unless the machine has them (CMake 3.26 or newer).
  cmake --version 2>/dev/null | "$venv_python" -c 'import re, sys; v = re.search(r"(\d+)\.(\d+)", sys.stdin.read())
sys.exit(not v or tuple(map(int, v.groups())) < (3, 26))' || build_tools+=(cmake)
  command -v ninja >/dev/null || build_tools+=(ninja)
  # Bytecode is compiled when a module is first imported, not for every module installed.
  "$venv_python" -m pip install -qq --no-compile "${build_tools[@]}"
  pins=()
  [[ ",$wanted_extras," == *,test,* ]] && pins+=("$VAKRA_TORCH_PIN")  # never whatever torch is newest
  "$venv_python" -m pip install -qq --no-compile --no-build-isolation -e ".[$wanted_extras]" "${pins[@]}"
  printf '%s\n%s\n' "$fingerprint" "$wanted_extras" > "$stamp"
  echo "bootstrap: .venv is ready"
fi
