.PHONY: demo test bench fuzz clean

demo:
	./scripts/demo.sh

test:
	./scripts/test.sh

bench:
	VAKRA_EXTRAS=test,bench ./scripts/bootstrap.sh
	.venv/bin/python bench/run.py

fuzz:
	./scripts/fuzz.sh $(or $(SECONDS),60)

clean:
	rm -rf build .venv
