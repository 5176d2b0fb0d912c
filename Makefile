# Vorlane: set-up, build and tests.
#
#   make test    install what is missing, build, run pytest and ctest
#   make demo    build and run the example workload
#   make bench   C++ micro-benchmarks and the Python benchmark
#
# Everything is installed by these rules: the Debian packages (as root), a
# virtual environment with Python 3.13+, and the package itself, built from
# the working tree. Stamps keep a second run from reinstalling or rebuilding
# from scratch.

SHELL := /bin/bash
VENV := .venv
VPY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
CTEST := $(VENV)/bin/ctest
DEB_PACKAGES := libroaring-dev libabsl-dev libgtest-dev libbenchmark-dev
CPP_BUILD := build/cpp
BENCH_BUILD := build/bench
SOURCES := $(shell find src -name '*.cpp' -o -name '*.hpp') CMakeLists.txt pyproject.toml
CPP_TEST_SOURCES := $(wildcard tests/cpp/*.cpp)

.PHONY: all test test-python test-cpp demo bench deps clean format

all: $(VENV)/.installed

# Debian packages: installed only when one is missing.
build/.deps:
	@mkdir -p build
	@missing=""; for p in $(DEB_PACKAGES) $$(tools/python-deb-packages); do \
	    dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	    echo "Installing Debian packages:$$missing"; \
	    if [ "$$(id -u)" != 0 ]; then echo "error: run as root to install:$$missing" >&2; exit 1; fi; \
	    apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y $$missing; \
	fi
	@touch $@

deps: build/.deps

$(VENV)/.created: build/.deps
	@py=$$(tools/find-python) || exit 1; \
	echo "Using $$py ($$($$py --version))"; \
	rm -rf $(VENV) && $$py -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q "scikit-build-core>=0.10" cmake ninja pytest hypothesis
	@touch $@

# The package, built from the working tree into a persistent build folder,
# so a rebuild after a change is incremental.
$(VENV)/.installed: $(VENV)/.created $(SOURCES)
	$(VPY) -m pip install -q --no-build-isolation --no-deps ".[test]"
	@touch $@

$(CPP_BUILD)/build.ninja: $(VENV)/.created CMakeLists.txt
	$(CMAKE) -S . -B $(CPP_BUILD) -G Ninja -DVORLANE_BUILD_MODULE=OFF -DVORLANE_BUILD_TESTS=ON \
	    -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)

test-cpp: $(CPP_BUILD)/build.ninja
	$(CMAKE) --build $(CPP_BUILD)
	$(CTEST) --test-dir $(CPP_BUILD) --output-on-failure

test-python: $(VENV)/.installed
	$(VPY) -m pytest

test: test-python test-cpp

demo: $(VENV)/.installed
	$(VPY) examples/demo.py

bench: $(VENV)/.installed
	$(CMAKE) -S . -B $(BENCH_BUILD) -G Ninja -DVORLANE_BUILD_MODULE=OFF -DVORLANE_BUILD_BENCH=ON \
	    -DCMAKE_BUILD_TYPE=Release -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)
	$(CMAKE) --build $(BENCH_BUILD)
	@for b in $(BENCH_BUILD)/*_bench; do echo "== $$b"; $$b; done

format:
	clang-format -i $$(find src tests/cpp bench/cpp -name '*.cpp' -o -name '*.hpp')

clean:
	rm -rf build $(VENV)
