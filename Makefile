# quor developer commands. `make test` and `make demo` work on a fresh
# Debian machine: they install what is missing, build, and run.

SHELL := /bin/bash
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
DEB_PACKAGES := build-essential cmake ninja-build libgtest-dev libcctz-dev tzdata
SAN_PACKAGES := clang-14 libclang-rt-14-dev

.PHONY: all deps build test test-core test-python install demo sanitize asan tsan fuzz bench clean

all: build

# Install the Debian packages that are missing (apt-get update only when
# something has to be installed).
deps:
	@missing=""; for p in $(DEB_PACKAGES) $(EXTRA_PACKAGES); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test-core: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Python 3.12: pyenv's newest 3.12, else python3.12 on PATH.
PY312 ?= $(lastword $(sort $(wildcard $(shell pyenv root 2>/dev/null)/versions/3.12.*/bin/python3.12))) \
         $(shell command -v python3.12 2>/dev/null)
PYTHON312 := $(firstword $(PY312))
VENV := .venv

$(VENV)/bin/python:
	@test -n "$(PYTHON312)" || { echo "Python 3.12 not found (pyenv or python3.12 on PATH)"; exit 1; }
	$(PYTHON312) -m venv $(VENV)
	$(VENV)/bin/pip install -q pytest

# Builds the extension module and installs it into .venv.
install: deps $(VENV)/bin/python
	$(VENV)/bin/pip install -q .

test-python: install
	$(VENV)/bin/python -m pytest -q tests/python

test: test-core test-python

demo: install
	$(VENV)/bin/python examples/quickstart.py

# Core tests under ASan+UBSan and under TSan, each in its own build tree.
sanitize: asan tsan

asan:
	$(MAKE) test-core BUILD=build-asan CMAKE_FLAGS="-DQUOR_SANITIZE=asan -DQUOR_BUILD_BENCH=OFF"

tsan:
	$(MAKE) test-core BUILD=build-tsan CMAKE_FLAGS="-DQUOR_SANITIZE=tsan -DQUOR_BUILD_BENCH=OFF"

# libFuzzer targets under clang, each run for FUZZ_SECONDS.
FUZZ_SECONDS ?= 60
fuzz:
	$(MAKE) build BUILD=build-fuzz EXTRA_PACKAGES="$(SAN_PACKAGES)" \
	  CMAKE_FLAGS="-DCMAKE_CXX_COMPILER=clang++-14 -DQUOR_BUILD_FUZZ=ON -DQUOR_BUILD_TESTS=OFF -DQUOR_BUILD_BENCH=OFF"
	@for f in build-fuzz/*_fuzz; do \
	  mkdir -p fuzz-corpus/$$(basename $$f); \
	  $$f -max_total_time=$(FUZZ_SECONDS) fuzz-corpus/$$(basename $$f) || exit 1; done

bench: build
	@for b in $(BUILD)/*_bench; do echo "== $$b"; $$b || exit 1; done

clean:
	rm -rf build build-asan build-tsan build-fuzz build-wheel
