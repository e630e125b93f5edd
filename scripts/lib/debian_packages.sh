# Sourced by the setup scripts. ensure_debian_packages NAME...: installs the
# Debian packages that are missing (as root), or says how and fails.
# Build needs: a C++20 compiler, pkg-config and the codec's two libraries
# (their -dev packages also hold the static archives the portable wheel links).
VAKRA_BUILD_PACKAGES=(g++ pkg-config liblz4-dev libxxhash-dev)
# The C++ tests, the sanitized build and the fuzz smoke.
VAKRA_TEST_PACKAGES=(libgtest-dev clang libclang-rt-14-dev)
# The browser that tests/test_docs_site.py opens the built documentation in, and
# Python's and SciPy's own documentation, whose object inventories link the site to them offline.
VAKRA_DOCS_PACKAGES=(chromium python3-doc python-scipy-doc)

ensure_debian_packages() {
  local package missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  ((${#missing[@]})) || return 0
  if [ "$(id -u)" = 0 ]; then
    echo "setup: installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "setup: missing Debian packages; run: sudo apt-get install -y ${missing[*]}" >&2
    return 1
  fi
}
