#!/usr/bin/env bash
# make wheel: the portable abi3 wheel, the only wheel in dist/. It is built
# from the sdist that `make sdist` leaves beside it, with libstdc++ and liblz4
# linked in (VAKRA_STATIC_RUNTIME); auditwheel copies libxxhash into it and
# gives it its manylinux tag, and abi3audit checks it against the stable ABI.
# Then: its modules load nothing but glibc's libraries, libgcc_s and the
# wheel's own, leave no symbol unresolved but the interpreter's, export only
# their PyInit_ function, and the wheel stays under 1 MiB.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
source scripts/lib/debian_packages.sh
ensure_debian_packages "${VAKRA_BUILD_PACKAGES[@]}"
"$root/scripts/sdist.sh"
source scripts/lib/wheel_tools.sh

platform=manylinux_2_34_x86_64
max_bytes=$((1 << 20))
fail() { echo "make wheel: $*" >&2; exit 1; }

work=$root/build/wheel
rm -rf "$work"
mkdir -p "$work/source"
tar xzf dist/*.tar.gz -C "$work/source" --strip-components=1
CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} \
  python -m build --wheel --outdir "$work/built" -Ccmake.define.VAKRA_STATIC_RUNTIME=ON "$work/source" \
  > "$work/build.log" 2>&1 || { tail -40 "$work/build.log" >&2; fail "the build failed (log: $work/build.log)"; }
auditwheel repair --plat "$platform" --wheel-dir "$work/repaired" "$work"/built/*.whl > "$work/repair.log" 2>&1 \
  || { cat "$work/repair.log" >&2; fail "auditwheel cannot tag the wheel $platform"; }
wheels=("$work"/repaired/*.whl)
((${#wheels[@]} == 1)) || fail "auditwheel left ${#wheels[@]} wheels"
wheel=${wheels[0]}
abi3audit --strict --assume-minimum-abi3 3.11 "$wheel" > "$work/abi3audit.log" 2>&1 \
  || { cat "$work/abi3audit.log" >&2; fail "abi3audit found violations"; }

python -m zipfile -e "$wheel" "$work/unpacked"
# glibc's libraries, and libgcc_s, the one unwinder of the process (glibc
# itself loads it to end threads), which manylinux counts as part of the system.
system='^(linux-vdso\.so\.1|/lib64/ld-linux-x86-64\.so\.2|lib(c|m|pthread|dl|rt|gcc_s)\.so\.[0-9]+)$'
for module in "$work"/unpacked/vakra/*.so; do
  name=${module##*/}
  while read -r soname _ path _; do
    [[ $soname =~ $system || $path == "$work/unpacked/"* ]] || fail "$name loads $soname from outside the wheel ($path)"
  done < <(ldd "$module")
  unresolved=$(ldd -r "$module" 2>&1 | grep -o 'undefined symbol: [^ ]*' | grep -vE ': _?Py' || true)
  [ -z "$unresolved" ] || fail "$name leaves symbols unresolved: $unresolved"
  exported=$(nm -D --defined-only "$module" | awk '{print $3}' | grep -v '^PyInit_' || true)
  [ -z "$exported" ] || fail "$name exports more than PyInit_: $exported"
done
size=$(stat -c %s "$wheel")
((size <= max_bytes)) || fail "${wheel##*/} is $size bytes, more than $max_bytes"

rm -f dist/*.whl
cp "$wheel" dist/
echo "make wheel: dist/${wheel##*/} ($size bytes)"
