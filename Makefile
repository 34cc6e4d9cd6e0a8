# make test   build the wheel once (warnings as errors), lint, run the tests
#             under NumPy 2.x and NumPy 1.26, run the C++ tests natively and
#             for aarch64 under qemu-user, audit the stable ABI and exports,
#             run the demo and the sanitizer suite: one line per stage, then a
#             summary; the logs stay in build/logs-$(WORK)/.
# make lint   clang-format, clang-tidy and ruff; tools/format.sh applies them.
# make demo   run examples/demo.py.
# make docs   build the Sphinx site (docs/, gallery included) into build/docs/html,
#             offline, nitpicky, warnings as errors.
# make fuzz   build the libFuzzer targets with clang and run each briefly.
# WORK=name   keeps build/, dist/ and the quick venv apart for parallel work.
# WERROR=OFF  builds without -Werror (it is on by default).
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
PYTHON ?= python3
WORK ?= main
BUILD_VENV := .venv-build
NP2 := .venv-np2
NP1 := .venv-np1
DIST := dist/$(WORK)
WERROR ?= ON
# CMake and Ninja come from the build venv; the builds live in the git-ignored
# build/ (make clean removes it), next to the wheel's cached build.
CMAKE_PATH := PATH="$(CURDIR)/$(BUILD_VENV)/bin:$$PATH"
NATIVE := build/$(WORK)-native
CROSS := build/$(WORK)-aarch64
# The stages of make test, in order; each is a target below.
TEST_STAGES := envs wheel lint pytest-np2 pytest-np1 cpptest aarch64 audit check-exports demo docs sanitize
# Targets that use the wheel build it first when run alone; make test builds
# it once as a stage and runs the others with WHEEL_DEP empty.
WHEEL_DEP ?= wheel
TEST_DEPS := pytest hypothesis shapely mypy "dask[array,distributed]" astropy reproject
DEMO_DEPS := "numpy>=2,<3" matplotlib opencv-python-headless pillow astropy scikit-image
# The docs venv: Sphinx and its extensions (major versions pinned, so that a
# new release cannot break the warnings-as-errors build unannounced), plus
# what the gallery's examples import.
DOCS_DEPS := "numpy>=2,<3" "sphinx>=8,<10" "myst-parser>=4,<6" "numpydoc>=1.8,<2" "sphinx-gallery>=0.17,<1" \
    "furo>=2024.8" matplotlib opencv-python-headless pillow scikit-image astropy pytest "dask[array]"
BENCH_DEPS := "numpy>=2,<3" opencv-python-headless pillow pypolyclip shapely spectres drizzle reproject astropy \
    scikit-image "dask[array]"

.PHONY: all wheel test quick demo docs bench fuzz clean check-exports audit sanitize cpptest lint aarch64 envs \
    pytest-np2 pytest-np1

all: test

$(BUILD_VENV)/.ok:
	$(PYTHON) -m venv $(BUILD_VENV)
	$(BUILD_VENV)/bin/pip install -q --upgrade pip
	$(BUILD_VENV)/bin/pip install -q "scikit-build-core>=0.10" cmake ninja abi3audit
	touch $@

# The Python linter, pinned so that every machine reports the same findings.
$(BUILD_VENV)/.lint-ok: $(BUILD_VENV)/.ok
	$(BUILD_VENV)/bin/pip install -q "ruff==0.17.6"
	touch $@

$(NP2)/.ok: Makefile
	$(PYTHON) -m venv $(NP2)
	$(NP2)/bin/pip install -q --upgrade pip
	$(NP2)/bin/pip install -q "numpy>=2,<3" $(TEST_DEPS)
	touch $@

$(NP1)/.ok: Makefile
	$(PYTHON) -m venv $(NP1)
	$(NP1)/bin/pip install -q --upgrade pip
	$(NP1)/bin/pip install -q "numpy==1.26.*" $(TEST_DEPS)
	touch $@

.venv-$(WORK)/.ok: Makefile
	$(PYTHON) -m venv .venv-$(WORK)
	.venv-$(WORK)/bin/pip install -q --upgrade pip
	.venv-$(WORK)/bin/pip install -q "numpy>=2,<3" $(TEST_DEPS)
	touch $@

.venv-demo/.ok: Makefile
	$(PYTHON) -m venv .venv-demo
	.venv-demo/bin/pip install -q --upgrade pip
	.venv-demo/bin/pip install -q $(DEMO_DEPS)
	touch $@

.venv-sphinx/.ok: Makefile
	$(PYTHON) -m venv .venv-sphinx
	.venv-sphinx/bin/pip install -q --upgrade pip
	.venv-sphinx/bin/pip install -q $(DOCS_DEPS)
	touch $@

.venv-bench/.ok: Makefile
	$(PYTHON) -m venv .venv-bench
	.venv-bench/bin/pip install -q --upgrade pip
	.venv-bench/bin/pip install -q $(BENCH_DEPS)
	touch $@

wheel: $(BUILD_VENV)/.ok
	rm -rf $(DIST)
	$(CMAKE_PATH) $(BUILD_VENV)/bin/pip wheel -q --no-build-isolation --no-deps \
	    -C build-dir=build/$(WORK) -C cmake.define.PELLORIN_WERROR=$(WERROR) -w $(DIST) .

check-exports: $(WHEEL_DEP)
	$(BUILD_VENV)/bin/python tools/check_exports.py $(DIST)/*.whl

audit: $(WHEEL_DEP)
	$(BUILD_VENV)/bin/abi3audit --strict --report $(DIST)/*.whl

test:
	tools/run_stages.sh build/logs-$(WORK) $(TEST_STAGES) -- $(MAKE) --no-print-directory WORK=$(WORK) WHEEL_DEP=

# Every environment make test uses, so that the stages after it time their
# own work only.
envs: $(BUILD_VENV)/.ok $(BUILD_VENV)/.lint-ok $(NP2)/.ok $(NP1)/.ok .venv-demo/.ok .venv-sphinx/.ok

pytest-np2 pytest-np1: pytest-%: $(WHEEL_DEP) .venv-%/.ok
	.venv-$*/bin/pip install -q --force-reinstall --no-deps $(DIST)/*.whl
	.venv-$*/bin/python -c 'import numpy; print("NumPy", numpy.__version__)'
	.venv-$*/bin/python -m pytest -q -p no:cacheprovider tests

# The C++ tests (kernel invariants, linked only against the kernel library),
# built by CMake without the module and run by ctest.
cpptest: $(BUILD_VENV)/.ok
	$(CMAKE_PATH) cmake -S . -B $(NATIVE) -G Ninja -DPELLORIN_MODULE=OFF -DPELLORIN_TESTS=ON \
	    -DPELLORIN_WERROR=$(WERROR) -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
	$(CMAKE_PATH) cmake --build $(NATIVE)
	$(CMAKE_PATH) ctest --test-dir $(NATIVE) --output-on-failure

# The kernel library and the C++ tests cross-compiled for 64-bit ARM Linux and
# run under qemu-user (the toolchain file sets it as ctest's emulator).
aarch64: $(BUILD_VENV)/.ok
	tools/apt_install.sh aarch64-linux-gnu-g++:g++-aarch64-linux-gnu qemu-aarch64:qemu-user
	$(CMAKE_PATH) cmake -S . -B $(CROSS) -G Ninja --toolchain cmake/aarch64-linux-gnu.cmake \
	    -DPELLORIN_MODULE=OFF -DPELLORIN_TESTS=ON -DPELLORIN_WERROR=$(WERROR)
	$(CMAKE_PATH) cmake --build $(CROSS)
	$(CMAKE_PATH) ctest --test-dir $(CROSS) --output-on-failure

# C++ format and static checks (on the sources in the native build's
# compile_commands.json: the kernel library and the C++ tests), Python lint.
# All three run; any finding fails the target. tools/format.sh fixes format.
lint: $(BUILD_VENV)/.lint-ok
	tools/apt_install.sh clang-format clang-tidy
	$(CMAKE_PATH) cmake -S . -B $(NATIVE) -G Ninja -DPELLORIN_MODULE=OFF -DPELLORIN_TESTS=ON \
	    -DPELLORIN_WERROR=$(WERROR) -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
	status=0; \
	echo "== clang-format"; git ls-files '*.cpp' '*.hpp' | xargs clang-format --dry-run --Werror || status=1; \
	echo "== clang-tidy"; $(BUILD_VENV)/bin/python -c 'import json, sys; [print(e["file"]) for e in json.load(sys.stdin)]' \
	    < $(NATIVE)/compile_commands.json | xargs clang-tidy --quiet -p $(NATIVE) || status=1; \
	echo "== ruff"; $(BUILD_VENV)/bin/ruff check || status=1; \
	exit $$status

# The whole suite against an AddressSanitizer + UBSan build of the module.
sanitize: $(BUILD_VENV)/.ok $(NP2)/.ok
	tools/sanitized_tests.sh $(NP2)

# Build, install into one NumPy 2.x venv and run the tests (fast iteration).
quick: wheel .venv-$(WORK)/.ok
	.venv-$(WORK)/bin/pip install -q --force-reinstall --no-deps $(DIST)/*.whl
	.venv-$(WORK)/bin/python -m pytest -q -p no:cacheprovider -x tests $(PYTEST_ARGS)

demo: $(WHEEL_DEP) .venv-demo/.ok
	.venv-demo/bin/pip install -q --force-reinstall --no-deps $(DIST)/*.whl
	.venv-demo/bin/python examples/demo.py

# The site is built from the installed wheel (autodoc imports it), with the
# gallery's examples run; -n makes every unresolved cross-reference a warning
# and -W every warning an error. Nothing is fetched (no intersphinx). Then
# every snippet of the README and the pages runs, here with every package
# they use installed (the pytest stages skip those whose packages they lack),
# and every relative link is checked.
docs: $(WHEEL_DEP) .venv-sphinx/.ok
	.venv-sphinx/bin/pip install -q --force-reinstall --no-deps $(DIST)/*.whl
	rm -rf build/docs-$(WORK)
	.venv-sphinx/bin/python -m sphinx -b html -W --keep-going -n -q -d build/docs-$(WORK)/doctrees \
	    docs build/docs-$(WORK)/html
	@echo "docs in build/docs-$(WORK)/html/index.html"
	PELLORIN_DOCS_STRICT=1 .venv-sphinx/bin/python -m pytest -q -p no:cacheprovider tests/test_docs.py

bench: wheel .venv-bench/.ok
	.venv-bench/bin/pip install -q --force-reinstall --no-deps $(DIST)/*.whl
	.venv-bench/bin/python benchmarks/run_all.py

# libFuzzer targets for the pure kernels, built by CMake with clang (installed
# with apt-get when missing); FUZZ_SECONDS per target (default 60). Not part
# of make test.
fuzz: $(BUILD_VENV)/.ok
	$(CMAKE_PATH) fuzz/run.sh

clean:
	rm -rf build dist
