.PHONY: demo test bench bench-torch fuzz clean

demo:
	./scripts/demo.sh

test:
	./scripts/test.sh

bench:
	VAKRA_EXTRAS=test,bench ./scripts/bootstrap.sh
	.venv/bin/python bench/run.py

bench-torch:
	VAKRA_EXTRAS=test,bench ./scripts/bootstrap.sh
	.venv/bin/python bench/torch_state_dict.py

fuzz:
	./scripts/fuzz.sh $(or $(SECONDS),60)

clean:
	rm -rf build .venv
