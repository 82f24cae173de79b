# Set-up, build and test commands; README.md explains them.
PYTHON ?= python
LOCK = flock /tmp/veskari-build.lock
# The project's own builds treat compiler warnings as errors (setup.py).
export VESKARI_STRICT ?= 1
SAN_LIBS = $(shell gcc -print-file-name=libasan.so):$(shell gcc -print-file-name=libubsan.so)

SOURCES = $(sort $(wildcard src/*/*.cpp src/*/*.hpp))
# The tests that compare the native modules with their Python statement.
PARITY_TESTS = tests/test_parity.py

.PHONY: deps build test matrix sweep demo sanitize-test parity-plain format format-check bench real-models clean

deps:
	$(PYTHON) -m pip install -q -r requirements-dev.txt

# Native modules built next to the package sources, for the tests.
build:
	$(LOCK) $(PYTHON) setup.py -q build_ext --inplace -j 2

test: deps build
	$(PYTHON) -m pytest -q tests

# The suite on the other Pythons and torch releases, each in its own venv
# outside the clone, from the sdist (.ci/matrix; docs/development.md).
matrix: deps
	PYTHON=$(PYTHON) .ci/matrix

# Every allocation of every public function and forward failed in turn, and
# many more generated hostile graphs (make test runs a sample of both).
sweep: deps build
	VESKARI_SWEEP=full $(PYTHON) -m pytest -q -k survive \
	  tests/test_allocation_failures.py tests/test_hostile_inputs.py

# Installs the package as a user would, then runs the demo against it (pip
# shows what it installs; the first build of the native modules takes a while).
demo:
	$(PYTHON) -m pip install -r requirements.txt
	env -u VESKARI_STRICT $(PYTHON) -m pip install .
	cd examples && $(PYTHON) demo.py

# The whole suite against an AddressSanitizer + UBSan build, kept apart from
# the normal build; run from the build tree so that build is the one imported
# (child interpreters of the tests find it from the imported package), with
# the interpreter's debug allocator checking every block the modules touch.
sanitize-test: deps
	$(LOCK) env VESKARI_SANITIZE=1 $(PYTHON) setup.py -q build --build-base build/sanitize -j 2
	cd build/sanitize/lib.* && \
	  LD_PRELOAD=$(SAN_LIBS) ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONMALLOC=debug \
	  $(PYTHON) -m pytest -q -p no:cacheprovider $(CURDIR)/tests

# The parity tests against a build with every speed shortcut off
# (src/core/shortcuts.hpp), kept apart like the sanitizer build and run from
# its tree so that build is the one imported.
parity-plain: deps
	$(LOCK) env VESKARI_SHORTCUTS=0 $(PYTHON) setup.py -q build --build-base build/plain -j 2
	cd build/plain/lib.* && \
	  $(PYTHON) -m pytest -q -p no:cacheprovider $(addprefix $(CURDIR)/,$(PARITY_TESTS))

# C++ style: .clang-format, checked in CI.
format:
	clang-format -i $(SOURCES)

format-check: deps
	clang-format --dry-run --Werror $(SOURCES)

bench: deps build
	$(PYTHON) benchmarks/run_all.py

# The whole road on small real architectures (transformers comes with the
# development requirements; not in CI).
real-models: deps build
	$(PYTHON) benchmarks/real_models.py

clean:
	rm -rf build veskari/*.so
