# make demo: set up and run the analysis on the bundled data.
# make test: set up, build and run every test.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
BUILD_DEPS := "scikit-build-core>=0.10" "pybind11==2.13.6" "cmake>=3.18" ninja

.PHONY: test demo install bench clean

$(PY):
	@python312=$$(tools/find-python312) && "$$python312" -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet $(BUILD_DEPS)

install: $(PY)
	$(PY) -m pip install --quiet --no-build-isolation ".[test]"

test: install
	$(PY) -m pytest -q

demo: $(PY)
	$(PY) -m pip install --quiet --no-build-isolation ".[plot]"
	$(VENV)/bin/corrshift demo --out-dir demo-output

clean:
	rm -rf build $(VENV)
