#!/usr/bin/env bash
# Prepares a Debian machine for vakra and installs the package into .venv in
# editable mode. Safe to run again: each step is skipped when already done.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

extras=${VAKRA_EXTRAS:-test}
apt_packages=(g++ pkg-config liblz4-dev libxxhash-dev libgtest-dev clang libclang-rt-14-dev)

missing=()
for package in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  if [ "$(id -u)" = 0 ]; then
    echo "bootstrap: installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "bootstrap: missing Debian packages; run: sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
fi

python=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  "$python" -c 'import sys; sys.exit(sys.version_info < (3, 11))' || { echo "bootstrap: Python >= 3.11 required" >&2; exit 1; }
  "$python" -m venv .venv
fi
venv_python=$root/.venv/bin/python

# Reinstall only when the build inputs or the requested extras changed; the
# build directory persists, so a rebuild is incremental.
stamp=.venv/.vakra-install-stamp
fingerprint=$( { echo "$extras"; find pyproject.toml CMakeLists.txt codec/CMakeLists.txt codec/include codec/src ext \
  -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.txt' -o -name '*.toml' \) -print0 | sort -z | xargs -0 sha1sum; } | sha1sum)
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$fingerprint" ]; then
  "$venv_python" -m pip install -q --upgrade pip
  "$venv_python" -m pip install -q "scikit-build-core>=0.10" cmake ninja
  "$venv_python" -m pip install -q --no-build-isolation -e ".[$extras]"
  echo "$fingerprint" > "$stamp"
fi
