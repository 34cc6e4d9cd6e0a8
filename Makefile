# make test   build the wheel once, install it beside NumPy 2.x and NumPy 1.26,
#             run the test suite under both, audit the stable ABI and exports.
# make demo   run examples/demo.py.
# WORK=name   keeps build/, dist/ and the quick venv apart for parallel work.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
PYTHON ?= python3
WORK ?= main
BUILD_VENV := .venv-build
NP2 := .venv-np2
NP1 := .venv-np1
DIST := dist/$(WORK)
TEST_DEPS := pytest hypothesis shapely mypy "dask[array,distributed]" astropy reproject
DEMO_DEPS := "numpy>=2,<3" matplotlib opencv-python-headless pillow astropy
BENCH_DEPS := "numpy>=2,<3" opencv-python-headless pillow pypolyclip shapely spectres drizzle reproject astropy

.PHONY: all wheel test quick demo bench fuzz clean check-exports audit sanitize cpptest

all: test

$(BUILD_VENV)/.ok:
	$(PYTHON) -m venv $(BUILD_VENV)
	$(BUILD_VENV)/bin/pip install -q --upgrade pip
	$(BUILD_VENV)/bin/pip install -q "scikit-build-core>=0.10" cmake ninja abi3audit
	touch $@

$(NP2)/.ok:
	$(PYTHON) -m venv $(NP2)
	$(NP2)/bin/pip install -q --upgrade pip
	$(NP2)/bin/pip install -q "numpy>=2,<3" $(TEST_DEPS)
	touch $@

$(NP1)/.ok:
	$(PYTHON) -m venv $(NP1)
	$(NP1)/bin/pip install -q --upgrade pip
	$(NP1)/bin/pip install -q "numpy==1.26.*" $(TEST_DEPS)
	touch $@

.venv-$(WORK)/.ok:
	$(PYTHON) -m venv .venv-$(WORK)
	.venv-$(WORK)/bin/pip install -q --upgrade pip
	.venv-$(WORK)/bin/pip install -q "numpy>=2,<3" $(TEST_DEPS)
	touch $@

.venv-demo/.ok:
	$(PYTHON) -m venv .venv-demo
	.venv-demo/bin/pip install -q --upgrade pip
	.venv-demo/bin/pip install -q $(DEMO_DEPS)
	touch $@

.venv-bench/.ok:
	$(PYTHON) -m venv .venv-bench
	.venv-bench/bin/pip install -q --upgrade pip
	.venv-bench/bin/pip install -q $(BENCH_DEPS)
	touch $@

wheel: $(BUILD_VENV)/.ok
	rm -rf $(DIST)
	PATH="$(CURDIR)/$(BUILD_VENV)/bin:$$PATH" $(BUILD_VENV)/bin/pip wheel -q --no-build-isolation --no-deps \
	    -C build-dir=build/$(WORK) -w $(DIST) .

check-exports: wheel
	$(BUILD_VENV)/bin/python tools/check_exports.py $(DIST)/*.whl

audit: wheel
	$(BUILD_VENV)/bin/abi3audit --strict --report $(DIST)/*.whl

test: wheel $(NP2)/.ok $(NP1)/.ok
	for venv in $(NP2) $(NP1); do \
	    $$venv/bin/pip install -q --force-reinstall --no-deps $(DIST)/*.whl; \
	    echo "== tests with $$($$venv/bin/python -c 'import numpy; print("NumPy", numpy.__version__)')"; \
	    $$venv/bin/python -m pytest -q -p no:cacheprovider tests; \
	done
	$(MAKE) --no-print-directory cpptest audit check-exports sanitize WORK=$(WORK)

# Kernel invariants checked in C++, linked only against the kernel sources.
cpptest:
	mkdir -p build/cpptest
	g++ -std=c++20 -O2 -ffp-contract=off -Wall -Isrc tests/cpp/test_clip.cpp src/clip/clip.cpp \
	    src/common/panic.cpp -o build/cpptest/test_clip
	build/cpptest/test_clip

# The whole suite against an AddressSanitizer + UBSan build of the module.
sanitize: $(BUILD_VENV)/.ok $(NP2)/.ok
	tools/sanitized_tests.sh $(NP2)

# Build, install into one NumPy 2.x venv and run the tests (fast iteration).
quick: wheel .venv-$(WORK)/.ok
	.venv-$(WORK)/bin/pip install -q --force-reinstall --no-deps $(DIST)/*.whl
	.venv-$(WORK)/bin/python -m pytest -q -p no:cacheprovider -x tests $(PYTEST_ARGS)

demo: wheel .venv-demo/.ok
	.venv-demo/bin/pip install -q --force-reinstall --no-deps $(DIST)/*.whl
	.venv-demo/bin/python examples/demo.py

bench: wheel .venv-bench/.ok
	.venv-bench/bin/pip install -q --force-reinstall --no-deps $(DIST)/*.whl
	.venv-bench/bin/python benchmarks/run_all.py

# libFuzzer targets for the pure kernels (needs clang; not part of CI).
fuzz:
	fuzz/run.sh

clean:
	rm -rf build dist
