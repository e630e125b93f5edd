.PHONY: demo test docs wheel wheel-test sdist bench bench-torch fuzz clean

demo:
	./scripts/demo.sh

test:
	./scripts/test.sh

# The documentation site in build/docs/html, warnings as errors, and its examples run as doctests.
docs:
	./scripts/docs.sh

# The portable manylinux wheel (and the sdist it is built from) in dist/.
wheel:
	./scripts/wheel.sh

# The wheel installed into a new virtualenv and the Python suite run against it.
wheel-test: wheel
	./scripts/wheel_test.sh

sdist:
	./scripts/sdist.sh

bench:
	VAKRA_EXTRAS=test,bench ./scripts/bootstrap.sh
	.venv/bin/python bench/run.py
	cmake -S . -B build/bench -G Ninja -DVAKRA_BUILD_EXTENSION=OFF -DVAKRA_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build/bench --target codec_bench
	build/bench/bench/cpp/codec_bench bench/results/cpp.md

bench-torch:
	VAKRA_EXTRAS=test,bench ./scripts/bootstrap.sh
	.venv/bin/python bench/torch_state_dict.py

fuzz:
	./scripts/fuzz.sh $(or $(SECONDS),60) $(HARNESSES)

clean:
	rm -rf build dist .venv
