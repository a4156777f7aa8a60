#!/usr/bin/env bash
# Incremental development build without pip: builds the extensions into
# build/dev-NAME/tree, beside a copy of src/quorvex, so that
#   PYTHONPATH=build/dev-NAME/tree .venv/bin/python -m pytest tests/...
# runs the tests against them. Usage: scripts/devbuild.sh NAME [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:?usage: scripts/devbuild.sh NAME [TARGET...]}; shift
py=${PYTHON:-.venv/bin/python}
# The build tools come with `make venv`; a .venv made by `make test` alone lacks them.
"$py" -c 'import nanobind' >/dev/null 2>&1 || make venv >/dev/null
dir=build/dev-$name
# The tree receives a copy of src/quorvex: a built module left there would be
# copied over the one built here.
stale=$(find src/quorvex -name '*.so' | head -n 3)
if [ -n "$stale" ]; then
  echo "devbuild: src/quorvex holds built modules that would shadow this build; remove them:" >&2
  echo "$stale" >&2
  exit 1
fi
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DPython_EXECUTABLE="$(cd "$(dirname "$py")" && pwd)/$(basename "$py")" -DQV_DEV_TREE="$(pwd)/$dir/tree" >/dev/null
targets=(devtree "$@")
[ $# -eq 0 ] && targets=()
cmake --build "$dir" ${targets:+--target "${targets[@]}"}
echo "PYTHONPATH=$dir/tree"
