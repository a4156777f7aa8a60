#!/usr/bin/env bash
# Prints the interpreter to build the virtual environment with: a Python 3.12
# that really runs (a pyenv shim may exist and fail) and can make a venv
# (Debian keeps ensurepip, without which venv fails, in python3.X-venv), else python3.
for c in python3.12 "$(pyenv root 2>/dev/null)"/versions/3.12*/bin/python3.12 \
         /usr/local/bin/python3.12 /usr/bin/python3.12; do
  if [ -n "$c" ] && "$c" -c 'import sys, venv, ensurepip; assert sys.version_info[:2] == (3, 12)' >/dev/null 2>&1; then
    command -v "$c" 2>/dev/null || echo "$c"; exit 0
  fi
done
for c in python3 python; do
  if "$c" -c 'import sys, venv, ensurepip; assert sys.version_info >= (3, 10)' >/dev/null 2>&1; then
    command -v "$c"; exit 0
  fi
done
echo "no Python 3.10 or newer with venv found; install python3 and python3-venv" >&2
exit 1
