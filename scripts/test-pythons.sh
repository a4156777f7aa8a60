#!/usr/bin/env bash
# Builds the package and runs the tests once for each CPython from 3.10 to
# 3.13 that this machine has, each in a virtual environment of its own
# (.venv-py3.X). Prints one line per interpreter and fails if any build or
# test run failed. Usage: scripts/test-pythons.sh [PYTEST ARGS...]
#
# An interpreter counts when it really runs and can make a venv (Debian keeps
# ensurepip, without which venv fails, in python3.X-venv): pyenv's versions
# first (newest patch release), then python3.X on PATH and in the usual
# places (a pyenv shim may be there and fail). Logs: build/test-pythons/.
set -uo pipefail
cd "$(dirname "$0")/.."
logs=build/test-pythons
mkdir -p "$logs"
[ $# -eq 0 ] && set -- tests
# Extra pip options for every build, as `make test` passes them (e.g.
# --config-settings=cmake.define.QUORVEX_WERROR=ON).
read -r -a build_opts <<< "${QV_BUILD_OPTS:-}"

find_python() {  # $1 = minor version
  local v=3.$1 root c
  root=$(pyenv root 2>/dev/null || true)
  local candidates=()
  if [ -n "$root" ]; then
    for c in $(ls -d "$root"/versions/"$v".*/bin/python"$v" 2>/dev/null | sort -V -r); do
      candidates+=("$c")
    done
  fi
  candidates+=(python"$v" /usr/local/bin/python"$v" /usr/bin/python"$v")
  for c in "${candidates[@]}"; do
    if "$c" -c "import sys, venv, ensurepip; assert sys.version_info[:2] == (3, $1)" >/dev/null 2>&1; then
      command -v "$c" 2>/dev/null || echo "$c"
      return 0
    fi
  done
  return 1
}

summary() {  # pytest's closing counts, e.g. "485 passed, 1 skipped"
  tail -n 1 "$1" | sed -E 's/^=+ //; s/ =+$//; s/ in [0-9.]+s.*$//'
}

status=0
found=0
for minor in 10 11 12 13; do
  v=3.$minor
  if ! py=$(find_python "$minor"); then
    printf '%-16s not on this machine, skipped\n' "python $v"
    continue
  fi
  found=$((found + 1))
  version=$("$py" -c 'import platform; print(platform.python_version())')
  venv=.venv-py$v
  build_log=$logs/py$v-build.log
  test_log=$logs/py$v-tests.log
  {
    # A venv left without pip (made before ensurepip was there) is made again.
    "$venv/bin/python" -m pip --version >/dev/null 2>&1 || "$py" -m venv --clear "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip &&
      "$venv/bin/python" -m pip install -q "nanobind>=2.4,<3" "scikit-build-core>=0.10" ninja &&
      # In the venv itself and a build directory of its own: a second run
      # rebuilds only what changed.
      "$venv/bin/python" -m pip install -v --no-build-isolation \
        --config-settings="build-dir=build/py-{wheel_tag}" "${build_opts[@]}" ".[test]"
  } > "$build_log" 2>&1
  built=$?
  warnings=$(grep -c 'warning:' "$build_log")
  if [ $built -ne 0 ]; then
    printf '%-16s FAILED to build (%s compiler warnings); see %s\n' "python $version" "$warnings" "$build_log"
    status=1
    continue
  fi
  "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" > "$test_log" 2>&1
  tested=$?
  if [ $tested -eq 0 ]; then
    printf '%-16s passed  %s (build: %s compiler warnings)\n' "python $version" "$(summary "$test_log")" "$warnings"
  else
    printf '%-16s FAILED  %s; see %s\n' "python $version" "$(summary "$test_log")" "$test_log"
    status=1
  fi
done
if [ $found -eq 0 ]; then
  echo "no CPython 3.10 to 3.13 found" >&2
  exit 1
fi
exit $status
