# make demo: set up and run the analysis on the bundled data.
# make test: set up, build and run every test, then the sanitizer pass.
# make check: set up, build and run the quick tests (those not marked slow).
# make test-asan: the hostile-input and fault tests against a sanitizer build.
# make test-aarch64: the engine without Python, every kernel build against the
#   straightforward kernels bit for bit: natively, then cross-built for aarch64
#   and run under qemu-user (installed from Debian when missing).
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
BUILD_DEPS := "scikit-build-core>=0.10" "pybind11==2.13.6" "cmake>=3.18" ninja

# The test installs also build the test-only extension corrshift._native_tests
# and treat compiler warnings as errors; the user's wheel does neither.
TEST_BUILD := --config-settings=cmake.define.CORRSHIFT_TEST_EXTENSION=ON \
	--config-settings=cmake.define.CORRSHIFT_WERROR=ON

# The sanitizer build lives in its own venv and build directory.
ASAN_VENV := .venv-asan
ASAN_PY := $(ASAN_VENV)/bin/python
ASAN_BUILD := --config-settings=cmake.define.CORRSHIFT_SANITIZE=ON \
	--config-settings=cmake.build-type=RelWithDebInfo \
	--config-settings=build-dir=build/asan
ASAN_TESTS := tests/test_fuzz.py tests/test_model.py tests/test_faults.py tests/test_memory.py tests/test_core_entry.py \
	tests/test_core_fuzz.py tests/test_exact_tests.py tests/test_kgroups.py
# The interpreter is not built with ASan, so its runtime must be loaded
# first, and libstdc++ with it (ASan intercepts C++ throws only when
# libstdc++ is there at start-up). Python itself leaks at exit, so leak
# checking stays off.
ASAN_LIB = $$($${CXX:-c++} -print-file-name=$(1))
ASAN_ENV := LD_PRELOAD="$(call ASAN_LIB,libasan.so) $(call ASAN_LIB,libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

.PHONY: test check test-asan test-aarch64 demo install install-asan bench bench-scale clean

%/bin/python:
	@python312=$$(tools/find-python312) && "$$python312" -m venv $*
	$@ -m pip install --quiet --upgrade pip
	$@ -m pip install --quiet $(BUILD_DEPS)

install: $(PY)
	$(PY) -m pip install --quiet --no-build-isolation $(TEST_BUILD) ".[test]"

install-asan: $(ASAN_PY)
	$(ASAN_PY) -m pip install --quiet --no-build-isolation $(ASAN_BUILD) $(TEST_BUILD) . "pytest>=8" "hypothesis>=6"

test: install
	$(PY) -m pytest -q
	$(MAKE) --no-print-directory test-asan

check: install
	$(PY) -m pytest -q -m "not slow"

test-asan: install-asan
	$(ASAN_ENV) $(ASAN_PY) -m pytest -q -p no:cacheprovider $(ASAN_TESTS)

# The venv provides cmake and ninja.
test-aarch64: $(PY)
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" tests/engine/run.sh native
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" tests/engine/run.sh aarch64

demo: $(PY)
	$(PY) -m pip install --quiet --no-build-isolation ".[plot]"
	$(VENV)/bin/corrshift demo --out-dir demo-output

# make bench: speed of the four functions against the straightforward
# kernels and numpy, and the machine's multiply+add peak; both methods'
# whole cycles on the path users run (corrshift's preparation, untied,
# tied and sparse data); the scale run
# itself against its probe limit; what the result table costs next to the
# engine; permutations="auto": its p-values under the null hypothesis, its
# false discovery rate, its decisions and cost against a fixed run (only
# where scanpy is installed: its bundled data) and its cost curve into
# docs/images/adaptive_cost.png (about 25 minutes on 2 cores, 30 with scanpy).
bench: install
	$(PY) bench/bench.py
	$(PY) bench/user_path.py
	$(PY) bench/scale.py --full
	$(PY) bench/table_cost.py
	$(PY) bench/adaptive.py all

# All pairs of 20,000 features in bounded memory: time and peak memory.
bench-scale: install
	$(PY) bench/scale.py

clean:
	rm -rf build $(VENV) $(ASAN_VENV)
