"""VisaLink against pyvisa-py's own query loop, both on one pyvisa-py TCPIP
SOCKET resource kind, against the emulator (in a process of its own) over
loopback, measured in this run.

Each round sends the same command N times through each: `res.query(...)` on a
resource opened with CR LF terminations (the baseline: PyVISA alone), and
`VisaLink.sendCmd` (what FpgaTool calls for every text command). Prints the
wall and CPU time per command of both (best of the rounds, which alternate)
and the ratio ours/theirs (aim: 1.3 or less)."""

import argparse
import os
import resource
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _common import emulators  # noqa: E402

import pyvisa  # noqa: E402

from quorvex.QVRUtils import _RspType  # noqa: E402
from quorvex.visa import VisaLink  # noqa: E402


def cpu():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def timed(fn, n):
    c0, w0 = cpu(), time.perf_counter()
    for _ in range(n):
        fn()
    return time.perf_counter() - w0, cpu() - c0


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--commands", type=int, default=5000, help="commands per round")
    parser.add_argument("--rounds", type=int, default=3, help="rounds of each; the best counts")
    args = parser.parse_args()
    n = args.commands
    rm = pyvisa.ResourceManager("@py")
    with emulators() as (port,):
        name = f"TCPIP::127.0.0.1::{port}::SOCKET"
        res = rm.open_resource(name, read_termination="\r\n", write_termination="\r\n")
        link = VisaLink(name, resource_manager=rm)
        assert link.initConnection(), link.last_error
        assert res.query("GET_SN") == link.sendCmd(b"GET_SN\r\n", _RspType.RSP_LIST).RetData
        theirs, ours = [], []
        for _ in range(args.rounds):  # alternate, so drift hits both alike
            theirs.append(timed(lambda: res.query("GET_SN"), n))
            ours.append(timed(lambda: link.sendCmd(b"GET_SN\r\n", _RspType.RSP_LIST), n))
        link.closeConnection()
        res.close()
    rm.close()
    tw, tc = min(w for w, _ in theirs), min(c for _, c in theirs)
    ow, oc = min(w for w, _ in ours), min(c for _, c in ours)
    us = 1e6 / n
    print(f"{n} commands per round, best of {args.rounds}")
    print(f"pyvisa-py query : wall {tw * us:7.1f} us/command, cpu {tc * us:7.1f} us/command")
    print(f"VisaLink.sendCmd: wall {ow * us:7.1f} us/command, cpu {oc * us:7.1f} us/command")
    print(f"ratio wall (ours/theirs): {ow / tw:.3f}   (aim <= 1.30)")
    print(f"ratio cpu (ours/theirs):  {oc / tc:.3f}")


if __name__ == "__main__":
    main()
