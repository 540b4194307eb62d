# Every target names Debian's interpreters explicitly: the pyenv python3 first
# on PATH has neither wheel nor pytest.
PYTHON     ?= /usr/bin/python3
PYTHON_DBG ?= /usr/bin/python3.11-dbg
PYTEST_ARGS ?=
# Where `make install` puts the virtual environment.
VENV ?= .venv

RELEASE_LIB := build/release/lib
ASAN_LIB    := build/asan/lib
DBG_LIB     := build/debug-python/lib

# Build one flavour of the package (Python files and extension) into build/<dir>/lib.
# setuptools rebuilds by file times, so an edit saved within the second of the
# last build would be skipped: a hash of the sources kept beside the build
# forces a full build whenever they differ from what was built.
SOURCES_HASH = cat setup.py pyproject.toml $$(find src -type f \( -name '*.[ch]pp' -o -name '*.py' -o -name '*.pyi' \) | sort) | sha256sum
define build_into
	@hash=$$($(SOURCES_HASH)); stamp=build/$(1)/sources.sha256; \
	if [ "$$(cat $$stamp 2>/dev/null)" = "$$hash" ]; then force=; else force=--force; fi; \
	echo "VARDUN_BUILD=$(2) $(3) setup.py -q build --build-base build/$(1) $$force"; \
	VARDUN_BUILD=$(2) $(3) setup.py -q build --build-base build/$(1) --build-lib build/$(1)/lib $$force && \
	echo "$$hash" > $$stamp
endef

ASAN_ENV = LD_PRELOAD=$$(gcc -print-file-name=libasan.so):$$(gcc -print-file-name=libstdc++.so) PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:suppressions=$(CURDIR)/tools/asan-suppressions.txt UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

.PHONY: all deps build test demo asan leaks format format-check check clean \
	stubtest bench bench-quick bench-instructions stress crash exits fuzz install install-check wheel demo-api \
	demo-server multihost multihost-short

all: build

deps:
	scripts/ensure-deps

build: deps
	$(call build_into,release,release,$(PYTHON))

# The whole test suite against the release build.
test: build
	PYTHONPATH=$(RELEASE_LIB) VARDUN_EXPECT_BUILD=$(RELEASE_LIB) $(PYTHON) -P -m pytest -q $(PYTEST_ARGS)

# A short session of the user-administration command on a temporary registry.
demo: build
	PYTHONPATH=$(RELEASE_LIB) PYTHON=$(PYTHON) sh examples/cli_session.sh

# The same session through the Python API.
demo-api: build
	PYTHONPATH=$(RELEASE_LIB) $(PYTHON) -P examples/demo.py

# The example Starlette application under uvicorn on a free port of
# 127.0.0.1: a few requests with and without a key, then it stops.
demo-server: build
	PYTHONPATH=$(RELEASE_LIB) $(PYTHON) -P examples/demo_server.py

# The test suite with AddressSanitizer and UndefinedBehaviorSanitizer.
asan: deps
	$(call build_into,asan,asan,$(PYTHON))
	$(ASAN_ENV) PYTHONPATH=$(ASAN_LIB) VARDUN_EXPECT_BUILD=$(ASAN_LIB) \
		$(PYTHON) -P -m pytest -q -s -p no:cacheprovider $(PYTEST_ARGS)

# Reference leaks: sys.gettotalrefcount over repeated calls of every
# operation, then the test suite, under the debug interpreter.
leaks: deps
	$(call build_into,debug-python,debug,$(PYTHON_DBG))
	PYTHONPATH=$(DBG_LIB) $(PYTHON_DBG) -P tools/refleak.py
	PYTHONPATH=$(DBG_LIB) VARDUN_EXPECT_BUILD=$(DBG_LIB) $(PYTHON_DBG) -P -m pytest -q -p no:cacheprovider $(PYTEST_ARGS)

format:
	clang-format -i src/*/*.cpp src/*/*.hpp

format-check:
	clang-format --dry-run --Werror src/*/*.cpp src/*/*.hpp

# The type stubs checked against the built modules.
stubtest: build
	PYTHONPATH=$(RELEASE_LIB) $(PYTHON) -P -m mypy.stubtest vardun.mcp.user_store vardun.mcp._key_index vardun.mcp.auth vardun.mcp.key_index vardun.mcp.log_redaction \
		--allowlist tools/stubtest-allowlist.txt

# Per-operation cost against the standard-library floor (bench/README.md).
bench: build
	PYTHONPATH=$(RELEASE_LIB) $(PYTHON) -P bench/run.py

bench-quick: build
	PYTHONPATH=$(RELEASE_LIB) $(PYTHON) -P bench/run.py --quick

# Instructions per call under callgrind, module against floor; no timing.
bench-instructions: build
	scripts/ensure-deps valgrind
	PYTHONPATH=$(RELEASE_LIB) $(PYTHON) -P bench/run.py --instructions

# Full-size reliability runs; CI runs smaller versions inside the test suite.
stress: build
	PYTHONPATH=$(RELEASE_LIB) $(PYTHON) -P tools/stress.py
	PYTHONPATH=$(RELEASE_LIB) $(PYTHON) -P tools/races.py --rounds 500
	PYTHONPATH=$(RELEASE_LIB) $(PYTHON) -P tools/revocation_race.py --revocations 1000

crash: build
	PYTHONPATH=$(RELEASE_LIB) $(PYTHON) -P tools/crash.py

# Interpreter exits with daemon threads inside every kind of operation.
exits: build
	PYTHONPATH=$(RELEASE_LIB) $(PYTHON) -P tools/exit_threads.py

fuzz: build
	PYTHONPATH=$(RELEASE_LIB) VARDUN_FUZZ_EXAMPLES=5000 $(PYTHON) -P -m pytest -q tests/test_hostile_input.py

# Several hosts on one registry: a private GlusterFS on this machine, each
# volume mounted twice through FUSE (tools/multihost.py). Needs root and
# /dev/fuse; says SKIPPED without them or without the packages.
GLUSTER_PACKAGES = glusterfs-server glusterfs-client
multihost: build
	scripts/ensure-deps $(GLUSTER_PACKAGES) || echo "multihost: could not install $(GLUSTER_PACKAGES)"
	PYTHONPATH=$(RELEASE_LIB) $(PYTHON) -P tools/multihost.py

multihost-short: build
	scripts/ensure-deps $(GLUSTER_PACKAGES) || echo "multihost: could not install $(GLUSTER_PACKAGES)"
	PYTHONPATH=$(RELEASE_LIB) $(PYTHON) -P tools/multihost.py --short

# Installs the checkout into a virtual environment (offline, PEP 668 safe).
# Debian's setuptools and wheel build it, so the environment sees the system
# packages; VENV=DIR installs into an environment of your own (made if it
# does not exist; one of yours must see setuptools and wheel).
install: deps
	test -x $(VENV)/bin/python || $(PYTHON) -m venv --system-site-packages $(VENV)
	$(VENV)/bin/python -m pip install --quiet --no-build-isolation --no-deps --no-index .
	@echo "installed into $(VENV): $(VENV)/bin/vardun-mcp-users, $(VENV)/bin/python"

# A binary wheel in dist/, built offline.
wheel: deps
	$(PYTHON) -m pip wheel --quiet --no-build-isolation --no-deps --no-index --wheel-dir dist .
	@ls dist/*.whl

# What the README's install section tells a user, in throw-away virtual
# environments from a clean copy of the checkout.
install-check: deps
	scripts/check-install

# Everything CI runs.
check: format-check test install-check asan leaks multihost-short

clean:
	rm -rf build dist src/*.egg-info
