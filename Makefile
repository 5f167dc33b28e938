# `make demo` and `make test` do all the set-up on a fresh Debian machine.
SHELL := /bin/bash
.DEFAULT_GOAL := build

VENV := .venv
PY := $(VENV)/bin/python
BUILD_DIR := build/py
STAMPS := .stamps

APT_PACKAGES := unixodbc unixodbc-dev odbc-postgresql postgresql libasio-dev \
                googletest libgtest-dev nlohmann-json3-dev

.PHONY: deps build test demo bench clean

deps: $(STAMPS)/apt

$(STAMPS)/apt: Makefile
	@missing=""; for p in $(APT_PACKAGES); do \
	    dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	    echo "apt-get install:$$missing"; \
	    SUDO=""; [ "$$(id -u)" = 0 ] || SUDO=sudo; \
	    $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing >/dev/null; \
	fi
	@mkdir -p $(STAMPS) && touch $@

$(STAMPS)/venv: requirements-dev.txt
	@test -x $(PY) || python3 -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
	@mkdir -p $(STAMPS) && touch $@

# The package is installed into .venv from a fixed build directory, so a
# second build only recompiles what changed. The tests' targets (C++ tests,
# the scripted driver, the test-only module) are built in the same tree but
# never installed.
build: deps $(STAMPS)/venv
	$(PY) -m pip install -q --no-build-isolation --no-deps \
	    -C build-dir=$(BUILD_DIR) -C cmake.define.VANTOREL_TESTS=ON .
	@$(PY) -c "import vantorel"

test: build
	VANTOREL_BUILD_DIR=$(BUILD_DIR) scripts/run-tests

demo: build
	VANTOREL_BUILD_DIR=$(BUILD_DIR) scripts/with-sandbox $(PY) examples/quickstart.py

bench: build
	VANTOREL_BUILD_DIR=$(BUILD_DIR) bench/run

clean:
	rm -rf build $(STAMPS)
