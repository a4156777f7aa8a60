# quorvex: make test runs every test; make demo runs an FPGA update against
# the bundled device emulator. Both set up .venv on their own. make asan runs
# the tests under AddressSanitizer and UndefinedBehaviorSanitizer (.venv-asan);
# make test-pythons runs them once per CPython 3.10 to 3.13 found (.venv-py3.X).
VENV   := .venv
PY     := $(VENV)/bin/python
STAMP  := $(VENV)/.installed
# Our own C++ builds without a single warning (-Wall -Wextra) or not at all.
BUILD_OPTS := --config-settings=cmake.define.QUORVEX_WERROR=ON

.PHONY: all venv install test demo bench asan test-pythons clean

all: install

$(PY):
	@scripts/prereqs.sh
	"$$(scripts/find-python.sh)" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

venv: $(PY)
	$(PY) -m pip install -q "nanobind>=2.4,<3" "scikit-build-core>=0.10" ninja pytest hypothesis

# Rebuilds when any source or build file changed since the last install.
$(STAMP): $(PY) pyproject.toml CMakeLists.txt $(shell find src -type f 2>/dev/null)
	@scripts/prereqs.sh
	$(PY) -m pip install -q $(BUILD_OPTS) ".[test]"
	@touch $@

install: $(STAMP)

test: $(STAMP)
	$(PY) -m pytest -q

demo: $(STAMP)
	$(PY) scripts/demo.py

bench: $(STAMP)
	@for b in bench/*.py; do echo "== $$b"; $(PY) $$b || exit 1; done

asan:
	scripts/asan.sh

test-pythons:
	QV_BUILD_OPTS="$(BUILD_OPTS)" scripts/test-pythons.sh

clean:
	rm -rf build $(VENV) $(VENV)-asan $(VENV)-py3.* .pytest_cache .hypothesis
