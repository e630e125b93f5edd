#!/usr/bin/env bash
# The codec as an installed C++ package: builds codec/ on its own, installs it
# into a temporary prefix, builds examples/cpp against it with find_package
# and with pkg-config (shared and static), and passes files both ways between
# the examples and the Python package in .venv (a model file of 300 entries too).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
python=$root/.venv/bin/python
build=$root/build/cpp-package  # kept between runs, so a rebuild is incremental
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "cpp package test: $*" >&2; exit 1; }

cmake -S codec -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build "$build" --parallel 2 >/dev/null
cmake --install "$build" >/dev/null
# Configured from the repository root, `cmake --install` installs the same package.
cmake -S . -B "$work/root" -G Ninja -DVAKRA_BUILD_EXTENSION=OFF >/dev/null
grep -q 'vakra-static.pc' "$work/root/codec/cmake_install.cmake" || fail "the repository root does not install the codec"
[ -f "$prefix/include/vakra/vakra.hpp" ] || fail "the umbrella header is not installed"
if find "$prefix" -name '*_internal.hpp' | grep -q .; then fail "internal headers were installed"; fi

# find_package(vakra) with the shared library.
cmake -S examples/cpp -B "$work/example" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/example" >/dev/null
example=$work/example/vakra_example

# pkg-config: one object, linked against the shared library (found at run
# time through the rpath vakra.pc carries) and the static one.
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
[ "$(pkg-config --modversion vakra)" = "$("$python" -c 'import vakra; print(vakra.__version__)')" ] \
  || fail "the C++ package's version is not the Python package's"
for source in vakra_example tree_text; do
  c++ -std=c++20 -O1 -c "examples/cpp/$source.cpp" $(pkg-config --cflags vakra) -o "$work/$source.o"
done
objects=("$work/vakra_example.o" "$work/tree_text.o")
c++ "${objects[@]}" $(pkg-config --libs vakra) -o "$work/example_pc_shared"
c++ "${objects[@]}" $(pkg-config --static --libs vakra-static) -o "$work/example_pc_static"
if readelf -d "$work/example_pc_static" | grep -q 'libvakra'; then fail "the static build links libvakra.so"; fi

echo "-- the C++ guide's first program"
sed -n '/^```cpp$/,/^```$/p' docs/guide/cpp.md | sed '1d;$d' > "$work/readme.cpp"
grep -q 'int main' "$work/readme.cpp" || fail "no C++ program found in docs/guide/cpp.md"
c++ -std=c++20 -Wall -Wextra -Werror "$work/readme.cpp" $(pkg-config --cflags --libs vakra) -o "$work/readme"
[ "$("$work/readme")" = "3 x 4, 48 bytes in place" ] || fail "the C++ guide's program printed something else"

echo "-- an older language mode stops at one clear message"
if c++ -std=c++17 -fsyntax-only "$work/readme.cpp" $(pkg-config --cflags vakra) 2> "$work/cxx17.txt"; then
  fail "the headers compiled as C++17"
fi
grep -q "vakra's C++ headers need C++20: compile with -std=c++20" "$work/cxx17.txt" \
  || fail "C++17 did not get the message: $(head -c 600 "$work/cxx17.txt")"
if grep -q "span" "$work/cxx17.txt"; then fail "C++17 got errors past the message"; fi

echo "-- C++ writes, Python reads"
"$example" "$work/from_cpp.vkr"
"$python" examples/cpp/interop_check.py check-example "$work/from_cpp.vkr"
for linked in example_pc_shared example_pc_static; do
  cmp -s <("$example" --read "$work/from_cpp.vkr") <("$work/$linked" --read "$work/from_cpp.vkr") \
    || fail "$linked reads the file differently"
done

# The example prints the tree `vakra info` prints, then the digests of the bodies it decoded.
python_reads() { "$python" -m vakra info "$1" && "$python" examples/cpp/interop_check.py digests "$1"; }
diff <(python_reads "$work/from_cpp.vkr") <("$example" --read "$work/from_cpp.vkr") \
  || fail "Python and the example see the example's file differently"

echo "-- C++ writes a model file of 300 entries and reads one by name; vakra verify and load_file accept it"
"$work/example/model_file_example" "$work/model.vkr" |
  grep -qE '^300 entries; layer\.123\.weight: float32 \[4, 8\] at byte [0-9]+, last element 123\.31$' \
  || fail "model_file_example printed something else"
"$python" -m vakra verify "$work/model.vkr" >/dev/null || fail "vakra verify refuses the C++ model file"
"$python" examples/cpp/interop_check.py check-model "$work/model.vkr"

echo "-- Python writes every kind, C++ reads"
"$python" examples/cpp/interop_check.py write "$work/from_python.vkr"
diff <(python_reads "$work/from_python.vkr") <("$example" --read "$work/from_python.vkr") \
  || fail "Python and the example see Python's file differently"
echo "cpp package test: ok"
