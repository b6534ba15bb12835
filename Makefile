# make run   - install what is missing, build, then run the main job
# make test  - install what is missing, build, check the layout of the code, then run the whole test suite
PYTHON := .venv/bin/python
CXX_SOURCES = $(wildcard common/*.[ch]pp hollark/*.[ch]pp wendrel/*.[ch]pp tessil/*.[ch]pp tavelin/*.[ch]pp \
                         dravio/*.[ch]pp rimwell/*.[ch]pp orbisk/*.[ch]pp)

.PHONY: setup run test lint format bench clean sanitize matrix

setup:
	@bash scripts/setup

run: setup
	$(PYTHON) examples/main_job.py

test: setup lint
	$(PYTHON) -m pytest

# The C++ as clang-format lays it out (.clang-format) and the Python as ruff
# wants it (pyproject.toml); `make format` rewrites both.
lint: setup
	@clang-format --dry-run --Werror $(CXX_SOURCES)
	@.venv/bin/ruff check --quiet .

format: setup
	clang-format -i $(CXX_SOURCES)
	.venv/bin/ruff check --fix --quiet .

# The suite under AddressSanitizer, UndefinedBehaviorSanitizer and pybind11's
# GIL checks, built into .venv-sanitize (scripts/sanitize; a few minutes).
sanitize: setup
	@bash scripts/sanitize

# Every public callable against bad input, each call in a child process;
# prints the counts of calls, exceptions, specified results, crashes and hangs.
matrix: setup
	$(PYTHON) scripts/bad_input_matrix.py

bench: setup
	@status=0; for script in bench/bench_*.py; do echo "== $$script"; $(PYTHON) $$script || status=1; done; exit $$status

clean:
	rm -rf build .venv/.toolkit-installed .venv-sanitize/.toolkit-installed compile_commands.json
