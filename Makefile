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

# What `make test` installs, without building the package, as pyproject.toml
# lists it: the build requirements (and ninja), the dependencies and the test
# extra; the development build (scripts/devbuild.sh) needs nothing more.
venv: $(PY)
	$(PY) -m pip install -q 'tomli; python_version < "3.11"'
	$(PY) -c 'import sys; t = __import__("tomllib" if sys.version_info >= (3, 11) else "tomli"); \
	  p = t.load(open("pyproject.toml", "rb")); \
	  print("ninja", *p["build-system"]["requires"], *p["project"]["dependencies"], \
	        *p["project"]["optional-dependencies"]["test"], sep="\n")' > $(VENV)/requirements.txt
	$(PY) -m pip install -q -r $(VENV)/requirements.txt

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
	@for b in bench/[!_]*.py; do echo "== $$b"; $(PY) $$b || exit 1; done
	@echo "== bench/window.py --fleet 64"; $(PY) bench/window.py --fleet 64

asan:
	scripts/asan.sh

test-pythons:
	QV_BUILD_OPTS="$(BUILD_OPTS)" scripts/test-pythons.sh

clean:
	rm -rf build $(VENV) $(VENV)-asan $(VENV)-py3.* .pytest_cache .hypothesis
