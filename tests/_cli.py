"""quorvex-fpga run as a child process, as the shell runs it, or in this
process with its --json document read back."""

import json
import os
import subprocess
import sys


def cli(*args, env=None, timeout=60):
    """Runs `python -m quorvex.cli ARGS`; `env` adds to this environment."""
    env = {**os.environ, **(env or {})}
    if env.get("PYTHONPATH"):  # the child may run elsewhere: make the path absolute
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p)
                                            for p in env["PYTHONPATH"].split(os.pathsep) if p)
    return subprocess.run([sys.executable, "-m", "quorvex.cli", *map(str, args)],
                          capture_output=True, text=True, timeout=timeout, env=env)


def run_json(capsys, *argv):
    """(exit status, the --json document or None, stderr) of main(ARGV) run
    in this process; `capsys` is pytest's fixture."""
    from quorvex.cli import main

    status = main([str(a) for a in argv])
    out = capsys.readouterr()
    return status, (json.loads(out.out) if out.out.strip() else None), out.err
