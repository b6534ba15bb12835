# make run   - install what is missing, build, then run the main job
# make test  - install what is missing, build, then run the whole test suite
PYTHON := .venv/bin/python

.PHONY: setup run test bench clean

setup:
	@bash scripts/setup

run: setup
	$(PYTHON) examples/main_job.py

test: setup
	$(PYTHON) -m pytest

bench: setup
	@for script in bench/bench_*.py; do echo "== $$script"; $(PYTHON) $$script || exit 1; done

clean:
	rm -rf build .venv/.toolkit-installed
