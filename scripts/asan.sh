#!/usr/bin/env bash
# Builds the package with AddressSanitizer and UndefinedBehaviorSanitizer
# (CMake option QUORVEX_SANITIZE) into .venv-asan and runs the tests under
# them. Usage: scripts/asan.sh [PYTEST ARGS...]   (default: tests/)
#
# The interpreter is not instrumented, so ASan's runtime has to be loaded
# before anything else: it is preloaded, and libstdc++ with it (without it a
# C++ exception thrown in an extension module stops ASan with
# "CHECK failed ... real___cxa_throw"). Leak checks stay off: the interpreter
# keeps much of what it allocates until exit. UBSan halts at the first
# finding and prints where.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=.venv-asan
py=$venv/bin/python
cxx=${CXX:-c++}

runtime() {  # the compiler's own copy of a runtime library, or nothing
  local p
  p=$("$cxx" -print-file-name="$1" 2>/dev/null) || return 0
  [ "${p#/}" != "$p" ] && [ -e "$p" ] && echo "$p"
  return 0
}
asan=$(runtime libasan.so)
stdcxx=$(runtime libstdc++.so)
if [ -z "$asan" ] || [ -z "$stdcxx" ]; then
  echo "$cxx has no libasan.so or libstdc++.so to preload (Debian: apt-get install libasan8 g++)" >&2
  exit 1
fi

scripts/prereqs.sh
if ! "$py" -m pip --version >/dev/null 2>&1; then  # absent, or left without pip
  "$(scripts/find-python.sh)" -m venv --clear "$venv"
  "$py" -m pip install -q --upgrade pip
fi
# Built in the venv itself (no build isolation) and in a build directory of
# its own, so that a second run rebuilds only what changed.
"$py" -m pip install -q "nanobind>=2.4,<3" "scikit-build-core>=0.10" ninja
"$py" -m pip install -q --no-build-isolation \
  --config-settings=cmake.define.QUORVEX_SANITIZE=ON \
  --config-settings=cmake.build-type=RelWithDebInfo \
  --config-settings=install.strip=false \
  --config-settings="build-dir=build/asan-{wheel_tag}" \
  ".[test]"

[ $# -eq 0 ] && set -- tests
# pytest would hold each test's standard error in a file of its own, and a
# report written there would be lost with the process the sanitizer stops.
# So pytest captures sys.stdout and sys.stderr only (--capture=sys): UBSan's
# reports reach the terminal. ASan writes each of its reports, of any process
# (a test's child too), to a file of its own, shown at the end; any such
# file fails the run.
reports=$(pwd)/build/asan-reports
rm -rf "$reports"
mkdir -p "$reports"
export LD_PRELOAD="$asan $stdcxx${LD_PRELOAD:+ $LD_PRELOAD}"
# SIGBUS stays the program's: the image checks catch a mapped file cut short
# with a handler of their own, and some tests raise it on purpose.
export ASAN_OPTIONS="detect_leaks=0:handle_sigbus=0:log_path=$reports/asan${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
status=0
"$py" -m pytest -q --capture=sys "$@" || status=$?
if [ -n "$(ls -A "$reports")" ]; then
  for f in "$reports"/*; do
    echo "=== sanitizer report $f"
    cat "$f"
  done
  [ $status -ne 0 ] || status=1
fi
exit $status
