# Build, test and demo entry points. Everything goes through .venv, which
# scripts/setup.sh creates (and fills) on first use.
PY := .venv/bin/python
BUILD := build/core
JOBS ?= 2

.PHONY: setup install test test-cpp test-python demo sanitize clean bench

setup:
	bash scripts/setup.sh

# One CMake build tree serves both the core tests and the extension module.
install: setup
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PY) -m pip install -q --no-build-isolation \
	  -Cbuild-dir=$(BUILD) -Ccmake.define.KESTRUNE_BUILD_TESTS=ON ".[test]"

test-cpp: install
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

test-python: install
	$(PY) -m pytest -q tests/python

test: test-cpp test-python

demo: install
	$(PY) examples/demo.py

# Core tests under AddressSanitizer+UBSan and ThreadSanitizer (separate trees).
sanitize: setup
	for s in address thread; do \
	  cmake -S . -B build/san-$$s -DKESTRUNE_SANITIZE=$$s -DKESTRUNE_BUILD_TESTS=ON \
	    -DKESTRUNE_BUILD_PYTHON=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo && \
	  cmake --build build/san-$$s -j$(JOBS) && \
	  (cd build/san-$$s && ctest --output-on-failure -j$(JOBS)) || exit 1; \
	done

bench: install
	$(PY) bench/run_all.py

clean:
	rm -rf build
