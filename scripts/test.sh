#!/usr/bin/env bash
# Runs every test: the C++ codec tests (plain and under ASan/UBSan), the
# installed C++ package, a short fuzz smoke where harnesses exist, the
# documentation site and its doctests, the Python suite (which opens the site
# in a browser), and then the same suite against the portable wheel installed
# into a new virtualenv. Fails when any fails or when no test ran.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
"$root/scripts/bootstrap.sh"
export PATH="$root/.venv/bin:$PATH"

native_tests() {  # build dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DVAKRA_BUILD_EXTENSION=OFF -DVAKRA_BUILD_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" --parallel
  ctest --test-dir "$dir" --output-on-failure --no-tests=error
}

echo "== C++ codec tests"
native_tests build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== C++ codec tests under AddressSanitizer + UndefinedBehaviorSanitizer"
native_tests build/sanitize -DCMAKE_BUILD_TYPE=Debug -DVAKRA_SANITIZE=ON

echo "== C++ package: install, find_package and pkg-config builds, files both ways with Python"
"$root/scripts/cpp_package_test.sh"

if [ -f codec/fuzz/CMakeLists.txt ]; then
  echo "== fuzz smoke"
  "$root/scripts/fuzz.sh" "${VAKRA_FUZZ_SMOKE_SECONDS:-10}"
fi

echo "== Documentation: the site with warnings as errors, and every example in it as a doctest"
"$root/scripts/docs.sh"
# The browser test checks this build (and fails when it is missing).
export VAKRA_DOCS_SITE=$root/build/docs/html

echo "== Python tests"
# The tests of a 2.2e9-element tensor (13 GB written, about a minute) run here, not in a plain pytest.
VAKRA_HEAVY_TESTS=1 python -m pytest -q "$@"
unset VAKRA_DOCS_SITE

echo "== The wheel: built, repaired and checked, then the Python suite against it installed"
"$root/scripts/wheel.sh"
"$root/scripts/wheel_test.sh" "$@"
